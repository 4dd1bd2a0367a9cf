// Running a test case on POSIX: its standard input, and a child process of
// its own made with fork().
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include "events.h"
#include "execute.h"
#include "execute_port.h"
#include "isolation.h"
#include "qeltools/process.hpp"

// `stdin` is an ordinary variable in the GNU C library: pointing it at the
// text leaves the driver's own stream as it is.
FeedStdin::FeedStdin(const std::string& text) : text_(text) {
  file_ = text_.empty() ? std::fopen("/dev/null", "r") : fmemopen(text_.data(), text_.size(), "r");
  if (file_ == nullptr) return;
  saved_ = stdin;
  stdin = file_;
}

FeedStdin::~FeedStdin() {
  if (file_ == nullptr) return;
  stdin = saved_;
  std::fclose(file_);
}

// A child made by fork() carries on from RunCaseIsolated: no command line.
int RunIsolatedChild(int, char**, const std::vector<Function>&) { return -1; }

namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

void WriteAll(int fd, const std::string& bytes) {
  const char* p = bytes.data();
  std::size_t left = bytes.size();
  while (left > 0) {
    const ssize_t n = write(fd, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    p += n;
    left -= static_cast<std::size_t>(n);
  }
}

[[noreturn]] void RunChild(int resultFd, const Function& function, const Json::Value& root,
                           int index, const CaseOptions& options) {
  // A test case reads only the input its vector gives: a child never
  // competes with the others for the driver's own standard input.
  const int null = open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (null >= 0) {
    dup2(null, 0);
    close(null);
  }
  const CaseResult result = RunCase(function, root, index, options);
  std::fflush(stdout);
  WriteAll(resultFd, EncodeCaseResult(result));
  close(resultFd);
  LeaveChild();
}

std::string SignalText(int sig) {
  const char* name = strsignal(sig);
  return "crashed with signal " + std::to_string(sig) + " (" + (name ? name : "unknown") + ")";
}

// Reads the child's result from `fd` until the end of the pipe, the end of
// the child or the time limit. A process the test case started itself may
// hold the pipe open after the child ended: the child's end, not the pipe's,
// ends the test case, so the pipe is drained then without waiting for its
// end. True when the child was reaped here (its wait status in `status`).
bool ReadResult(int fd, pid_t pid, Clock::time_point start, double timeoutSeconds,
                std::string& bytes, int& status, bool& timedOut) {
  const Clock::time_point deadline = start + std::chrono::duration_cast<Clock::duration>(
                                                 std::chrono::duration<double>(timeoutSeconds));
  bool childEnded = false;
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) {
      timedOut = true;
      return false;
    }
    // The pipe's end comes with the child's in the common case; the short
    // wait only bounds how late a child whose pipe stays open is noticed.
    pollfd p = {fd, POLLIN, 0};
    const int wait = childEnded ? 0 : static_cast<int>(std::min<long long>(left.count() + 1, 20));
    const int ready = poll(&p, 1, wait);
    if (ready < 0 && errno == EINTR) continue;
    if (ready > 0) {
      char buffer[4096];
      const ssize_t n = read(fd, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return childEnded;
      bytes.append(buffer, static_cast<std::size_t>(n));
      continue;
    }
    // Nothing to read: once the child has ended, all it wrote has been read.
    if (childEnded) return true;
    if (ready == 0 && waitpid(pid, &status, WNOHANG) == pid) childEnded = true;
  }
}

}  // namespace

CaseResult RunCaseIsolated(const Function& function, const Json::Value& root, int index,
                           const CaseOptions& options, double timeoutSeconds) {
  const Clock::time_point start = Clock::now();
  CaseResult result;
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    result.verdict = Verdict::kError;
    result.message = std::string("cannot isolate the test case: pipe: ") + std::strerror(errno);
    return result;
  }
  std::fflush(stdout);
  std::fflush(stderr);
  const pid_t pid = fork();
  if (pid < 0) {
    close(fds[0]);
    close(fds[1]);
    result.verdict = Verdict::kError;
    result.message = std::string("cannot isolate the test case: fork: ") + std::strerror(errno);
    return result;
  }
  if (pid == 0) {
    close(fds[0]);
    RunChild(fds[1], function, root, index, options);
  }
  close(fds[1]);

  std::string bytes;
  bool timedOut = false;
  int status = 0;
  const bool ended = ReadResult(fds[0], pid, start, timeoutSeconds, bytes, status, timedOut);
  close(fds[0]);
  if (timedOut) kill(pid, SIGKILL);
  if (!ended)
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }

  const qeltools::Ending ending = qeltools::endingOf(status);
  if (timedOut) {
    result.verdict = Verdict::kError;
    result.message = TimedOutMessage(timeoutSeconds);
  } else if (ending.signalled) {
    result.verdict = Verdict::kError;
    result.message = SignalText(ending.number);
  } else if (!DecodeCaseResult(bytes, result)) {
    result = CaseResult();
    result.verdict = Verdict::kError;
    result.message = EndedEarlyMessage(static_cast<unsigned long>(ending.number));
  }
  result.seconds = SecondsSince(start);
  return result;
}
