#include "child_process.hpp"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <iostream>

namespace qelc {

int statusToExit(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return 1;
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
