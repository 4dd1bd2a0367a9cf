// The program under test, started and watched by the collector.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace qelc {

using Clock = std::chrono::steady_clock;

// 128+N for a process killed by signal N, its exit code otherwise.
int statusToExit(int status);

// Whether process `pid` of this machine still runs (a zombie, which will
// send nothing more, does not).
bool processAlive(int32_t pid);

class ChildProcess {
 public:
  // Returns false (with the reason on stderr) when it cannot be started.
  // `env` is the program's environment (environ-style).
  bool start(const std::vector<std::string>& command, char** env);
  bool started() const { return pid_ > 0; }
  bool running() const { return running_; }
  const std::string& name() const { return command_[0]; }
  int exitCode() const { return exit_; }
  Clock::time_point exitedAt() const { return exitedAt_; }

  // Notices an exit without waiting.
  void poll();
  void signal(int sig) const;
  // SIGTERM, then SIGKILL after two seconds; the status is kept unless the
  // collector's own time limit ended it.
  void stop(bool keepStatus);

 private:
  std::vector<std::string> command_;
  pid_t pid_ = -1;
  bool running_ = false;
  int exit_ = 0;
  Clock::time_point exitedAt_{};
};

}  // namespace qelc
