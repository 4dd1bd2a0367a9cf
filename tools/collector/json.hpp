// One JSON object per decoded message, for tools that post-process a run,
// and reading those lines back (qelcollect report).
#pragma once

#include <cstddef>
#include <cstdint>
#include <istream>
#include <string>
#include <type_traits>
#include <utility>

#include "decode.hpp"

namespace qelc {

// Bytes of a malformed message kept in --out files and reports: enough to
// recognise what was sent, never the whole of a huge message.
inline constexpr std::size_t kMalformedPrefix = 64;

// The whole message's size: the decoder's own figure where it records one
// (it may keep only a prefix of the bytes), else the bytes kept.
template <typename M>
auto malformedSize(const M& m, int) -> decltype(static_cast<uint64_t>(m.size)) {
  return static_cast<uint64_t>(m.size);
}
template <typename M>
uint64_t malformedSize(const M& m, long) {
  return m.bytes.size();
}
inline uint64_t malformedSize(const Malformed& m) { return malformedSize(m, 0); }

template <typename M>
auto setMalformedSize(M& m, uint64_t size, int) -> decltype(void(m.size = size)) {
  m.size = size;
}
template <typename M>
void setMalformedSize(M&, uint64_t, long) {}
inline void setMalformedSize(Malformed& m, uint64_t size) { setMalformedSize(m, size, 0); }

// "reason [N bytes: 81 02 ..]": at most kMalformedPrefix bytes shown.
std::string malformedText(const Malformed& m);

// JSON string literal of arbitrary bytes: valid UTF-8 passes through, any
// other byte is written as \u00XX so the output is always valid JSON.
std::string jsonString(const std::string& s);

// {"t_ms":..,"port":..,"channel":..,"kind":.., fields...} without newline.
std::string toJson(const Message& m, double tMs);

// The message one line of toJson() output stands for. Returns false with a
// reason when the line is not such an object.
bool fromJson(const std::string& line, Message* out, std::string* error);

}  // namespace qelc
