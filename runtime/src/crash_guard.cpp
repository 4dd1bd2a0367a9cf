// The crash guard: fatal signals flush the runtime before the process dies.
//
// Design
// ------
// Threads: the handler runs on whichever thread received the fatal signal;
// the flush thread (one per armed process) does the flushing; leave_all()
// runs on the program's threads, possibly inside the program's own handlers.
//
// Why a flush thread. The thread that crashed may hold anything:
//  * a runtime lock, when it crashed inside a probe, or when it is one of the
//    runtime's own threads (a sender holding its send lock, the insert thread
//    holding a sender's map lock);
//  * malloc's lock, when it crashed inside malloc, or when malloc found the
//    heap corrupt and called abort() with its arena locked.
// The leave operations lock, allocate and call into ZeroMQ, so they cannot
// run inside the handler: locks are not reentrant, and the crashed thread
// never releases what it holds. The handler therefore only does what is
// async-signal-safe: atomics, write() to wake the flush thread, poll() for
// its answer with a bound, sigaction() and raise(). The flush thread runs
// ordinary code with these safeguards:
//  * every runtime lock on the leave path is taken with a bounded wait
//    (qel_sync::TimedMutexGuard); a lock held by the crashed thread makes
//    that one sender give up, the others still flush;
//  * it has allocated before (at start), so glibc has given it an arena of
//    its own and it does not queue behind the crashed thread's arena lock;
//  * whatever it still blocks on (a shared arena, a lock inside libzmq, a
//    heap too corrupt to use), the handler stops waiting at kHandlerBoundMs
//    and the process dies exactly as it would have: what the bound costs is
//    at most the flush, never the exit status or the core dump.
// A fault on the flush thread itself goes straight to the previous
// disposition: no flush is requested from the thread that does the flushing.
//
// Requests (a crash or a leave_all), one at a time:
//  * `g_slot` (CAS from 0 to the requester's thread id) is the right to make
//    one; the holder fills `g_request`, writes its ticket to the wake pipe
//    and waits (bounded) for the same ticket on the done pipe. A late answer
//    to an abandoned ticket is read and dropped by the next requester.
//  * `g_request` is written only by the slot's holder before it writes the
//    ticket (release store of `g_ticket`), read by the flush thread after it
//    read the ticket from the pipe (acquire load). The texts are copied into
//    fixed buffers, never pointed to: an abandoned request must not leave the
//    flush thread reading a stack that is gone.
//  * `g_crash_tid` is held by the thread whose crash is being flushed;
//    fatal signals of other threads meanwhile wait for that flush (bounded)
//    instead of flushing again. A program handler that we chained to and
//    that calls back into ours returns at once (g_chain_tid, g_chain_frame).
//  * A program that survives its crash (its handler recovers) keeps its
//    runtime: the crash flush reopens the senders it closed.
//  * `g_previous[i]` is written by arm() and by the flush thread's re-wrap
//    only while the runtime's handler is not installed for that signal, and
//    read by the handler.
#include "crash_guard.h"

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "net.h"
#include "port.h"
#include "qelmq/QelSendCond.h"
#include "qelmq/QelSendDD.h"
#include "qelmq/QelSendLast.h"
#include "qelmq/QelSendMCDC.h"
#include "qelmq/TextSender.h"
#include "qelmq/thread_exit.h"
#include "spool.h"
#include "trace.h"

#ifndef _WIN32
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>
#endif

