// Running one test case: in the driver's own process, or in a child process
// of its own with a time limit, and checking its expectation.
#ifndef ORRIN_DRIVE_EXECUTE_H
#define ORRIN_DRIVE_EXECUTE_H

#include <json/json.h>

#include <string>
#include <vector>

#include "vectors.h"

struct Function {
  const char* name;
  DriveRoutine drive;
};

enum class Verdict {
  kPassed,
  kFailed,   // ran, and missed its expectation
  kSkipped,  // the call was withheld (SkippedCall)
  kError,    // did not run to the end: bad vector, crash, time-out
};

struct CaseResult {
  Verdict verdict = Verdict::kPassed;
  std::string message;  // one line; empty for a pass
  // A bad vector, as the error message of the plain run names it.
  bool badVector = false;
  std::string member;
  std::string problem;
  bool captured = false;  // whether `output` holds the call's standard output
  std::string output;
  std::vector<std::string> unread;  // members of the test case never read
  double seconds = 0;
};

struct CaseOptions {
  // Capture the call's standard output (into CaseResult::output) instead
  // of letting it through.
  bool capture = false;
  // Capture it and let it through as well (as an "expect.stdout" does).
  bool record = false;
  // Report members the routine never read as a failure, not only a note.
  bool strict = false;
};

// The test case `function` + index of `root` in this process.
CaseResult RunCase(const Function& function, const Json::Value& root, int index,
                   const CaseOptions& options);

// The same in a child process; a crash, an exit before the end, or running
// past `timeoutSeconds` is an error of this test case only.
CaseResult RunCaseIsolated(const Function& function, const Json::Value& root, int index,
                           const CaseOptions& options, double timeoutSeconds);

#endif  // ORRIN_DRIVE_EXECUTE_H
