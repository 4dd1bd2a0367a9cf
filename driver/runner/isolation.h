// What an isolated test case's child process and the driver tell each other,
// on every system: the child's result as bytes on a pipe, and the verdict
// messages of a child that did not finish.
#ifndef ORRIN_DRIVE_ISOLATION_H
#define ORRIN_DRIVE_ISOLATION_H

#include <cstdint>
#include <string>

#include "execute.h"

// Fixed fields (32 bits, least significant byte first) and texts (their
// length, then their bytes: any byte, captured output included).
class WireWriter {
 public:
  void U32(std::uint32_t value);
  void Text(const std::string& text);
  const std::string& bytes() const { return bytes_; }

 private:
  std::string bytes_;
};

class WireReader {
 public:
  explicit WireReader(const std::string& bytes) : bytes_(bytes) {}
  bool U32(std::uint32_t& value);
  bool Text(std::string& text);
  bool AtEnd() const { return at_ == bytes_.size(); }

 private:
  const std::string& bytes_;
  std::size_t at_ = 0;
};

// The result of a test case as the child writes it once the case is over.
std::string EncodeCaseResult(const CaseResult& result);
// False (and `result` unspecified) unless `bytes` is exactly one result.
bool DecodeCaseResult(const std::string& bytes, CaseResult& result);

// "timed out after 0.5 s"
std::string TimedOutMessage(double timeoutSeconds);
// "ended with exit status 3 before the test case finished"
std::string EndedEarlyMessage(unsigned long status);

#endif  // ORRIN_DRIVE_ISOLATION_H
