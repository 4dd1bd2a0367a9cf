#include "child_process.hpp"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>

namespace qelc {

int statusToExit(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return 1;
}

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
  std::vector<char*> args;
  for (auto& s : command_) args.push_back(s.data());
  args.push_back(nullptr);
  std::cout.flush();
  const int rc = posix_spawnp(&pid_, args[0], nullptr, nullptr, args.data(), env);
  if (rc != 0) {
    std::cerr << "qelcollect: cannot start " << command_[0] << ": " << std::strerror(rc) << "\n";
    return false;
  }
  running_ = true;
  return true;
}

void ChildProcess::poll() {
  int status = 0;
  if (running_ && waitpid(pid_, &status, WNOHANG) == pid_) {
    running_ = false;
    exit_ = statusToExit(status);
    exitedAt_ = Clock::now();
  }
}

void ChildProcess::signal(int sig) const {
  if (running_) kill(pid_, sig);
}

void ChildProcess::stop(bool keepStatus) {
  if (!running_) return;
  kill(pid_, SIGTERM);
  int status = 0;
  for (int i = 0; i < 100 && waitpid(pid_, &status, WNOHANG) != pid_; ++i) usleep(20000);
  if (waitpid(pid_, &status, WNOHANG) == 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, &status, 0);
  }
  running_ = false;
  exit_ = keepStatus ? statusToExit(status) : 0;
}

}  // namespace qelc
