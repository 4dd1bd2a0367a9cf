// The driver's command line: options and the project root.
#ifndef ORRIN_DRIVE_OPTIONS_H
#define ORRIN_DRIVE_OPTIONS_H

#include <string>
#include <vector>

constexpr double kDefaultTimeoutSeconds = 10;

struct Options {
  std::string root;  // empty: the driver's own default
  bool list = false;
  bool isolate = false;
  bool tap = false;
  bool check = false;
  double timeout = kDefaultTimeoutSeconds;
  std::string junit;
  std::vector<std::string> filters;
};

// -1 when the driver goes on; otherwise the exit status to end with: 0
// after --help (printed on standard output), 2 after a usage error (the
// message on standard error).
int ParseOptions(int argc, char** argv, const char* program, Options& options);

#endif  // ORRIN_DRIVE_OPTIONS_H
