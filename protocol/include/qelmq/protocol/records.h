#pragma once
// The 8-byte probe records: the byte-order rule, the packing rule, the node,
// condition and MC/DC records and the condition codes of MC/DC vectors.
//
// Byte i of a record is bits 8i..8i+7 of its 64-bit value. With the
// byte-order flag set (every bootstrap sets it) multi-byte integers go most
// significant byte first and a record goes out as its bytes 0..7; with it
// clear integers go least significant byte first and a record goes out as
// its bytes 7..0. Every function here takes the flag as a parameter: where
// it comes from is the runtime's business.
#include <cstdint>

namespace qel_wire {

// The flag every bootstrap sets before any record is built: the layout a
// collector reads.
inline constexpr bool kBootstrapLittleEndian = true;

// ---- Byte order -------------------------------------------------------

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

// Readers spelled out byte by byte: compilers turn each into one load (and
// a byte swap), which the collector's decoders rely on for their speed.
inline uint32_t get_u32(const uint8_t* in, bool little) {
  return little ? uint32_t{in[0]} << 24 | uint32_t{in[1]} << 16 | uint32_t{in[2]} << 8 | in[3]
                : uint32_t{in[3]} << 24 | uint32_t{in[2]} << 16 | uint32_t{in[1]} << 8 | in[0];
}

// A record's wire bytes.
inline void put_record(uint64_t record, bool little, uint8_t* out) {
  for (int i = 0; i < 8; ++i) out[little ? i : 7 - i] = static_cast<uint8_t>(record >> (8 * i));
}

inline uint64_t get_record(const uint8_t* in, bool little) {
  const auto b = [in, little](int i) { return uint64_t{in[little ? i : 7 - i]}; };
  return b(0) | b(1) << 8 | b(2) << 16 | b(3) << 24 | b(4) << 32 | b(5) << 40 | b(6) << 48 |
         b(7) << 56;
}

// ---- Record packing ---------------------------------------------------

// Bit 0x80 of byte 0: set in every record, so no record is ever zero. It
// overwrites the top bit of whichever field covers byte 0.
inline constexpr uint64_t kRecordMark = 0x80;

// Byte at which 16-bit field `k` (of up to four) starts: with the flag set
// in field order from byte 0, with it clear in reverse field order ending at
// byte 7.
constexpr int field_byte(int k, bool little) { return little ? 2 * k : 8 - 2 * (k + 1); }

// Packs 16-bit fields by the record rule: most significant byte first each,
// at field_byte(); then the mark.
inline uint64_t pack(const uint16_t* fields, int count, bool little) {
  uint64_t r = 0;
  for (int k = 0; k < count; ++k) {
    uint64_t be = static_cast<uint64_t>(fields[k] >> 8) | static_cast<uint64_t>(fields[k] & 0xFF)
                                                              << 8;
    r |= be << (8 * field_byte(k, little));
  }
  return r | kRecordMark;
}

// Field `k` of a packed record, the mark left out: the inverse of pack()
// for every bit the mark did not overwrite.
inline uint16_t unpack(uint64_t record, int k, bool little) {
  const uint64_t r = record & ~kRecordMark;
  const int at = field_byte(k, little);
  return static_cast<uint16_t>((r >> (8 * at) & 0xFF) << 8 | (r >> (8 * (at + 1)) & 0xFF));
}

// Node record: unitId, nodeId, nodeValue; field 3 stays zero.
inline constexpr int kNodeUnit = 0, kNodeId = 1, kNodeValue = 2, kNodeSpare = 3;

inline uint64_t node_record(int unitId, int nodeId, int nodeValue, bool little) {
  const uint16_t f[3] = {static_cast<uint16_t>(unitId), static_cast<uint16_t>(nodeId),
                         static_cast<uint16_t>(nodeValue)};
  return pack(f, 3, little);
}

// Node ids of this value record nothing (the probe returns at once).
inline constexpr uint16_t kNoNode = 0xFFFF;

// Condition record: unitId, condId, outcome, groupId.
inline constexpr int kCondUnit = 0, kCondId = 1, kCondOutcome = 2, kCondGroup = 3;

// Condition outcome field: the condition held, or did not.
inline constexpr uint16_t kHeld = 0x00CC;
inline constexpr uint16_t kNotHeld = 0x0033;

inline uint64_t cond_record(int unitId, int condId, bool held, int groupId, bool little) {
  const uint16_t f[4] = {static_cast<uint16_t>(unitId), static_cast<uint16_t>(condId),
                         held ? kHeld : kNotHeld, static_cast<uint16_t>(groupId)};
  return pack(f, 4, little);
}

// MC/DC record, one layout whatever the flag (it is built after the
// bootstrap has set it): unitId big-endian in bytes 0-1 with the mark,
// decisionId big-endian in bytes 2-3 with bit 7 of byte 2 replaced by the
// outcome bit, the condition codes in bytes 4-7 from their least
// significant byte.
inline constexpr uint16_t kMcdcOutcomeBit = 0x8000;  // in the decision field
inline constexpr uint16_t kMcdcDecisionMask = 0x7FFF;
inline constexpr bool kMcdcRecordLittle = true;

inline uint64_t mcdc_record(int unitId, int decisionId, bool outcome, uint32_t codes) {
  const uint16_t f[2] = {
      static_cast<uint16_t>(unitId),
      static_cast<uint16_t>((decisionId & kMcdcDecisionMask) | (outcome ? kMcdcOutcomeBit : 0))};
  return pack(f, 2, kMcdcRecordLittle) | static_cast<uint64_t>(codes) << 32;
}

struct McdcFields {
  uint16_t unit;      // 15 bits
  uint16_t decision;  // 15 bits
  bool outcome;
  uint32_t codes;
};

inline McdcFields mcdc_fields(uint64_t record) {
  const uint16_t d = unpack(record, 1, kMcdcRecordLittle);
  return {unpack(record, 0, kMcdcRecordLittle), static_cast<uint16_t>(d & kMcdcDecisionMask),
          (d & kMcdcOutcomeBit) != 0, static_cast<uint32_t>(record >> 32)};
}

// ---- Condition codes --------------------------------------------------

// A condition string's 32-bit code word holds kConditionSlots 2-bit codes.
// Slot i lies in byte i/4 (byte 0 least significant), its pair at bits
// 7-2(i%4) and 6-2(i%4): read as bytes 0..3, each from its top pair down,
// the word lists slots 0..15 in order.
enum class CondCode : uint8_t { False = 0, True = 1, Skipped = 2, Unset = 3 };

inline constexpr int kConditionSlots = 16;
inline constexpr uint32_t kCodeMask = 3u;
// Every slot unset: a fresh condition string.
inline constexpr uint32_t kAllUnset = 0xFFFFFFFFu;

constexpr unsigned slot_shift(int slot) {
  return static_cast<unsigned>(8 * (slot / 4) + 6 - 2 * (slot % 4));
}
constexpr uint32_t slot_mask(int slot) { return kCodeMask << slot_shift(slot); }

constexpr CondCode slot_code(uint32_t codes, int slot) {
  return static_cast<CondCode>((codes >> slot_shift(slot)) & kCodeMask);
}

constexpr uint32_t with_slot(uint32_t codes, int slot, CondCode code) {
  return (codes & ~slot_mask(slot)) | static_cast<uint32_t>(code) << slot_shift(slot);
}

static_assert(slot_mask(0) == 0x000000C0u && slot_mask(3) == 0x00000003u &&
                  slot_mask(4) == 0x0000C000u && slot_mask(15) == 0x03000000u,
              "slot masks of the condition string");
static_assert(with_slot(kAllUnset, 0, CondCode::True) == 0xFFFFFF7Fu &&
                  with_slot(kAllUnset, 0, CondCode::False) == 0xFFFFFF3Fu,
              "a string started with a true or a false first condition");

}  // namespace qel_wire
