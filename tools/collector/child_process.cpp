#include "child_process.hpp"

#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <iostream>
#include <string>

namespace qelc {

bool processAlive(int32_t pid) {
  if (pid <= 0) return false;
  if (kill(static_cast<pid_t>(pid), 0) != 0 && errno != EPERM) return false;
  // "pid (name) S ...": the state follows the last parenthesis.
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text;
  if (!stat || !std::getline(stat, text)) return true;  // no /proc: kill() said it exists
  const std::size_t close = text.rfind(')');
  return close == std::string::npos || close + 2 >= text.size() || text[close + 2] != 'Z';
}

bool ChildProcess::start(const std::vector<std::string>& command, char** env) {
  command_ = command;
  qeltools::StartOptions options;
  options.environment = env;
  std::string why;
  std::cout.flush();
  if (!process_.start(command_, options, &why)) {
    std::cerr << "qelcollect: cannot start " << command_[0] << ": " << why << "\n";
    return false;
  }
  started_ = true;
#ifdef SYS_pidfd_open
  // The end of the run waits on the program's end: seen through the
  // descriptor (close-on-exec by itself), it needs no poll period. An
  // older kernel has none.
  endFd_ = static_cast<int>(syscall(SYS_pidfd_open, process_.pid(), 0));
#endif
  return true;
}

ChildProcess::~ChildProcess() {
  if (endFd_ >= 0) close(endFd_);
}

void ChildProcess::poll() {
  if (!running()) return;
  if (const auto& ending = process_.poll()) {
    exit_ = ending->status();
    exitedAt_ = Clock::now();
  }
}

void ChildProcess::stop(bool keepStatus) {
  if (!running()) return;
  process_.signal(SIGTERM);
  for (int i = 0; i < 100 && !process_.poll(); ++i) usleep(20000);
  if (running()) process_.signal(SIGKILL);
  const qeltools::Ending ending = process_.wait();
  exit_ = keepStatus ? ending.status() : 0;
}

}  // namespace qelc
