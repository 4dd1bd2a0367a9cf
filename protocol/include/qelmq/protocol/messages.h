#pragma once
// The binary messages: node and condition messages, MC/DC messages and the
// last-data messages of the crash sender. Each layout is a named struct of
// bytes whose size is checked here; encoders and readers are pure functions
// of the bytes and the byte-order flag.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

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

// The longest aggregated message, for buffers that take either.
inline constexpr std::size_t kMaxCountedMessage = sizeof(McdcMessage);

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
