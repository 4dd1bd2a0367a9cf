// The crash guard: a crash flushes the runtime before the process dies. This
// file is what every system shares; catching the crash is the system's part
// (crash_guard_port.h).
//
// Design
// ------
// Threads: a crash handler runs on whichever thread crashed; the flush
// thread (one per armed process) does the flushing; leave_all() runs on the
// program's threads, possibly inside the program's own handlers.
//
// Why a flush thread. The thread that crashed may hold anything:
//  * a runtime lock, when it crashed inside a probe, or when it is one of the
//    runtime's own threads (a sender holding its send lock, the insert thread
//    holding a sender's map lock);
//  * the heap's lock, when it crashed inside malloc, or when malloc found the
//    heap corrupt and called abort() with its arena locked.
// The leave operations lock, allocate and call into ZeroMQ, so they cannot
// run on the crashed thread: locks are not reentrant, and the crashed thread
// never releases what it holds. On POSIX the handler is moreover a signal
// handler, which may only do what is async-signal-safe. A handler therefore
// only uses atomics, the platform layer's futex-like words
// (qel_port::wait_for_change, wake_waiters), its clock and its sleep, and
// hands the work to the flush thread, which runs ordinary code with these
// safeguards:
//  * every runtime lock on the leave path is taken with a bounded wait
//    (qel_sync::TimedMutexGuard); a lock held by the crashed thread makes
//    that one sender give up, the others still flush;
//  * it has allocated before (at start), so glibc has given it an arena of
//    its own and it does not queue behind the crashed thread's arena lock;
//  * whatever it still blocks on (a shared arena, a lock inside libzmq, a
//    heap too corrupt to use), the handler stops waiting at kHandlerBoundMs
//    and the process dies exactly as it would have: what the bound costs is
//    at most the flush, never the exit status or the core dump.
// A crash of the flush thread itself goes straight on to the program's or
// the system's handling: no flush is requested from the thread that flushes.
//
// Requests (a crash or a leave_all), one at a time:
//  * `g_slot` (CAS from 0 to the requester's thread id) is the right to make
//    one; the holder fills `g_request`, publishes its ticket in `g_wanted`
//    (release), bumps `g_wake` and waits (bounded) until `g_answered` holds
//    the same ticket.
//  * The flush thread sleeps on `g_wake`. It takes a request by exchanging
//    `g_wanted` for 0 (acquire: pairs with the requester's release store, so
//    `g_request` is complete), copies it, says so in `g_copied`, runs the
//    copy and publishes the ticket in `g_answered` (release).
//  * A requester that stops waiting takes its ticket back out of `g_wanted`
//    with a CAS. Exactly one of that CAS and the flush thread's exchange
//    wins; when the flush thread won, the requester waits (briefly) for
//    `g_copied` before it frees the slot, so the next requester does not
//    overwrite `g_request` under the copy. The texts are copied into fixed
//    buffers, never pointed to: an abandoned request must not leave the
//    flush thread reading a stack that is gone.
//  * `g_crash_tid` is held by the thread whose crash is being flushed;
//    crashes of other threads meanwhile wait for that flush (bounded)
//    instead of flushing again.
//  * A program that survives its crash (its handler recovers) keeps its
//    runtime: the crash flush reopens the senders it closed.
#include "crash_guard.h"

#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "announce.h"
#include "crash_guard_port.h"
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
  // The stream ends here unless the program goes on (a later end then
  // supersedes this one).
  qel_announce::announce_end(qel_net::leave_lock_wait_ms(), true);
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

// How long a crashing thread waits for the flush: "about a second".
constexpr unsigned kHandlerBoundMs = 1000;
// The flush itself aims to end a little earlier, so that its answer still
// falls inside the handler's wait.
constexpr unsigned kFlushBoundMs = 900;
// How often an idle flush thread looks whether the program replaced a handler.
constexpr unsigned kRewrapMs = 100;
// How long a requester that stopped waiting gives the flush thread to finish
// copying the request it took (a copy of 1.5 KB).
constexpr unsigned kCopyWaitMs = 20;
constexpr std::size_t kTextMax = 512;

enum class Kind : int { Crash, Leave };

struct Request {
  Kind kind;
  char name[kTextMax];
  char type[kTextMax];
  char cause[kTextMax];
};

