// The saved run (--out): one JSON object per decoded message, one message a
// line, for tools that post-process a run, and reading those lines back
// (qelcollect report) into the same messages. Strings carry the program's
// bytes exactly (the byte rule of qeltools/json_io.hpp), so the report of a
// saved run is the report of the live one.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "decode.hpp"

namespace qelc {

// {"t_ms":..,"port":..,"channel":..,"kind":.., fields...} without newline;
// `tMs` is kept to the microsecond.
std::string toJson(const Message& m, double tMs);

// The message one line of toJson() output stands for. Returns false with a
// reason when the line is not such an object.
bool fromJson(const std::string& line, Message* out, std::string* error);

// Hands every message of the run files to sink, file after file. False
// when a file cannot be read or holds a line that is no message, with
// "FILE:LINE: reason" (or the read error) in `error`.
bool readRunFiles(const std::vector<std::string>& files, const std::function<void(Message&&)>& sink,
                  std::string* error);

}  // namespace qelc
