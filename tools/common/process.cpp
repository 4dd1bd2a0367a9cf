#include "qeltools/process.hpp"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstring>

extern char** environ;

namespace qeltools {

Ending endingOf(int waitStatus) {
  Ending ending;
  if (WIFSIGNALED(waitStatus)) {
    ending.signalled = true;
    ending.number = WTERMSIG(waitStatus);
  } else if (WIFEXITED(waitStatus)) {
    ending.number = WEXITSTATUS(waitStatus);
  } else {
    ending.number = 1;
  }
  return ending;
}

namespace {

// posix_spawn's file actions, released on every path.
class FileActions {
 public:
  FileActions() { posix_spawn_file_actions_init(&actions_); }
  ~FileActions() { posix_spawn_file_actions_destroy(&actions_); }
  FileActions(const FileActions&) = delete;
  FileActions& operator=(const FileActions&) = delete;
  posix_spawn_file_actions_t* get() { return &actions_; }

  void stream(int target, int fd, const std::string& file) {
    if (!file.empty())
      posix_spawn_file_actions_addopen(&actions_, target, file.c_str(),
                                       O_WRONLY | O_CREAT | O_TRUNC, 0666);
    else if (fd >= 0)
      posix_spawn_file_actions_adddup2(&actions_, fd, target);
  }

 private:
  posix_spawn_file_actions_t actions_;
};

}  // namespace

bool Process::start(const std::vector<std::string>& argv, const StartOptions& options,
                    std::string* why) {
  if (argv.empty()) {
    *why = "no program";
    return false;
  }
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  FileActions actions;
  actions.stream(0, options.input, "");
  actions.stream(1, options.output, options.outputFile);
  actions.stream(2, options.error, options.errorFile);
  char* const* env = options.environment ? options.environment : environ;
  // glibc's posix_spawn reports a program or file that cannot be had as its
  // result: no child is left to reap then.
  const int rc = options.searchPath
                     ? posix_spawnp(&pid_, args[0], actions.get(), nullptr, args.data(), env)
                     : posix_spawn(&pid_, args[0], actions.get(), nullptr, args.data(), env);
  if (rc != 0) {
    pid_ = -1;
    *why = std::strerror(rc);
    return false;
  }
  ending_.reset();
  return true;
}

const std::optional<Ending>& Process::poll() {
  int status = 0;
  if (running() && waitpid(pid_, &status, WNOHANG) == pid_) ending_ = endingOf(status);
  return ending_;
}

Ending Process::wait() {
  while (running()) {
    int status = 0;
    const pid_t got = waitpid(pid_, &status, 0);
    if (got == pid_) {
      ending_ = endingOf(status);
    } else if (got < 0 && errno != EINTR) {
      // Reaped elsewhere (a SIGCHLD set to be ignored): how it ended is lost.
      ending_ = Ending{false, 1};
    }
  }
  return ending_.value_or(Ending{false, 127});
}

void Process::signal(int sig) const {
  if (running()) kill(pid_, sig);
}

int runToEnd(const std::vector<std::string>& argv, const StartOptions& options, std::string* why) {
  Process process;
  if (!process.start(argv, options, why)) return 127;
  return process.wait().status();
}

}  // namespace qeltools
