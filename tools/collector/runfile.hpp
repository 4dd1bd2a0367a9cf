// The saved run (--out), in one of two forms: JSON lines, one object per
// decoded message, for tools that post-process a run; or the compact binary
// run (runfile_binary.hpp) for a report later. Reading either back
// (qelcollect report) gives the same messages. Strings carry the program's
// bytes exactly (the byte rule of qeltools/json_io.hpp), so the report of a
// saved run is the report of the live one.
#pragma once

#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "decode.hpp"
#include "runfile_binary.hpp"

namespace qelc {

// {"t_ms":..,"port":..,"channel":..,"kind":.., fields...} without newline;
// `tMs` is kept to the microsecond.
std::string toJson(const Message& m, double tMs);

// The message one line of toJson() output stands for. Returns false with a
// reason when the line is not such an object.
bool fromJson(const std::string& line, Message* out, std::string* error);

enum class RunFormat { Jsonl, Binary };

// The binary form for a name ending in ".qelrun", JSON lines for any other.
RunFormat runFormatForName(const std::string& path);
// "binary" or "jsonl"; false for another name.
bool runFormatByName(const std::string& name, RunFormat* out);

// Writes one saved run.
class RunFileWriter {
 public:
  bool open(const std::string& path, RunFormat format, std::string* error);
  bool isOpen() const { return out_.is_open(); }
  // `tMs`: milliseconds since the run began.
  void write(const Message& m, double tMs);
  // Writes out what is held and closes; false when any write failed.
  bool close();

 private:
  void spill();

  std::ofstream out_;
  RunFormat format_ = RunFormat::Jsonl;
  BinaryRunEncoder binary_;
  std::string buffer_;
};

// Hands every message of one run file, binary or JSON lines (told apart by
// the binary form's magic), to sink with its time in milliseconds. False
// when the file cannot be read or holds something that is no message, with
// "FILE:LINE: reason", "FILE: offset N: reason" (binary) or the read error
// in `error`; the messages before it have been handed over.
bool readRunFile(const std::string& file, const std::function<void(Message&&, double)>& sink,
                 std::string* error);

// The same for several files, file after file, without the times.
bool readRunFiles(const std::vector<std::string>& files, const std::function<void(Message&&)>& sink,
                  std::string* error);

}  // namespace qelc