namespace qel_crash {

namespace {

// Runs every leave operation in the order that keeps the most: the coverage
// senders first (each moves what is still queued, so the rings hold the
// latest records), then the crash report, then values and timings.
void flush_senders(const std::string& name, const std::string& type, const std::string& cause) {
  thread_exit* inst = thread_exit::pInst.load(std::memory_order_acquire);
  if (!inst || pid.load(std::memory_order_relaxed) != qel_port::current_pid()) inst = nullptr;
  if (inst && inst->sendDD) inst->sendDD->sendLeaveMsg();
  if (inst && inst->sendCond) inst->sendCond->sendLeaveMsg();
  if (inst && inst->sendMCDC) inst->sendMCDC->sendLeaveMsg();
  // The crash report needs only its singleton (it may exist without an instance).
  if (QelSendLast* last = QelSendLast::instance.load(std::memory_order_acquire))
    last->sendLeaveMsg(name, type, cause);
  if (inst && inst->sendParam) inst->sendParam->sendLeaveMsg();
  if (inst && inst->sendTime) inst->sendTime->sendLeaveMsg();
  // What no socket took is in the spool's buffer: the process may end next.
  qel_spool::flush();
}

// leave_all on the calling thread.
bool flush_here(const char* name, const char* type, const char* cause) {
  try {
    flush_senders(name ? name : "", type ? type : "", cause ? cause : "");
  } catch (...) {
    return false;
  }
  return true;
}

}  // namespace

#ifdef _WIN32

// The Windows port reports crashes through its own unhandled-exception
// filter (not written yet); leave_all works there on the calling thread.
void arm() {}
void disarm() {}
bool leave_all(const char* name, const char* type, const char* cause) {
  return flush_here(name, type, cause);
}

#else

namespace {

// After a crash flush the program may go on (its handler recovers):
// the senders the flush closed open their sockets again.
void reopen_senders() {
  thread_exit* inst = thread_exit::pInst.load(std::memory_order_acquire);
  if (!inst || pid.load(std::memory_order_relaxed) != qel_port::current_pid()) return;
  if (inst->sendDD) inst->sendDD->reopen();
  if (inst->sendCond) inst->sendCond->reopen();
  if (inst->sendMCDC) inst->sendMCDC->reopen();
  if (inst->sendParam) inst->sendParam->reopen();
  if (inst->sendTime) inst->sendTime->reopen();
  qel_net::note_reconnect_expected();
}

constexpr int kSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};
constexpr int kSignalCount = sizeof(kSignals) / sizeof(kSignals[0]);
// How long a crashing thread waits for the flush: "about a second".
constexpr unsigned kHandlerBoundMs = 1000;
// The flush itself aims to end a little earlier, so that its last step (the
// done byte) still falls inside the handler's wait.
constexpr unsigned kFlushBoundMs = 900;
// How often the flush thread looks whether the program replaced a handler.
constexpr int kRewrapMs = 100;
constexpr uint32_t kQuitTicket = 0;
constexpr std::size_t kTextMax = 512;

enum class Kind : int { Crash, Leave };

struct Request {
  Kind kind;
  char name[kTextMax];
  char type[kTextMax];
  char cause[kTextMax];
};

std::atomic<int> g_armed_pid{0};  // process whose flush thread runs
// Written by the flush thread as it starts (release), read by may_request
// (acquire), so a fault on the flush thread never asks it to flush.
std::atomic<int> g_flusher_tid{0};
std::atomic<int> g_slot{0};
std::atomic<int> g_crash_tid{0};  // thread whose crash is being flushed
std::atomic<int> g_chain_tid{0};  // thread running a program handler we chained to
std::atomic<const char*> g_chain_frame{nullptr};
std::atomic<uint32_t> g_ticket{0};
Request g_request;
int g_wake[2] = {-1, -1};
int g_done[2] = {-1, -1};
pthread_t g_flusher;
struct sigaction g_previous[kSignalCount];
// Bumped (release) after each write of g_previous; the handler loads it
// (acquire) before reading, so the copy it reads is complete.
std::atomic<unsigned> g_previous_published{0};
char g_program[256] = "";

int signal_index(int sig) {
  for (int i = 0; i < kSignalCount; ++i)
    if (kSignals[i] == sig) return i;
  return -1;
}

// Async-signal-safe helpers: no locale, no allocation, no stdio.
int thread_id() { return static_cast<int>(syscall(SYS_gettid)); }

uint32_t now_ms() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint32_t>(ts.tv_sec * 1000 + ts.tv_nsec / 1000000);
}

void copy_text(char* out, const char* in) {
  std::size_t i = 0;
  for (; in && in[i] && i + 1 < kTextMax; ++i) out[i] = in[i];
  out[i] = '\0';
}

void append_text(char* out, std::size_t& at, const char* in) {
  for (; *in && at + 1 < kTextMax; ++in) out[at++] = *in;
  out[at] = '\0';
}