std::atomic<int32_t> g_armed_pid{0};  // process whose flush thread runs
// Written by the flush thread as it starts (release), read by may_request
// (acquire), so a crash of the flush thread never asks it to flush.
std::atomic<int32_t> g_flusher_tid{0};
std::atomic<int32_t> g_slot{0};
std::atomic<int32_t> g_crash_tid{0};  // thread whose crash is being flushed
std::atomic<uint32_t> g_next_ticket{0};
std::atomic<uint32_t> g_wanted{0};    // ticket of the request not yet taken, or 0
std::atomic<uint32_t> g_copied{0};    // ticket of the last request copied
std::atomic<uint32_t> g_answered{0};  // ticket of the last request finished
std::atomic<uint32_t> g_wake{0};      // bumped for each request and for the quit
std::atomic<bool> g_quit{false};
Request g_request;
pthread_t g_flusher;
char g_program[256] = "";

void copy_text(char* out, const char* in) {
  std::size_t i = 0;
  for (; in && in[i] && i + 1 < kTextMax; ++i) out[i] = in[i];
  out[i] = '\0';
}

// The caller may make a request: the guard is armed in this process and the
// caller is not the flush thread (which would wait for itself).
bool may_request(int32_t tid) {
  // acquire: pairs with arm()'s release store, after the flush thread exists.
  return g_armed_pid.load(std::memory_order_acquire) == qel_port::current_pid() &&
         g_flusher_tid.load(std::memory_order_acquire) != tid;
}

void wake_flusher() {
  // release: pairs with the flush thread's acquire load of the word.
  g_wake.fetch_add(1, std::memory_order_release);
  qel_port::wake_waiters(g_wake);
}

// Hands the request to the flush thread and waits for it, at most
// `bound_ms` in all. Async-signal-safe on POSIX.
bool request_flush(int32_t tid, Kind kind, const char* name, const char* type, const char* cause,
                   unsigned bound_ms) {
  const uint32_t start = qel_port::tick_ms();
  int32_t expected = 0;
  // acquire: pairs with the release store that frees the slot, so the last
  // request's buffer is no longer being written or copied.
  while (!g_slot.compare_exchange_strong(expected, tid, std::memory_order_acquire)) {
    expected = 0;
    if (qel_port::tick_ms() - start >= bound_ms) return false;
    qel_port::sleep_ms(1);
  }
  g_request.kind = kind;
  copy_text(g_request.name, name);
  copy_text(g_request.type, type);
  copy_text(g_request.cause, cause);
  uint32_t ticket;
  // relaxed: the ticket only needs to differ from the last ones; the slot
  // orders requesters.
  do {
    ticket = g_next_ticket.fetch_add(1, std::memory_order_relaxed) + 1;
  } while (ticket == 0);
  // release: publishes g_request to the flush thread's exchange.
  g_wanted.store(ticket, std::memory_order_release);
  wake_flusher();
  bool done = false;
  for (;;) {
    // acquire: pairs with the flush thread's release store of the answer.
    const uint32_t answered = g_answered.load(std::memory_order_acquire);
    if (answered == ticket) {
      done = true;
      break;
    }
    const uint32_t elapsed = qel_port::tick_ms() - start;
    if (elapsed >= bound_ms) break;
    qel_port::wait_for_change(g_answered, answered, bound_ms - elapsed);
  }
  if (!done) {
    uint32_t mine = ticket;
    // acq_rel: either the request goes back untaken, or the flush thread
    // took it and its copy is waited for.
    if (!g_wanted.compare_exchange_strong(mine, 0, std::memory_order_acq_rel)) {
      const uint32_t since = qel_port::tick_ms();
      for (;;) {
        // acquire: pairs with the release store after the copy.
        const uint32_t copied = g_copied.load(std::memory_order_acquire);
        if (copied == ticket || qel_port::tick_ms() - since >= kCopyWaitMs) break;
        qel_port::wait_for_change(g_copied, copied, kCopyWaitMs);
      }
    }
  }
  // release: pairs with the acquire of the next CAS.
  g_slot.store(0, std::memory_order_release);
  return done;
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
  g_flusher_tid.store(qel_port::current_thread_id(), std::memory_order_release);
  // An allocation now gives this thread its own malloc arena (see Design).
  std::string warm(64, ' ');
  (void)warm;
  for (;;) {
    // acquire: pairs with wake_flusher(); read before the checks, so a wake
    // after them ends the sleep below at once.
    const uint32_t seen = g_wake.load(std::memory_order_acquire);
    if (g_quit.load(std::memory_order_acquire)) break;
    // acquire: pairs with the requester's release store (see Design).
    const uint32_t ticket = g_wanted.exchange(0, std::memory_order_acquire);
    if (ticket == 0) {
      if (!qel_port::wait_for_change(g_wake, seen, kRewrapMs)) platform::rewrap_handlers();
      continue;
    }
    Request copy = g_request;
    copy.name[kTextMax - 1] = copy.type[kTextMax - 1] = copy.cause[kTextMax - 1] = '\0';
    // release: the requester may reuse g_request once it sees this.
    g_copied.store(ticket, std::memory_order_release);
    qel_port::wake_waiters(g_copied);
    run_request(copy);
    // release: pairs with the requester's acquire load of the answer.
    g_answered.store(ticket, std::memory_order_release);
    qel_port::wake_waiters(g_answered);
  }
  return nullptr;
}

}  // namespace

