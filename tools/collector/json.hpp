// One JSON object per decoded message, for tools that post-process a run.
#pragma once

#include <string>

#include "decode.hpp"

namespace qelc {

// JSON string literal of arbitrary bytes: valid UTF-8 passes through, any
// other byte is written as \u00XX so the output is always valid JSON.
std::string jsonString(const std::string& s);

// {"t_ms":..,"port":..,"channel":..,"kind":.., fields...} without newline.
std::string toJson(const Message& m, double tMs);

}  // namespace qelc
