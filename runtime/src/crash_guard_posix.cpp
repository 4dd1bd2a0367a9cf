// The crash guard's POSIX part: SIGSEGV, SIGBUS, SIGFPE, SIGILL and SIGABRT
// flush the runtime (crash_guard.cpp), then reach the disposition the
// program had, so that it ends (status, core dump) or goes on as it would
// have without the runtime.
//
// Design
// ------
// The handler runs on the thread that received the signal and does only
// what is async-signal-safe: flush_for_crash() (atomics, futex words, a
// clock), sigaction() and raise().
//  * `g_previous[i]` is written by install_handlers() and by the flush
//    thread's rewrap only while the runtime's handler is not installed for
//    that signal, and read by the handler after an acquire load of
//    `g_previous_published`.
//  * A program handler that we chained to and that calls back into ours (it
//    kept ours as its own previous one) returns at once: `g_chain_tid` and
//    `g_chain_frame` name the thread and the stack depth of the chaining
//    frame; only that thread's nested handler reads them.
#include <errno.h>
#include <signal.h>

#include <atomic>
#include <cstring>

#include "crash_guard_port.h"
#include "port.h"

namespace qel_crash {

namespace {

constexpr int kSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};
constexpr int kSignalCount = sizeof(kSignals) / sizeof(kSignals[0]);

std::atomic<int32_t> g_chain_tid{0};  // thread running a program handler we chained to
std::atomic<const char*> g_chain_frame{nullptr};
struct sigaction g_previous[kSignalCount];
// Bumped (release) after each write of g_previous; the handler loads it
// (acquire) before reading, so the copy it reads is complete.
std::atomic<unsigned> g_previous_published{0};

int signal_index(int sig) {
  for (int i = 0; i < kSignalCount; ++i)
    if (kSignals[i] == sig) return i;
  return -1;
}

const char* signal_name(int sig) {
  switch (sig) {
    case SIGSEGV:
      return "SIGSEGV";
    case SIGBUS:
      return "SIGBUS";
    case SIGFPE:
      return "SIGFPE";
    case SIGILL:
      return "SIGILL";
    case SIGABRT:
      return "SIGABRT";
    default:
      return "signal";
  }
}

// Hands the signal to the disposition found before ours, so that the
// program ends (status, core dump) or goes on (its own handler recovers, for
// example with siglongjmp) as it would have without the runtime.
void chain(int sig, int idx, siginfo_t* info, void* context, int32_t tid, const char* frame) {
  // acquire: pairs with the release after each write of g_previous.
  g_previous_published.load(std::memory_order_acquire);
  struct sigaction prev = g_previous[idx];
  const bool info_handler = (prev.sa_flags & SA_SIGINFO) != 0;
  const bool function = info_handler ? prev.sa_sigaction != nullptr
                                     : prev.sa_handler != SIG_DFL && prev.sa_handler != SIG_IGN;
  if (function) {
    // Ours stays installed: a program whose handler recovers is guarded
    // again at its next crash. While the program's handler runs, a call
    // back into ours (it kept ours as its own previous one) is recognised
    // by thread and stack depth, see on_fatal_signal.
    // relaxed: only this thread's own nested handler reads them.
    g_chain_frame.store(frame, std::memory_order_relaxed);
    g_chain_tid.store(tid, std::memory_order_relaxed);
    if (info_handler)
      prev.sa_sigaction(sig, info, context);
    else
      prev.sa_handler(sig);
    g_chain_tid.store(0, std::memory_order_relaxed);
    return;
  }
  sigaction(sig, &prev, nullptr);
  if (prev.sa_handler == SIG_IGN) return;
  // Default action. The signal is blocked while this handler runs: it stays
  // pending and takes its default action as soon as the handler returns. A
  // fault would also recur on return; a raise() or kill() would not, hence
  // the raise.
  raise(sig);
}

void on_fatal_signal(int sig, siginfo_t* info, void* context) {
  const int saved_errno = errno;
  const int idx = signal_index(sig);
  const int32_t tid = qel_port::current_thread_id();
  if (idx < 0) return;
  char here = 0;
  // A program handler we chained to called back into ours: same thread,
  // deeper in the stack (stacks grow down) than the frame that chained. Our
  // part is done; returning lets that handler carry on. A handler that left
  // by siglongjmp leaves g_chain_tid set, but the next signal starts at a
  // shallower frame (or again at the top of the alternate stack), so it is
  // handled afresh.
  if (g_chain_tid.load(std::memory_order_relaxed) == tid &&
      &here < g_chain_frame.load(std::memory_order_relaxed)) {
    errno = saved_errno;
    return;
  }
  CauseText cause;
  cause.add(signal_name(sig)).add(" (signal ").add_decimal(static_cast<uint32_t>(sig)).add(")");
  flush_for_crash("signal", cause.c_str());
  chain(sig, idx, info, context, tid, &here);
  errno = saved_errno;
}

bool is_ours(const struct sigaction& a) {
  return (a.sa_flags & SA_SIGINFO) && a.sa_sigaction == on_fatal_signal;
}

void install(int idx) {
  struct sigaction ours;
  std::memset(&ours, 0, sizeof(ours));
  ours.sa_sigaction = on_fatal_signal;
  sigemptyset(&ours.sa_mask);
  // SA_ONSTACK: a thread that has an alternate stack (the program set one
  // up) survives a stack overflow long enough to flush.
  ours.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_RESTART;
  sigaction(kSignals[idx], &ours, nullptr);
}

}  // namespace

namespace platform {

void install_handlers() {
  for (int i = 0; i < kSignalCount; ++i) {
    struct sigaction cur;
    if (sigaction(kSignals[i], nullptr, &cur) != 0) continue;
    // Inherited through fork: the previous one saved then is still right.
    if (is_ours(cur)) continue;
    g_previous[i] = cur;
    // release: pairs with chain()'s acquire; the handler can only run once
    // ours is installed, which is after this.
    g_previous_published.fetch_add(1, std::memory_order_release);
    install(i);
  }
}

void restore_handlers() {
  for (int i = 0; i < kSignalCount; ++i) {
    struct sigaction cur;
    if (sigaction(kSignals[i], nullptr, &cur) == 0 && is_ours(cur))
      sigaction(kSignals[i], &g_previous[i], nullptr);
  }
}

// Handlers the program installed after the runtime are wrapped as well: ours
// goes on top, theirs becomes the previous one and still runs after the
// flush. A program that ignores a signal keeps it ignored.
void rewrap_handlers() {
  for (int i = 0; i < kSignalCount; ++i) {
    struct sigaction cur;
    if (sigaction(kSignals[i], nullptr, &cur) != 0 || is_ours(cur)) continue;
    if (!(cur.sa_flags & SA_SIGINFO) && cur.sa_handler == SIG_IGN) continue;
    g_previous[i] = cur;
    // release: see install_handlers().
    g_previous_published.fetch_add(1, std::memory_order_release);
    install(i);
  }
}

void program_name(char* out, std::size_t size) {
  if (size == 0) return;
  std::size_t i = 0;
  for (const char* in = program_invocation_short_name; in && in[i] && i + 1 < size; ++i)
    out[i] = in[i];
  out[i] = '\0';
}

}  // namespace platform

}  // namespace qel_crash
