#pragma once
// Busy loops beside a test, one per core: the parallel and fork tests must
// hold on a loaded machine, not only on an idle one (a fresh machine running
// the whole suite, other jobs on a shared one). The loops are processes of
// their own, killed with the object, and with the test process if it dies.
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <vector>

namespace qel_test {

class CpuHog {
 public:
  explicit CpuHog(long loops = sysconf(_SC_NPROCESSORS_ONLN)) {
    for (long i = 0; i < (loops > 0 ? loops : 1); ++i) {
      pid_t pid = fork();
      if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        volatile unsigned long spin = 0;
        for (;;) spin = spin + 1;
      }
      if (pid > 0) pids_.push_back(pid);
    }
  }
  ~CpuHog() {
    for (pid_t pid : pids_) kill(pid, SIGKILL);
    for (pid_t pid : pids_) waitpid(pid, nullptr, 0);
  }
  CpuHog(const CpuHog&) = delete;
  CpuHog& operator=(const CpuHog&) = delete;

  long loops() const { return static_cast<long>(pids_.size()); }

 private:
  std::vector<pid_t> pids_;
};

}  // namespace qel_test
