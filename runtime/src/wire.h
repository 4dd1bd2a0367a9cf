#pragma once
// The wire: everything the collector sees of a record, in one place.
//
//  * the record packing rule of the 8-byte probe records;
//  * the byte-order rule (the flag, and what it does to multi-byte integers);
//  * every binary message layout, each a named struct of bytes whose size is
//    checked here at compile time;
//  * the endpoint table: each channel's port and socket options.
//
// Byte i of a record is bits 8i..8i+7 of its 64-bit value. With the flag set
// (every bootstrap sets it) multi-byte integers go most significant byte
// first and a record goes out as its bytes 0..7; with it clear integers go
// least significant byte first and a record goes out as its bytes 7..0.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "qelmq/QelSendProperty.h"

namespace qel_wire {

// ---- Byte order -------------------------------------------------------

// The byte-order flag of the property channel, as probes and senders read it
// when they build a record or a message (true when no channel exists yet:
// every record is meant to come out in the layout with the flag set).
inline bool little_endian() {
  QelSendProperty* p = QelSendProperty::GetSendPropertyInstance();
  // relaxed: true from construction and never cleared.
  return p ? p->littleEndian.load(std::memory_order_relaxed) : true;
}

inline void put_u16(uint16_t v, bool little, uint8_t* out) {
  out[little ? 0 : 1] = static_cast<uint8_t>(v >> 8);
  out[little ? 1 : 0] = static_cast<uint8_t>(v);
}

inline void put_u32(uint32_t v, bool little, uint8_t* out) {
  for (int i = 0; i < 4; ++i) out[little ? i : 3 - i] = static_cast<uint8_t>(v >> (8 * (3 - i)));
}

inline uint16_t get_u16(const uint8_t* in, bool little) {
  return little ? static_cast<uint16_t>(in[0] << 8 | in[1])
                : static_cast<uint16_t>(in[1] << 8 | in[0]);
}

inline void put_record(uint64_t record, bool little, uint8_t* out) {
  for (int i = 0; i < 8; ++i) out[little ? i : 7 - i] = static_cast<uint8_t>(record >> (8 * i));
}

// ---- Record packing ---------------------------------------------------

// Bit 0x80 of byte 0: set in every record, so no record is ever zero.
constexpr uint64_t kRecordMark = 0x80;

// Packs 16-bit fields by the record rule: most significant byte first each;
// with the flag set in field order from byte 0, with it clear in reverse
// field order ending at byte 7; then the mark.
inline uint64_t pack(const uint16_t* fields, int count, bool little) {
  uint64_t r = 0;
  for (int k = 0; k < count; ++k) {
    int at = little ? 2 * k : 8 - 2 * (k + 1);
    uint64_t be = static_cast<uint64_t>(fields[k] >> 8) | static_cast<uint64_t>(fields[k] & 0xFF)
                                                              << 8;
    r |= be << (8 * at);
  }
  return r | kRecordMark;
}

// Node record: unitId, nodeId, nodeValue.
inline uint64_t node_record(int unitId, int nodeId, int nodeValue, bool little) {
  const uint16_t f[3] = {static_cast<uint16_t>(unitId), static_cast<uint16_t>(nodeId),
                         static_cast<uint16_t>(nodeValue)};
  return pack(f, 3, little);
}

// Condition outcome field: the condition held, or did not.
constexpr uint16_t kHeld = 0x00CC;
constexpr uint16_t kNotHeld = 0x0033;

// Condition record: unitId, condId, outcome, groupId.
inline uint64_t cond_record(int unitId, int condId, bool held, int groupId, bool little) {
  const uint16_t f[4] = {static_cast<uint16_t>(unitId), static_cast<uint16_t>(condId),
                         held ? kHeld : kNotHeld, static_cast<uint16_t>(groupId)};
  return pack(f, 4, little);
}

// MC/DC record, one layout whatever the flag (it is built after the
// bootstrap has set it): unitId big-endian in bytes 0-1 with the mark,
// decisionId big-endian in bytes 2-3 with bit 7 of byte 2 replaced by the
// outcome bit, the condition string's codes in bytes 4-7 from their least
// significant byte.
inline uint64_t mcdc_record(int unitId, int decisionId, bool outcome, uint32_t codes) {
  const uint16_t f[2] = {static_cast<uint16_t>(unitId),
                         static_cast<uint16_t>((decisionId & 0x7FFF) | (outcome ? 0x8000 : 0))};
  return pack(f, 2, true) | static_cast<uint64_t>(codes) << 32;
}

// ---- Message layouts --------------------------------------------------

// Node and condition messages: record, "0", count, sequence number, "1".
struct CountedMessage {
  uint8_t record[8];
  uint8_t zero;
  uint8_t count[4];
  uint8_t seq[4];
  uint8_t one;
};
static_assert(sizeof(CountedMessage) == 18, "node and condition messages are 18 bytes");

// MC/DC messages: record, group id, "0", count, sequence number.
struct McdcMessage {
  uint8_t record[8];
  uint8_t group[2];
  uint8_t zero;
  uint8_t count[4];
  uint8_t seq[4];
};
static_assert(sizeof(McdcMessage) == 19, "MC/DC messages are 19 bytes");

// The longest aggregated message, for buffers that take either.
constexpr std::size_t kMaxCountedMessage = sizeof(McdcMessage);

inline std::size_t encode_counted(uint64_t record, int32_t count, int32_t seq, bool little,
                                  uint8_t* out) {
  CountedMessage m;
  put_record(record, little, m.record);
  m.zero = '0';
  put_u32(static_cast<uint32_t>(count), little, m.count);
  put_u32(static_cast<uint32_t>(seq), little, m.seq);
  m.one = '1';
  std::memcpy(out, &m, sizeof(m));
  return sizeof(m);
}

inline std::size_t encode_mcdc(uint64_t record, uint16_t groupId, int32_t count, int32_t seq,
                               bool little, uint8_t* out) {
  McdcMessage m;
  put_record(record, little, m.record);
  put_u16(groupId, little, m.group);
  m.zero = '0';
  put_u32(static_cast<uint32_t>(count), little, m.count);
  put_u32(static_cast<uint32_t>(seq), little, m.seq);
  std::memcpy(out, &m, sizeof(m));
  return sizeof(m);
}

// Last-data message (port 15562): one kind byte, then one entry per record.
// An entry is the record's wire bytes with byte 0 cut to its low three bits
// and the node record's two zero bytes left out, then (MC/DC only) the group
// id, then the entry number.
enum LastKind : uint8_t { kLastNode = 1, kLastCond = 2, kLastMcdc = 3 };

struct LastNodeEntry {
  uint8_t record[6];
  uint8_t number[4];
};
struct LastCondEntry {
  uint8_t record[8];
  uint8_t number[4];
};
struct LastMcdcEntry {
  uint8_t record[8];
  uint8_t group[2];
  uint8_t number[4];
};
static_assert(sizeof(LastNodeEntry) == 10, "last-data node entries are 10 bytes");
static_assert(sizeof(LastCondEntry) == 12, "last-data condition entries are 12 bytes");
static_assert(sizeof(LastMcdcEntry) == 14, "last-data MC/DC entries are 14 bytes");

constexpr std::size_t last_entry_size(LastKind kind) {
  return kind == kLastNode   ? sizeof(LastNodeEntry)
         : kind == kLastCond ? sizeof(LastCondEntry)
                             : sizeof(LastMcdcEntry);
}

// The whole message: entries numbered from `number` upwards; `number` is
// left at the next free value.
std::string encode_last_data(LastKind kind, const uint64_t* records, std::size_t n,
                             uint32_t& number, uint16_t groupId, bool little);

// Crash texts (property messages Crash and CrashLast*). One entry of a
// CrashLast* data list, ";" included: the record's fields in decimal.
std::string node_entry(uint64_t record, bool little);
std::string cond_entry(uint64_t record, bool little);
std::string mcdc_entry(uint64_t record, bool little);
// Type and cause already escaped.
std::string crash_text(const std::string& name, const std::string& type, const std::string& cause);
std::string data_text(const std::string& name, const std::string& entries);

// Property message text: the index's prefix, ":///", the data (the zero byte
// that ends it on the wire is the string's terminator). An index outside the
// table has no prefix.
std::string property_text(int index, const std::string& data);

// ---- Endpoints --------------------------------------------------------

// Socket option sets of the endpoint table.
enum class SocketKind {
  Stream,    // send buffer "system default", no high-water mark
  Property,  // no options of its own
  Events,    // 2 s send and receive time-outs, set after bind/connect
};

enum class Channel : int { Node, Cond, Mcdc, Property, Events, Value, LastData, Timing };

struct Endpoint {
  Channel channel;
  int port;
  SocketKind kind;
};

// Every socket of the runtime: bound "tcp://*:<port>", or connected to
// "tcp://<ip>:<port>" in connect mode.
constexpr Endpoint kEndpoints[] = {
    {Channel::Node, 15555, SocketKind::Stream},
    {Channel::Cond, 15556, SocketKind::Stream},
    {Channel::Mcdc, 15557, SocketKind::Stream},
    {Channel::Property, 15559, SocketKind::Property},
    {Channel::Events, 15560, SocketKind::Events},
    {Channel::Value, 15561, SocketKind::Stream},
    {Channel::LastData, 15562, SocketKind::Stream},
    {Channel::Timing, 15564, SocketKind::Stream},
};

constexpr const Endpoint& endpoint(Channel c) { return kEndpoints[static_cast<int>(c)]; }

constexpr bool endpoints_in_enum_order() {
  for (std::size_t i = 0; i < sizeof(kEndpoints) / sizeof(kEndpoints[0]); ++i)
    if (static_cast<std::size_t>(kEndpoints[i].channel) != i) return false;
  return true;
}
static_assert(endpoints_in_enum_order(), "endpoint(c) finds channel c by its position");

// ---- Spool ------------------------------------------------------------

// A message no socket could deliver, as the runtime appends it to its spool
// file (one file per process, "<pid>.qelspool" in the directory the
// configuration names) for the collector to read at the end of the run: this
// header, then the message's bytes exactly as the socket would have carried
// them. Integers most significant byte first, whatever the byte-order flag.
struct SpoolRecordHeader {
  uint8_t mark[2];    // kSpoolMark
  uint8_t port[2];    // the channel's port
  uint8_t length[4];  // bytes of the message that follow
};
static_assert(sizeof(SpoolRecordHeader) == 8, "spool records start with an 8-byte header");

// Lets a reader tell a record from a file cut short or written by something else.
constexpr uint8_t kSpoolMark[2] = {'Q', 'S'};
constexpr const char* kSpoolSuffix = ".qelspool";

inline void encode_spool_header(Channel channel, uint32_t length, uint8_t* out) {
  SpoolRecordHeader h;
  h.mark[0] = kSpoolMark[0];
  h.mark[1] = kSpoolMark[1];
  put_u16(static_cast<uint16_t>(endpoint(channel).port), true, h.port);
  put_u32(length, true, h.length);
  std::memcpy(out, &h, sizeof(h));
}

}  // namespace qel_wire
