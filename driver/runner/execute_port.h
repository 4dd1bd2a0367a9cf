// The parts of running test cases that depend on the system and its C
// library (execute_posix.cpp or execute_win32.cpp, the build picks).
#ifndef ORRIN_DRIVE_EXECUTE_PORT_H
#define ORRIN_DRIVE_EXECUTE_PORT_H

#include <cstdio>
#include <string>
#include <vector>

#include "execute.h"

// Gives the call a standard input of its own, `text`, for the life of the
// object. The driver's own stream, and whatever its buffer holds, is put
// back untouched.
class FeedStdin {
 public:
  explicit FeedStdin(const std::string& text);
  ~FeedStdin();
  FeedStdin(const FeedStdin&) = delete;
  FeedStdin& operator=(const FeedStdin&) = delete;

 private:
  std::string text_;
  std::FILE* file_ = nullptr;
  std::FILE* saved_ = nullptr;
};

// Where the system has no fork() (Windows), RunCaseIsolated starts the
// driver itself for the one test case, with a command line of its own; the
// driver's main hands that command line here first. Runs the test case and
// returns the process's exit status; -1 when the command line is not such a
// start (always, on POSIX).
int RunIsolatedChild(int argc, char** argv, const std::vector<Function>& functions);

#endif  // ORRIN_DRIVE_EXECUTE_PORT_H
