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
