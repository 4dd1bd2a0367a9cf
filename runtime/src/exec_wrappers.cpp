// The exec family: what a process recorded and counted is delivered before
// exec replaces its image (which would drop every thread, queue and counter
// of the runtime), as the compilers' coverage runtimes write their counts
// out before exec. qelcc routes instrumented calls here.
#include <errno.h>
#include <stdarg.h>
#include <unistd.h>

#include <climits>
#include <vector>

#include "announce.h"
#include "counter_harvest.h"
#include "net.h"
#include "port.h"
#include "qelmq/QelSendCond.h"
#include "qelmq/QelSendDD.h"
#include "qelmq/QelSendMCDC.h"
#include "qelmq/TextSender.h"
#include "qelmq/probes.h"
#include "qelmq/thread_exit.h"
#include "spool.h"

namespace {

// Longest the program's exec waits for its data to leave: as a leave
// operation, about a second.
constexpr unsigned kDeliverBoundMs = qel_net::kLeaveBoundMs;

thread_exit* own_instance() {
  thread_exit* inst = thread_exit::pInst.load(std::memory_order_acquire);
  if (inst && pid.load(std::memory_order_relaxed) == qel_port::current_pid()) return inst;
  // A forked child that counted without calling a probe has no instance
  // yet; one that recorded nothing has nothing to deliver.
  return qel_harvest::start_instance_for_counts()
             ? thread_exit::pInst.load(std::memory_order_acquire)
             : nullptr;
}

// Every sender sends what it holds (its leave operation: flush and close,
// bounded), the counters first; afterwards they open again for the case
// that exec fails and the program goes on.
class Delivered {
 public:
  Delivered() : inst_(own_instance()) {
    if (!inst_) return;
    qel_harvest::harvest(inst_, UINT32_MAX);
    qel_net::begin_flush_deadline(kDeliverBoundMs);
    if (inst_->sendDD) inst_->sendDD->sendLeaveMsg();
    if (inst_->sendCond) inst_->sendCond->sendLeaveMsg();
    if (inst_->sendMCDC) inst_->sendMCDC->sendLeaveMsg();
    if (inst_->sendParam) inst_->sendParam->sendLeaveMsg();
    if (inst_->sendTime) inst_->sendTime->sendLeaveMsg();
    // The image ends here: an instrumented program it execs is a new stream.
    qel_announce::announce_end(qel_net::leave_lock_wait_ms(), true);
    qel_spool::flush();
    qel_net::end_flush_deadline();
  }
  ~Delivered() {
    if (!inst_) return;
    const int err = errno;
    if (inst_->sendDD) inst_->sendDD->reopen();
    if (inst_->sendCond) inst_->sendCond->reopen();
    if (inst_->sendMCDC) inst_->sendMCDC->reopen();
    if (inst_->sendParam) inst_->sendParam->reopen();
    if (inst_->sendTime) inst_->sendTime->reopen();
    qel_net::note_reconnect_expected();
    errno = err;
  }
  Delivered(const Delivered&) = delete;
  Delivered& operator=(const Delivered&) = delete;

 private:
  thread_exit* inst_;
};

// The arguments of an execl-style call, up to its null pointer; `envp` (when
// asked for) is the pointer after it.
bool collect(const char* first, va_list ap, std::vector<char*>* argv, char*** envp) {
  try {
    argv->push_back(const_cast<char*>(first));
    for (const char* a = first; a;) {
      a = va_arg(ap, const char*);
      argv->push_back(const_cast<char*>(a));
    }
  } catch (...) {
    errno = ENOMEM;
    return false;
  }
  if (envp) *envp = va_arg(ap, char**);
  return true;
}

}  // namespace

int QelExecv(const char* path, char* const* argv) {
  Delivered d;
  return execv(path, argv);
}

int QelExecve(const char* path, char* const* argv, char* const* envp) {
  Delivered d;
  return execve(path, argv, envp);
}

int QelExecvp(const char* file, char* const* argv) {
  Delivered d;
  return execvp(file, argv);
}

int QelExecvpe(const char* file, char* const* argv, char* const* envp) {
  Delivered d;
  return execvpe(file, argv, envp);
}

int QelExecl(const char* path, const char* arg, ...) {
  std::vector<char*> argv;
  va_list ap;
  va_start(ap, arg);
  const bool ok = collect(arg, ap, &argv, nullptr);
  va_end(ap);
  if (!ok) return -1;
  Delivered d;
  return execv(path, argv.data());
}

int QelExecle(const char* path, const char* arg, ...) {
  std::vector<char*> argv;
  char** envp = nullptr;
  va_list ap;
  va_start(ap, arg);
  const bool ok = collect(arg, ap, &argv, &envp);
  va_end(ap);
  if (!ok) return -1;
  Delivered d;
  return execve(path, argv.data(), envp);
}

int QelExeclp(const char* file, const char* arg, ...) {
  std::vector<char*> argv;
  va_list ap;
  va_start(ap, arg);
  const bool ok = collect(arg, ap, &argv, nullptr);
  va_end(ap);
  if (!ok) return -1;
  Delivered d;
  return execvp(file, argv.data());
}

int QelFexecve(int fd, char* const* argv, char* const* envp) {
  Delivered d;
  return fexecve(fd, argv, envp);
}