void append_number(char* out, std::size_t& at, int n) {
  char digits[12];
  int len = 0;
  unsigned v = static_cast<unsigned>(n < 0 ? -n : n);
  do {
    digits[len++] = static_cast<char>('0' + v % 10);
    v /= 10;
  } while (v && len < 11);
  if (n < 0 && at + 1 < kTextMax) out[at++] = '-';
  while (len > 0 && at + 1 < kTextMax) out[at++] = digits[--len];
  out[at] = '\0';
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

bool is_ours(const struct sigaction& a);

// The caller may make a request: the guard is armed in this process and the
// caller is not the flush thread (which would wait for itself).
bool may_request(int tid) {
  // acquire: pairs with arm()'s release store, after the pipes exist.
  return g_armed_pid.load(std::memory_order_acquire) == static_cast<int>(getpid()) &&
         g_flusher_tid.load(std::memory_order_acquire) != tid;
}

// Hands the filled-in request to the flush thread and waits for it, at most
// `bound_ms` in all. Async-signal-safe.
bool request_flush(int tid, Kind kind, const char* name, const char* type, const char* cause,
                   unsigned bound_ms) {
  const uint32_t start = now_ms();
  int expected = 0;
  // acquire: pairs with the release store that frees the slot, so the last
  // request's buffers are no longer being written.
  while (!g_slot.compare_exchange_strong(expected, tid, std::memory_order_acquire)) {
    expected = 0;
    if (now_ms() - start >= bound_ms) return false;
    poll(nullptr, 0, 1);
  }
  g_request.kind = kind;
  copy_text(g_request.name, name);
  copy_text(g_request.type, type);
  copy_text(g_request.cause, cause);
  // release: publishes g_request to the flush thread's acquire load.
  uint32_t ticket = g_ticket.fetch_add(1, std::memory_order_acq_rel) + 1;
  if (ticket == kQuitTicket) ticket = g_ticket.fetch_add(1, std::memory_order_acq_rel) + 1;
  bool done = false;
  if (write(g_wake[1], &ticket, sizeof(ticket)) == static_cast<ssize_t>(sizeof(ticket))) {
    for (;;) {
      uint32_t elapsed = now_ms() - start;
      if (elapsed >= bound_ms) break;
      pollfd p = {g_done[0], POLLIN, 0};
      int r = poll(&p, 1, static_cast<int>(bound_ms - elapsed));
      if (r < 0 && errno != EINTR) break;
      if (r <= 0) continue;
      uint32_t answer = 0;
      // Non-blocking: another waiter that timed out may have left nothing.
      if (read(g_done[0], &answer, sizeof(answer)) == static_cast<ssize_t>(sizeof(answer)) &&
          answer == ticket) {
        done = true;
        break;
      }
    }
  }
  // release: pairs with the acquire of the next CAS.
  g_slot.store(0, std::memory_order_release);
  return done;
}

// Hands the signal to the disposition found before ours, so that the
// program ends (status, core dump) or goes on (its own handler recovers, for
// example with siglongjmp) as it would have without the runtime.
void chain(int sig, int idx, siginfo_t* info, void* context, int tid, const char* frame) {
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
  const int tid = thread_id();
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
  if (may_request(tid)) {
    int expected = 0;
    // acq_rel: one flush at a time; pairs with the release that ends it.
    if (g_crash_tid.compare_exchange_strong(expected, tid, std::memory_order_acq_rel)) {
      char cause[kTextMax];
      std::size_t at = 0;
      cause[0] = '\0';
      append_text(cause, at, signal_name(sig));
      append_text(cause, at, " (signal ");
      append_number(cause, at, sig);
      append_text(cause, at, ")");
      request_flush(tid, Kind::Crash, g_program, "signal", cause, kHandlerBoundMs);
      // release: pairs with the acquire of threads that crashed meanwhile.
      g_crash_tid.store(0, std::memory_order_release);
    } else if (expected != tid) {
      // Another thread is flushing for its own crash: the data it sends is
      // this thread's too, so wait for it, bounded like the flush itself.
      const uint32_t start = now_ms();
      while (g_crash_tid.load(std::memory_order_acquire) != 0 && now_ms() - start < kHandlerBoundMs)
        poll(nullptr, 0, 5);
    }
  }
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

// Handlers the program installed after the runtime are wrapped as well: ours
// goes on top, theirs becomes the previous one and still runs after the
// flush. A program that ignores a signal keeps it ignored.
void rewrap() {
  for (int i = 0; i < kSignalCount; ++i) {
    struct sigaction cur;
    if (sigaction(kSignals[i], nullptr, &cur) != 0 || is_ours(cur)) continue;
    if (!(cur.sa_flags & SA_SIGINFO) && cur.sa_handler == SIG_IGN) continue;
    g_previous[i] = cur;
    // release: pairs with chain()'s acquire; the handler can only run once
    // ours is installed, which is after this.
    g_previous_published.fetch_add(1, std::memory_order_release);
    install(i);
  }
}

void run_request(const Request& r) {
  try {
    std::string name(r.name), type(r.type), cause(r.cause);
    qel_net::begin_flush_deadline(kFlushBoundMs);
    // The process is about to die: every send waits only a short grace for
    // a collector.
    // acquire/release: pairs with the shutdown's and bootstrap's stores.
    const bool was_stopping = qel_net::runtime_stopping.load(std::memory_order_acquire);
    if (r.kind == Kind::Crash) qel_net::runtime_stopping.store(true, std::memory_order_release);
    flush_senders(name, type, cause);
    if (r.kind == Kind::Crash) {
      // If the program's own handler lets it go on, it keeps its runtime.
      reopen_senders();
      qel_net::runtime_stopping.store(was_stopping, std::memory_order_release);
    }
  } catch (...) {
    // Out of memory: what was sent is sent.
  }
  qel_net::end_flush_deadline();
}

void* flusher_main(void*) {
  g_flusher_tid.store(thread_id(), std::memory_order_release);
  // An allocation now gives this thread its own malloc arena (see Design).
  std::string warm(64, ' ');
  (void)warm;
  for (;;) {
    pollfd p = {g_wake[0], POLLIN, 0};
    int r = poll(&p, 1, kRewrapMs);
    if (r < 0 && errno != EINTR) break;
    if (r <= 0) {
      rewrap();
      continue;
    }
    uint32_t ticket = 0;
    if (read(g_wake[0], &ticket, sizeof(ticket)) != static_cast<ssize_t>(sizeof(ticket))) continue;
    if (ticket == kQuitTicket) break;
    // acquire: pairs with the requester's release, so g_request is complete.
    g_ticket.load(std::memory_order_acquire);
    Request copy = g_request;
    run_request(copy);
    if (write(g_done[1], &ticket, sizeof(ticket)) < 0) {
      // Nobody can wait for an answer that cannot be written.
    }
  }
  return nullptr;
}

void close_pipes() {
  for (int* fds : {g_wake, g_done})
    for (int i = 0; i < 2; ++i)
      if (fds[i] >= 0) {
        close(fds[i]);
        fds[i] = -1;
      }
}

}  // namespace

void arm() {
  const int me = static_cast<int>(getpid());
  // acquire: pairs with the release store below.
  const int armed = g_armed_pid.load(std::memory_order_acquire);
  if (armed == me) return;
  // In the child of a fork the pipes still lead to the parent's flush
  // thread, which does not exist here: this process needs its own.
  if (armed != 0) close_pipes();
  g_armed_pid.store(0, std::memory_order_release);
  g_flusher_tid.store(0, std::memory_order_release);
  if (pipe2(g_wake, O_CLOEXEC) != 0) return;
  if (pipe2(g_done, O_CLOEXEC) != 0) {
    close_pipes();
    return;
  }
  fcntl(g_done[0], F_SETFL, fcntl(g_done[0], F_GETFL) | O_NONBLOCK);
  copy_text(g_program, program_invocation_short_name);
  for (int i = 0; i < kSignalCount; ++i) {
    struct sigaction cur;
    if (sigaction(kSignals[i], nullptr, &cur) != 0) continue;
    // Inherited through fork: the previous one saved then is still right.
    if (is_ours(cur)) continue;
    g_previous[i] = cur;
    // release: see rewrap().
    g_previous_published.fetch_add(1, std::memory_order_release);
    install(i);
  }
  if (pthread_create(&g_flusher, nullptr, flusher_main, nullptr) != 0) {
    qel_trace::line("crash guard: no flush thread, crashes will lose data::%d\n", me);
    close_pipes();
    return;
  }
  // release: the pipes and the handlers are ready for requests.
  g_armed_pid.store(me, std::memory_order_release);
}

void disarm() {
  const int me = static_cast<int>(getpid());
  if (g_armed_pid.load(std::memory_order_acquire) != me) return;
  // release: no new request from here on; one under way still gets its answer.
  g_armed_pid.store(0, std::memory_order_release);
  for (int i = 0; i < kSignalCount; ++i) {
    struct sigaction cur;
    if (sigaction(kSignals[i], nullptr, &cur) == 0 && is_ours(cur))
      sigaction(kSignals[i], &g_previous[i], nullptr);
  }
  uint32_t quit = kQuitTicket;
  if (write(g_wake[1], &quit, sizeof(quit)) == static_cast<ssize_t>(sizeof(quit)))
    pthread_join(g_flusher, nullptr);
  close_pipes();
  g_flusher_tid.store(0, std::memory_order_release);
}

bool leave_all(const char* name, const char* type, const char* cause) {
  const int tid = thread_id();
  if (may_request(tid))
    return request_flush(tid, Kind::Leave, name ? name : "", type ? type : "", cause ? cause : "",
                         kHandlerBoundMs);
  return flush_here(name, type, cause);
}

#endif

}  // namespace qel_crash
