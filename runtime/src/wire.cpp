// Encoders of the messages whose text or length varies; the fixed layouts
// live in wire.h.
#include "wire.h"

namespace qel_wire {

namespace {

// Wire bytes of a record as the last-data entries carry them: byte 0 keeps
// only its low three bits.
template <std::size_t M>
void entry_record(uint8_t (&dst)[M], uint64_t record, bool little) {
  uint8_t w[8];
  put_record(record, little, w);
  w[0] &= 0x07;
  std::memcpy(dst, w, M);
}

template <typename Entry>
void append(std::string& out, const Entry& e) {
  out.append(reinterpret_cast<const char*>(&e), sizeof(e));
}

// Fields of a record as the crash texts show them, read from its wire
// bytes: the unit without the mark, the second and third 16-bit fields, and
// the MC/DC decision without its outcome bit.
struct Fields {
  unsigned unit, second, third, decision;
};
Fields fields_of(uint64_t record, bool little) {
  uint8_t w[8];
  put_record(record, little, w);
  if (little) w[0] &= 0x7F;
  Fields f;
  f.unit = get_u16(w, little);
  f.second = get_u16(w + 2, little);
  f.third = get_u16(w + 4, little);
  w[2] &= 0x7F;
  f.decision = get_u16(w + 2, little);
  return f;
}

const char kEntryTail[] = " 0 0 0 1 0;";

}  // namespace

std::string encode_last_data(LastKind kind, const uint64_t* records, std::size_t n,
                             uint32_t& number, uint16_t groupId, bool little) {
  std::string out;
  out.reserve(1 + n * last_entry_size(kind));
  out.push_back(static_cast<char>(kind));
  for (std::size_t i = 0; i < n; ++i) {
    if (kind == kLastNode) {
      LastNodeEntry e;
      entry_record(e.record, records[i], little);
      put_u32(number++, little, e.number);
      append(out, e);
    } else if (kind == kLastCond) {
      LastCondEntry e;
      entry_record(e.record, records[i], little);
      put_u32(number++, little, e.number);
      append(out, e);
    } else {
      LastMcdcEntry e;
      entry_record(e.record, records[i], little);
      put_u16(groupId, little, e.group);
      put_u32(number++, little, e.number);
      append(out, e);
    }
  }
  return out;
}

std::string node_entry(uint64_t r, bool little) {
  Fields f = fields_of(r, little);
  return std::to_string(f.unit) + " " + std::to_string(f.second) + kEntryTail;
}

std::string cond_entry(uint64_t r, bool little) {
  Fields f = fields_of(r, little);
  return std::to_string(f.unit) + " " + std::to_string(f.second) + " " + std::to_string(f.third) +
         kEntryTail;
}

std::string mcdc_entry(uint64_t r, bool little) {
  // Condition codes, most significant pair first; 11 (unset) shows nothing.
  uint8_t w[8];
  put_record(r, little, w);
  std::string s;
  for (int i = 4; i <= 7; ++i) {
    for (int shift = 6; shift >= 0; shift -= 2) {
      unsigned code = (w[i] >> shift) & 3u;
      if (code != 3u) s.push_back(static_cast<char>('0' + code));
    }
  }
  Fields f = fields_of(r, little);
  // The field between the decision and the conditions is empty on purpose:
  // the collector splits on single blanks.
  return std::to_string(f.unit) + " " + std::to_string(f.decision) + "  " + s + kEntryTail;
}

std::string crash_text(const std::string& name, const std::string& type, const std::string& cause) {
  return "name:///" + name + "\ntestcase:///0\ntype:///" + type + "\ncause:///" + cause + "\n";
}

std::string data_text(const std::string& name, const std::string& entries) {
  return "name:///" + name + "\ntestcase:///0\ndata:///" + entries + "\n";
}

std::string property_text(int index, const std::string& data) {
  static const char* const kPrefix[] = {"CrashLastDD", "Crash", "CrashLastCond", "CrashLastMCDC",
                                        "MemoryLeak"};
  std::string text;
  if (index >= 0 && index <= 4) text = kPrefix[index];
  text += ":///";
  text += data;
  return text;
}

}  // namespace qel_wire