void flush_for_crash(const char* type, const char* cause) {
  const int32_t tid = qel_port::current_thread_id();
  if (!may_request(tid)) return;
  int32_t expected = 0;
  // acq_rel: one crash flush at a time; pairs with the release that ends it.
  if (g_crash_tid.compare_exchange_strong(expected, tid, std::memory_order_acq_rel)) {
    request_flush(tid, Kind::Crash, g_program, type, cause, kHandlerBoundMs);
    // release: pairs with the acquire of threads that crashed meanwhile.
    g_crash_tid.store(0, std::memory_order_release);
  } else if (expected != tid) {
    // Another thread is flushing for its own crash: the data it sends is
    // this thread's too, so wait for it, bounded like the flush itself.
    const uint32_t start = qel_port::tick_ms();
    while (g_crash_tid.load(std::memory_order_acquire) != 0 &&
           qel_port::tick_ms() - start < kHandlerBoundMs)
      qel_port::sleep_ms(5);
  }
}

CauseText& CauseText::add(const char* text) {
  for (; text && *text && length_ + 1 < kCapacity; ++text) text_[length_++] = *text;
  text_[length_] = '\0';
  return *this;
}

CauseText& CauseText::add_decimal(uint32_t value) {
  char digits[10];
  int n = 0;
  do {
    digits[n++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  char text[11];
  for (int i = 0; i < n; ++i) text[i] = digits[n - 1 - i];
  text[n] = '\0';
  return add(text);
}

CauseText& CauseText::add_hex32(uint32_t value) {
  char text[11] = "0x";
  for (int i = 0; i < 8; ++i) text[2 + i] = "0123456789ABCDEF"[(value >> (28 - 4 * i)) & 0xF];
  text[10] = '\0';
  return add(text);
}

void arm() {
  const int32_t me = qel_port::current_pid();
  // acquire: pairs with the release store below.
  if (g_armed_pid.load(std::memory_order_acquire) == me) return;
  // In the child of a fork the parent's flush thread does not exist (nor
  // any request it was serving): this process needs its own.
  g_armed_pid.store(0, std::memory_order_release);
  g_flusher_tid.store(0, std::memory_order_release);
  // relaxed: no other thread of this process uses them before the release
  // store of g_armed_pid below.
  g_slot.store(0, std::memory_order_relaxed);
  g_crash_tid.store(0, std::memory_order_relaxed);
  g_wanted.store(0, std::memory_order_relaxed);
  g_quit.store(false, std::memory_order_relaxed);
  platform::program_name(g_program, sizeof(g_program));
  platform::install_handlers();
  if (pthread_create(&g_flusher, nullptr, flusher_main, nullptr) != 0) {
    qel_trace::line("crash guard: no flush thread, crashes will lose data::%d\n", me);
    platform::restore_handlers();
    return;
  }
  // release: the flush thread and the handlers are ready for requests.
  g_armed_pid.store(me, std::memory_order_release);
}

void disarm() {
  const int32_t me = qel_port::current_pid();
  if (g_armed_pid.load(std::memory_order_acquire) != me) return;
  // release: no new request from here on; one under way still gets its answer.
  g_armed_pid.store(0, std::memory_order_release);
  platform::restore_handlers();
  // release: pairs with the flush thread's acquire load.
  g_quit.store(true, std::memory_order_release);
  wake_flusher();
  pthread_join(g_flusher, nullptr);
  g_flusher_tid.store(0, std::memory_order_release);
}

bool leave_all(const char* name, const char* type, const char* cause) {
  const int32_t tid = qel_port::current_thread_id();
  if (may_request(tid))
    return request_flush(tid, Kind::Leave, name ? name : "", type ? type : "", cause ? cause : "",
                         kHandlerBoundMs);
  return flush_here(name, type, cause);
}

}  // namespace qel_crash
