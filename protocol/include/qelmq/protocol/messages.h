#pragma once
// The binary messages: node and condition messages, MC/DC messages and the
// last-data messages of the crash sender. Each layout is a named struct of
// bytes whose size is checked here; encoders and readers are pure functions
// of the bytes and the byte-order flag.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "qelmq/protocol/counter_paths.h"
#include "qelmq/protocol/records.h"

namespace qel_wire {

// Marker bytes of the aggregated messages.
inline constexpr uint8_t kMarkZero = '0';
inline constexpr uint8_t kMarkOne = '1';

// ---- Node and condition messages (ports 15555, 15556) -----------------

// record, "0", count, sequence number, "1".
struct CountedMessage {
  uint8_t record[8];
  uint8_t zero;
  uint8_t count[4];
  uint8_t seq[4];
  uint8_t one;
};
static_assert(sizeof(CountedMessage) == 18, "node and condition messages are 18 bytes");

// ---- MC/DC messages (port 15557) --------------------------------------

// record, group id, "0", count, sequence number.
struct McdcMessage {
  uint8_t record[8];
  uint8_t group[2];
  uint8_t zero;
  uint8_t count[4];
  uint8_t seq[4];
};
static_assert(sizeof(McdcMessage) == 19, "MC/DC messages are 19 bytes");

// ---- Wide MC/DC messages (port 15557) ---------------------------------

// The MC/DC vector of a decision of more than 16 conditions (up to 64),
// which counters in the program measure: the 19-byte message's fields, then
// the layout's version, the number of conditions and the codes of slots 16
// to 63 (three more code words, each in the layout of record bytes 4-7).
// The record's bytes 4-7 hold slots 0 to 15 as in the 19-byte message. Told
// from that message by its length.
struct WideMcdcMessage {
  uint8_t record[8];
  uint8_t group[2];
  uint8_t zero;
  uint8_t count[4];
  uint8_t seq[4];
  uint8_t version;     // kWideMcdcVersion
  uint8_t conditions;  // 17..64
  uint8_t more[12];    // code words 1..3, each least significant byte first
};
static_assert(sizeof(WideMcdcMessage) == 33, "wide MC/DC messages are 33 bytes");

inline constexpr uint8_t kWideMcdcVersion = 1;

// ---- Unit identity messages (port 15555) ------------------------------

// A counted unit announces itself once per process, before its counts: its
// unit id and the identity of the map it was built with (docs/map-format.md).
// Told from a node message by its length and its first two bytes.
struct UnitIdentityMessage {
  uint8_t mark[2];  // kUnitMark
  uint8_t unit[2];
  uint8_t identity[8];
  uint8_t seq[4];
};
static_assert(sizeof(UnitIdentityMessage) == 16, "unit identity messages are 16 bytes");

inline constexpr uint8_t kUnitMark[2] = {'Q', 'U'};

// The longest message of the aggregating senders, for buffers that take any.
inline constexpr std::size_t kMaxCountedMessage = sizeof(WideMcdcMessage);

// The most a count field carries: a larger count goes out as several
// messages, none above it (the field is read as a signed 32-bit count by
// some peers).
inline constexpr uint64_t kMaxWireCount = 0x7FFFFFFF;

// Where the sequence number stands in each kind of message, so that one
// encoded ahead of its turn can be numbered when it is sent.
inline constexpr std::size_t kWideMcdcSeqOffset = offsetof(WideMcdcMessage, seq);
inline constexpr std::size_t kUnitIdentitySeqOffset = offsetof(UnitIdentityMessage, seq);

inline std::size_t encode_counted(uint64_t record, int32_t count, int32_t seq, bool little,
                                  uint8_t* out) {
  CountedMessage m;
  put_record(record, little, m.record);
  m.zero = kMarkZero;
  put_u32(static_cast<uint32_t>(count), little, m.count);
  put_u32(static_cast<uint32_t>(seq), little, m.seq);
  m.one = kMarkOne;
  std::memcpy(out, &m, sizeof(m));
  return sizeof(m);
}

inline std::size_t encode_mcdc(uint64_t record, uint16_t groupId, int32_t count, int32_t seq,
                               bool little, uint8_t* out) {
  McdcMessage m;
  put_record(record, little, m.record);
  put_u16(groupId, little, m.group);
  m.zero = kMarkZero;
  put_u32(static_cast<uint32_t>(count), little, m.count);
  put_u32(static_cast<uint32_t>(seq), little, m.seq);
  std::memcpy(out, &m, sizeof(m));
  return sizeof(m);
}

// `codes` holds slots 0..63 (word 0 goes into the record), `conditions`
// 17..64.
inline std::size_t encode_wide_mcdc(int unitId, int decisionId, bool outcome,
                                    const WideCodes& codes, int conditions, uint16_t groupId,
                                    int32_t count, int32_t seq, bool little, uint8_t* out) {
  WideMcdcMessage m;
  put_record(mcdc_record(unitId, decisionId, outcome, codes.word[0]), little, m.record);
  put_u16(groupId, little, m.group);
  m.zero = kMarkZero;
  put_u32(static_cast<uint32_t>(count), little, m.count);
  put_u32(static_cast<uint32_t>(seq), little, m.seq);
  m.version = kWideMcdcVersion;
  m.conditions = static_cast<uint8_t>(conditions);
  for (int w = 1; w < kWideCodeWords; ++w)
    for (int b = 0; b < 4; ++b)
      m.more[4 * (w - 1) + b] = static_cast<uint8_t>(codes.word[w] >> (8 * b));
  std::memcpy(out, &m, sizeof(m));
  return sizeof(m);
}

inline std::size_t encode_unit_identity(int unitId, uint64_t identity, int32_t seq, bool little,
                                        uint8_t* out) {
  UnitIdentityMessage m;
  m.mark[0] = kUnitMark[0];
  m.mark[1] = kUnitMark[1];
  put_u16(static_cast<uint16_t>(unitId & 0x7FFF), little, m.unit);
  put_u32(static_cast<uint32_t>(identity >> 32), little, little ? m.identity : m.identity + 4);
  put_u32(static_cast<uint32_t>(identity), little, little ? m.identity + 4 : m.identity);
  put_u32(static_cast<uint32_t>(seq), little, m.seq);
  std::memcpy(out, &m, sizeof(m));
  return sizeof(m);
}

// Sets the sequence number of a message encoded ahead of its turn.
inline void put_seq_at(uint8_t* message, std::size_t offset, int32_t seq, bool little) {
  put_u32(static_cast<uint32_t>(seq), little, message + offset);
}

// What a node, condition or MC/DC message carries, read back. The markers
// are reported, not checked: what to do with a message that lacks them is
// the reader's decision.
struct CountedFields {
  uint64_t record = 0;
  uint16_t group = 0;  // MC/DC messages only
  uint32_t count = 0;
  uint32_t seq = 0;
  bool markers = false;  // "0" (and "1") where the layout has them
};

// `in` holds sizeof(CountedMessage) bytes. Read in place: a decoder that
// copied the message first would take twice as long.
inline CountedFields read_counted(const uint8_t* in, bool little) {
  CountedFields f;
  f.record = get_record(in + offsetof(CountedMessage, record), little);
  f.count = get_u32(in + offsetof(CountedMessage, count), little);
  f.seq = get_u32(in + offsetof(CountedMessage, seq), little);
  f.markers = in[offsetof(CountedMessage, zero)] == kMarkZero &&
              in[offsetof(CountedMessage, one)] == kMarkOne;
  return f;
}

// `in` holds sizeof(McdcMessage) bytes.
inline CountedFields read_mcdc(const uint8_t* in, bool little) {
  CountedFields f;
  f.record = get_record(in + offsetof(McdcMessage, record), little);
  f.group = get_u16(in + offsetof(McdcMessage, group), little);
  f.count = get_u32(in + offsetof(McdcMessage, count), little);
  f.seq = get_u32(in + offsetof(McdcMessage, seq), little);
  f.markers = in[offsetof(McdcMessage, zero)] == kMarkZero;
  return f;
}

struct WideMcdcFields {
  CountedFields counted;  // as read_mcdc reads them; record's codes = word 0
  uint8_t version = 0;
  uint8_t conditions = 0;
  WideCodes codes;
};

// `in` holds sizeof(WideMcdcMessage) bytes.
inline WideMcdcFields read_wide_mcdc(const uint8_t* in, bool little) {
  WideMcdcFields f;
  f.counted = read_mcdc(in, little);
  f.version = in[offsetof(WideMcdcMessage, version)];
  f.conditions = in[offsetof(WideMcdcMessage, conditions)];
  f.codes.word[0] = mcdc_fields(f.counted.record).codes;
  const uint8_t* more = in + offsetof(WideMcdcMessage, more);
  for (int w = 1; w < kWideCodeWords; ++w) {
    uint32_t v = 0;
    for (int b = 0; b < 4; ++b) v |= uint32_t{more[4 * (w - 1) + b]} << (8 * b);
    f.codes.word[w] = v;
  }
  return f;
}

struct UnitIdentityFields {
  bool marked = false;  // starts with kUnitMark
  uint16_t unit = 0;
  uint64_t identity = 0;
  uint32_t seq = 0;
};

// `in` holds sizeof(UnitIdentityMessage) bytes.
inline UnitIdentityFields read_unit_identity(const uint8_t* in, bool little) {
  UnitIdentityFields f;
  f.marked = in[0] == kUnitMark[0] && in[1] == kUnitMark[1];
  f.unit = get_u16(in + offsetof(UnitIdentityMessage, unit), little);
  const uint8_t* id = in + offsetof(UnitIdentityMessage, identity);
  const uint64_t a = get_u32(id, little), b = get_u32(id + 4, little);
  f.identity = little ? (a << 32 | b) : (b << 32 | a);
  f.seq = get_u32(in + offsetof(UnitIdentityMessage, seq), little);
  return f;
}

// ---- Last-data messages (port 15562) ----------------------------------

// One kind byte, then one entry per record. An entry is the record's wire
// bytes with byte 0 cut to its low three bits and the node record's two
// zero bytes left out, then (MC/DC only) the group id, then the entry
// number.
enum LastKind : uint8_t { kLastNode = 1, kLastCond = 2, kLastMcdc = 3 };

inline constexpr uint8_t kLastByte0Mask = 0x07;

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

// Entry size of a kind; 0 for a byte that names no kind.
constexpr std::size_t last_entry_size(uint8_t kind) {
  return kind == kLastNode   ? sizeof(LastNodeEntry)
         : kind == kLastCond ? sizeof(LastCondEntry)
         : kind == kLastMcdc ? sizeof(LastMcdcEntry)
                             : 0;
}

namespace detail {

template <std::size_t M>
void put_entry_record(uint8_t (&dst)[M], uint64_t record, bool little) {
  uint8_t w[8];
  put_record(record, little, w);
  w[0] &= kLastByte0Mask;
  std::memcpy(dst, w, M);
}

template <typename Entry>
void append_entry(std::string& out, const Entry& e) {
  out.append(reinterpret_cast<const char*>(&e), sizeof(e));
}

}  // namespace detail

// The whole message: entries numbered from `number` upwards; `number` is
// left at the next free value.
inline std::string encode_last_data(LastKind kind, const uint64_t* records, std::size_t n,
                                    uint32_t& number, uint16_t groupId, bool little) {
  std::string out;
  out.reserve(1 + n * last_entry_size(kind));
  out.push_back(static_cast<char>(kind));
  for (std::size_t i = 0; i < n; ++i) {
    if (kind == kLastNode) {
      LastNodeEntry e;
      detail::put_entry_record(e.record, records[i], little);
      put_u32(number++, little, e.number);
      detail::append_entry(out, e);
    } else if (kind == kLastCond) {
      LastCondEntry e;
      detail::put_entry_record(e.record, records[i], little);
      put_u32(number++, little, e.number);
      detail::append_entry(out, e);
    } else {
      LastMcdcEntry e;
      detail::put_entry_record(e.record, records[i], little);
      put_u16(groupId, little, e.group);
      put_u32(number++, little, e.number);
      detail::append_entry(out, e);
    }
  }
  return out;
}

// One entry read back: the record as far as the entry carries it (byte 0
// cut, a node record's left-out bytes zero), the group id (MC/DC) and the
// entry number.
struct LastEntryFields {
  uint64_t record = 0;
  uint16_t group = 0;
  uint32_t number = 0;
};

// `in` holds last_entry_size(kind) bytes of a valid kind.
inline LastEntryFields read_last_entry(LastKind kind, const uint8_t* in, bool little) {
  uint8_t w[8] = {};
  LastEntryFields f;
  if (kind == kLastNode) {
    LastNodeEntry e;
    std::memcpy(&e, in, sizeof(e));
    std::memcpy(w, e.record, sizeof(e.record));
    f.number = get_u32(e.number, little);
  } else if (kind == kLastCond) {
    LastCondEntry e;
    std::memcpy(&e, in, sizeof(e));
    std::memcpy(w, e.record, sizeof(e.record));
    f.number = get_u32(e.number, little);
  } else {
    LastMcdcEntry e;
    std::memcpy(&e, in, sizeof(e));
    std::memcpy(w, e.record, sizeof(e.record));
    f.group = get_u16(e.group, little);
    f.number = get_u32(e.number, little);
  }
  f.record = get_record(w, little);
  return f;
}

}  // namespace qel_wire
