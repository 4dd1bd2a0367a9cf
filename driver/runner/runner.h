// The driver's main: options, vector files, which test cases run, verdicts
// and reports. A driver program supplies its groups and project root; the
// routines themselves are in drive_*.cpp (or generated).
#ifndef ORRIN_DRIVE_RUNNER_H
#define ORRIN_DRIVE_RUNNER_H

#include <string>
#include <vector>

#include "execute.h"

struct Group {
  const char* file;  // under the project root, "/Korvo_Projects/Value/Value_ArrayType.json"
  std::vector<Function> functions;
};

struct DriverSetup {
  const char* program;      // for messages, "orrin_drive"
  std::string defaultRoot;  // the project root when none is given
  std::vector<Group> groups;
};

// Exit status: 0 when every test case ran (and, when checked, passed); 1 on
// a bad vector, a failed or crashed test case, or an unreadable vector file
// in a checked run; 2 on a usage error, a project root without vectors, or
// --filter patterns that select no test case.
int DriverMain(int argc, char** argv, const DriverSetup& setup);

#endif  // ORRIN_DRIVE_RUNNER_H
