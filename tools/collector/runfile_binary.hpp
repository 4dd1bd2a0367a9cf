// The binary saved run (FILE.qelrun): the messages as they came over the
// wire, in a fraction of the room JSON lines take, read back into exactly
// the messages the live collector decoded.
//
// Layout (every number a LEB128 varint unless a size is given):
//   header   8 bytes kBinaryRunMagic, 1 byte version (kBinaryRunVersion)
//   records  back to back, each one tag byte, then:
//     kTagOrigin     length, bytes: the next origin (index 1, 2, ..; index 0
//                    is "", the sender that did not name itself)
//     kTagWire       channel, port, time, origin, length, the message's bytes
//                    as received: decoded on reading as live
//     kTagMalformed  channel, port, time, origin, whole size, reason length,
//                    reason, prefix length (at most kMalformedPrefix), prefix
//     kTagJson       time, origin, length, one JSON line (runfile.hpp): a
//                    message that came without its bytes
//     0x80 | bits    a count message, its fields instead of its bytes:
//                    bits 0-1 kind (node, condition, MC/DC, unit identity),
//                    bit 2 port and origin follow (else those of the last
//                    record of that kind), bit 3 held / outcome, bit 4 a wide
//                    MC/DC vector, bit 5 the same unit as the last record of
//                    that kind and the next sequence number (neither is
//                    written); then time, [port, origin], and the fields
//                    (unit, id and sequence number as zigzag differences from
//                    the last record of that kind, code words inverted so
//                    that unset slots cost nothing).
// `time` is the zigzag difference in microseconds from the record before.
// Every count message stays one record with its own sequence number, so the
// loss checks see in a saved run what they saw live.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "decode.hpp"

namespace qelc {

// Not text, so no JSON-lines file starts this way.
inline constexpr std::array<uint8_t, 8> kBinaryRunMagic = {0x89, 'Q', 'E', 'L',
                                                           'R',  'U', 'N', '\n'};
inline constexpr uint8_t kBinaryRunVersion = 1;
inline constexpr std::size_t kBinaryRunHeaderSize = kBinaryRunMagic.size() + 1;

bool isBinaryRun(const uint8_t* data, std::size_t size);

// What a count record of one kind is written against: the last record of
// that kind, on both sides of the file.
struct CountRecordState {
  uint16_t port = 0;
  uint32_t origin = 0;
  bool placed = false;  // port and origin were written once
  uint16_t unit = 0;
  uint16_t id = 0;
  uint32_t seq = 0;
};

// Turns messages into records, appended to a buffer the caller writes out.
// One encoder per file: the records refer to the ones before them.
class BinaryRunEncoder {
 public:
  // The file's first bytes.
  static std::string header();
  // `tMs`: milliseconds since the run began, kept to the microsecond.
  void add(const Message& m, double tMs, std::string* out);

 private:
  uint32_t originIndex(const std::string& origin, std::string* out);
  void putTime(double tMs, std::string* out);
  bool countKind(const Message& m, int* kind) const;

  std::vector<std::string> origins_;  // index i + 1
  int64_t lastUs_ = 0;
  std::array<CountRecordState, 4> counts_{};
};

// Hands every record of a binary run held in `data` to sink, with its
// time in milliseconds. False at the first record that cannot be read,
// with "offset N: reason" in `error` (N the record's first byte); the
// records before it have been handed over.
bool readBinaryRun(const uint8_t* data, std::size_t size,
                   const std::function<void(Message&&, double)>& sink, std::string* error);

}  // namespace qelc
