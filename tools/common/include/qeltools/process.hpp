// Starting a program and learning how it ended, for the tools (qelcc's
// compiler runs, the program qelcollect watches) and the tests' runner: one
// way to start, one rule for the status a signal leaves (128+N, as a shell
// reports it).
//
// Not for the test driver's isolation: on POSIX it forks without starting a
// program (the test case runs in a copy of the driver, its vectors already
// read), and on Windows the driver starts itself with two inherited pipe
// handles, which stays with the driver's Windows port.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace qeltools {

// How a process ended.
struct Ending {
  bool signalled = false;
  int number = 0;  // the exit code, or the signal that ended it
  // The exit code, or 128+N for a process ended by signal N.
  int status() const { return signalled ? 128 + number : number; }
};

// The ending a waitpid() status describes.
Ending endingOf(int waitStatus);

struct StartOptions {
  // Look the program up in PATH when its name has no '/'.
  bool searchPath = true;
  // The program's environment, environ-style; null: this process's.
  char* const* environment = nullptr;
  // Descriptors that become the program's standard input, output and
  // error; -1 leaves this process's own.
  int input = -1;
  int output = -1;
  int error = -1;
  // Files the program's standard output and error go to (created or
  // emptied); they take precedence over `output` and `error`.
  std::string outputFile;
  std::string errorFile;
};

class Process {
 public:
  Process() = default;
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  // Starts argv[0] with the arguments argv. False, with the reason in
  // `why`, when the program or one of its files cannot be had.
  bool start(const std::vector<std::string>& argv, const StartOptions& options, std::string* why);
  bool running() const { return pid_ > 0 && !ending_; }
  // The process id once started (-1 before), also after it ended.
  pid_t pid() const { return pid_; }
  const std::optional<Ending>& ending() const { return ending_; }

  // The ending once the process has ended, without waiting.
  const std::optional<Ending>& poll();
  // Waits for the end.
  Ending wait();
  // Sends `signal` while the process runs.
  void signal(int signal) const;

 private:
  pid_t pid_ = -1;
  std::optional<Ending> ending_;
};

// Runs argv to its end: its ending's status, or 127 when it cannot start
// (`why` then says why).
int runToEnd(const std::vector<std::string>& argv, const StartOptions& options, std::string* why);

}  // namespace qeltools
