#pragma once
// The value and timing senders are twins: a queue of texts filled by probes
// and a thread that sends each text as one message, in paced batches.
#include <pthread.h>

#include <atomic>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <string>

#include "qelmq/ArrayLockFreeQueue.h"
#include "qelmq/export.h"
#include "qelmq/net.h"

// Design
// ------
// Threads: probes (any thread) push into `queue` through execute(); the
// sender's own thread (run) pops and sends; a leave operation runs on the
// program's thread.
//  * `queue` takes one consumer at a time: popping a text copies the slot
//    before claiming it, and that copy must not race with a producer that
//    refills the slot. `mutex` is that consumer role: the thread holds it
//    around each batch (and around init_zmq), the leave operation around
//    its whole flush. Nobody pops without it.
//  * `socket`, `closed_` and both pacings are owned by whoever holds `mutex`.
//  * `stopEnqueue` / `stopSend` are written by the shutdown (release) and
//    read here with acquire.
//  * `leaveRequested_` is set by a leave operation before it waits for
//    `mutex`: the thread then cuts its batch short and no send keeps waiting
//    for a collector, so the leave operation never waits behind a thread
//    that holds `mutex` while blocked in a send. It also makes execute()
//    drop texts that could no longer be sent.
class QEL_EXPORT TextSender {
 public:
  using Queue = ArrayLockFreeQueue<std::string, 3000000>;

  // Texts a batch may send before the pacing pause.
  static constexpr uint32_t kBatch = 10000;
  static constexpr unsigned kPauseMs = 1000;
  static constexpr unsigned kIdleMs = 100;

  virtual ~TextSender();

  void init_zmq();
  // Enqueues a copy of `text`; waits in 100 ms steps while the queue is full.
  void execute(std::string& text);
  // Leave operation: sends every queued text, closes the socket once.
  void sendLeaveMsg();
  // The sender's thread body (fsend_param, fsend_time).
  void run();

  int port() const { return port_; }

  char ip[128];
  char state[2];
  std::atomic<bool> stopEnqueue{false};
  std::atomic<bool> stopSend{false};
  Queue* queue;
  void* context = nullptr;
  void* socket = nullptr;
  pthread_mutex_t mutex;

 protected:
  explicit TextSender(int port);

 private:
  bool stop_requested() const { return stopSend.load(std::memory_order_acquire); }
  // True while a leave operation waits for `mutex`.
  bool leave_pending() const { return leaveRequested_.load(std::memory_order_relaxed); }
  // Under `mutex`: pops and sends up to `max` texts; stops early when the
  // queue yields nothing or a leave operation is waiting. Returns the count.
  uint32_t send_batch(uint32_t max);
  // Under `mutex`: pops every text the queue still holds and sends it.
  // Gives up on a slot that stays unpublished for `stuck_ms`.
  void drain_locked(unsigned stuck_ms);
  // Under `mutex`: one text plus its terminating zero byte.
  bool send_text_locked(const std::string& text);
  // Sleeps `ms` in short slices; returns early once stopSend is set.
  void sleep_unless_stopping(unsigned ms) const;

  int port_;
  // relaxed: a hint only; everything it protects is decided under `mutex`.
  std::atomic<bool> leaveRequested_{false};
  bool closed_ = false;                // under `mutex`
  qel_net::SendPacing runPacing_;      // under `mutex`
  qel_net::SendPacing finalPacing_;    // under `mutex`
};

// Value sender: port 15561.
class QEL_EXPORT QelSendParam : public TextSender {
 public:
  QelSendParam();
  // Exported under this class's own name for instrumented programs.
  void sendLeaveMsg();
};

// Method-timing sender: port 15564.
class QEL_EXPORT QelSendTime : public TextSender {
 public:
  QelSendTime();
  void sendLeaveMsg();
};

QEL_EXPORT void* fsend_param(void* sender);
QEL_EXPORT void* fsend_time(void* sender);

extern "C" QEL_EXPORT void QelPrint(const char* valueName, char* buffer, int* position,
                                    int typeCode, ...);
QEL_EXPORT void QelSendMethodTime(int a, int b, int c);

namespace qel_text {
// Size of the local buffer one item is formatted into.
constexpr std::size_t kItemBuffer = 1024;

// Formats the item of value code `typeCode` ("$" name "#" tag "#" value),
// reading the value from `args`, into `out` (kItemBuffer bytes). Returns the
// item's length without terminator, at most kItemBuffer - 1 (a longer item is
// cut to its first kItemBuffer - 1 characters), or -1 when the call adds no
// item (unused code, null text).
int format_item(char* out, const char* name, int typeCode, va_list args);
}  // namespace qel_text
