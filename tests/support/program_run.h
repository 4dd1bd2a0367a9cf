#pragma once
// Runs a program with arguments and a whole standard input, and collects
// its standard output, standard error and how it ended.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <string>
#include <vector>

#include "qeltools/process.hpp"

extern char** environ;

namespace qel_test {

struct ProgramResult {
  std::string out;
  std::string err;
  bool exited = false;
  int code = -1;  // exit status, or minus the signal
  bool started = false;
};

// Leak reports are turned off: drivers keep what they build for a call until
// the process ends, by design.
inline ProgramResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                                const std::string& input = "") {
  std::signal(SIGPIPE, SIG_IGN);
  ProgramResult result;
  int in[2], out[2], err[2];
  if (pipe2(in, O_CLOEXEC) != 0) return result;
  if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return result;

  std::vector<std::string> argv{program};
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<std::string> envStore;
  std::string asan = "ASAN_OPTIONS=";
  for (char** e = environ; *e != nullptr; ++e) {
    if (std::strncmp(*e, "ASAN_OPTIONS=", 13) == 0)
      asan = std::string(*e) + ":";
    else
      envStore.emplace_back(*e);
  }
  envStore.push_back(asan + "detect_leaks=0");
  std::vector<char*> envp;
  for (std::string& e : envStore) envp.push_back(e.data());
  envp.push_back(nullptr);

  qeltools::StartOptions options;
  options.searchPath = false;
  options.environment = envp.data();
  options.input = in[0];
  options.output = out[1];
  options.error = err[1];
  qeltools::Process process;
  std::string why;
  const bool started = process.start(argv, options, &why);
  close(in[0]);
  close(out[1]);
  close(err[1]);
  if (!started) {
    close(in[1]);
    close(out[0]);
    close(err[0]);
    return result;
  }
  result.started = true;
  // Inputs are far below a pipe's capacity: write them all first.
  const char* p = input.data();
  size_t left = input.size();
  while (left > 0) {
    const ssize_t n = write(in[1], p, left);
    if (n <= 0) break;
    p += n;
    left -= static_cast<size_t>(n);
  }
  close(in[1]);

  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  std::string* sinks[2] = {&result.out, &result.err};
  int open = 2;
  while (open > 0) {
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (int k = 0; k < 2; ++k) {
      if (fds[k].fd < 0 || fds[k].revents == 0) continue;
      char buffer[4096];
      const ssize_t n = read(fds[k].fd, buffer, sizeof buffer);
      if (n > 0) {
        sinks[k]->append(buffer, static_cast<size_t>(n));
      } else {
        close(fds[k].fd);
        fds[k].fd = -1;
        --open;
      }
    }
  }
  const qeltools::Ending ending = process.wait();
  result.exited = !ending.signalled;
  result.code = ending.signalled ? -ending.number : ending.number;
  return result;
}

}  // namespace qel_test
