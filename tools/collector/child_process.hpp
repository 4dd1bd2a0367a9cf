// The program under test, started and watched by the collector.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "qeltools/process.hpp"

namespace qelc {

using Clock = std::chrono::steady_clock;

// Whether process `pid` of this machine still runs (a zombie, which will
// send nothing more, does not).
bool processAlive(int32_t pid);

class ChildProcess {
 public:
  ChildProcess() = default;
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Returns false (with the reason on stderr) when it cannot be started.
  // `env` is the program's environment (environ-style).
  bool start(const std::vector<std::string>& command, char** env);
  bool started() const { return started_; }
  bool running() const { return process_.running(); }
  const std::string& name() const { return command_[0]; }
  // 128+N for a program ended by signal N, its exit code otherwise.
  int exitCode() const { return exit_; }
  Clock::time_point exitedAt() const { return exitedAt_; }

  // A descriptor that polls readable once the program has ended (a pidfd),
  // or -1 where the system has none: then only poll() tells.
  int endFd() const { return endFd_; }
  // Notices an exit without waiting.
  void poll();
  void signal(int sig) const { process_.signal(sig); }
  // SIGTERM, then SIGKILL after two seconds; the status is kept unless the
  // collector's own time limit ended it.
  void stop(bool keepStatus);

 private:
  std::vector<std::string> command_;
  qeltools::Process process_;
  bool started_ = false;
  int endFd_ = -1;
  int exit_ = 0;
  Clock::time_point exitedAt_{};
};

}  // namespace qelc
