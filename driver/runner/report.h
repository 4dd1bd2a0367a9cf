// Reports for CI: JUnit XML (one testsuite per vector file, one testcase per
// test case) and TAP on standard output.
#ifndef ORRIN_DRIVE_REPORT_H
#define ORRIN_DRIVE_REPORT_H

#include <cstdio>
#include <string>
#include <vector>

#include "execute.h"

struct CaseReport {
  std::string name;  // the test case, "ArrayTypeOne0"
  CaseResult result;
};

struct SuiteReport {
  std::string name;       // the vector file's name without ".json"
  std::string path;       // the vector file
  std::string fileError;  // set when the file itself could not be read
  std::vector<CaseReport> cases;
};

// Writes the whole report; false with `error` set when the file cannot be
// written. Whatever the functions printed (GBK text, NULs), the file is
// well formed: the XML writer's escaping rule (qeltools/xml_writer.hpp).
bool WriteJUnit(const std::string& path, const std::vector<SuiteReport>& suites,
                std::string& error);

// TAP version 13 on `out`.
class TapStream {
 public:
  explicit TapStream(std::FILE* out) : out_(out) {}
  void Plan(int count);
  void Case(const std::string& name, const CaseResult& result);
  void FileError(const std::string& path, const std::string& problem);

 private:
  std::FILE* out_;
  int number_ = 0;
};

#endif  // ORRIN_DRIVE_REPORT_H
