#pragma once
// The value and timing senders are twins: a queue of texts filled by probes
// and a thread that sends each text as one message, in paced batches.
#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "qelmq/ArrayLockFreeQueue.h"
#include "qelmq/SenderBase.h"
#include "qelmq/export.h"
#include "qelmq/probes.h"

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
//  * `peerConnected_`: written by whoever sends (under `mutex`) after each
//    send, read by probes (relaxed: a hint, no data rides on it). While it
//    is false a text that finds the queue full is dropped and counted in
//    `dropped_` instead of waiting for a collector that is not there; with a
//    collector taking messages a full queue still slows the caller down.
class QEL_EXPORT TextSender : public SenderBase {
 public:
  using Queue = ArrayLockFreeQueue<std::string, 3000000>;

  // Texts a batch may send before the pacing pause.
  static constexpr uint32_t kBatch = 10000;
  static constexpr unsigned kPauseMs = 1000;
  static constexpr unsigned kIdleMs = 100;

  ~TextSender() override;

  void init_zmq();
  // Enqueues a copy of `text`; waits in 100 ms steps while the queue is full.
  void execute(std::string& text);
  // Leave operation: sends every queued text, closes the socket once and
  // returns once the texts have left the process or about a second passed.
  void sendLeaveMsg();
  // Undoes a leave operation: opens the socket again and takes texts again
  // (a program that survived its crash). Gives up on a lock it cannot have.
  void reopen();
  // The sender's thread body (fsend_param, fsend_time).
  void run();

  bool idle_at_stop() override;

  Queue* queue;

  // Texts dropped because no collector was connected to take them.
  uint64_t dropped() const { return dropped_.load(std::memory_order_relaxed); }

 protected:
  explicit TextSender(qel_wire::Channel channel);

 private:
  bool stop_requested() const { return stopSend.load(std::memory_order_acquire); }
  // True while a leave operation waits for `mutex`.
  bool leave_pending() const { return leaveRequested_.load(std::memory_order_relaxed); }
  // Under `mutex`: pops and sends up to `max` texts; stops early when the
  // queue yields nothing or a leave operation is waiting. Returns the count.
  uint32_t send_batch(uint32_t max);
  // Under `mutex`: pops every text the queue still holds and sends it.
  // Gives up on a slot that stays unpublished for `stuck_ms`, and after
  // `budget_ms` in all.
  void drain_locked(unsigned stuck_ms, unsigned budget_ms = ~0u);
  // Under `mutex`: one text plus its terminating zero byte.
  bool send_text_locked(const std::string& text);
  // Sleeps `ms` in short slices; returns early once stopSend is set.
  void sleep_unless_stopping(unsigned ms) const;

  // relaxed: a hint only; everything it protects is decided under `mutex`.
  std::atomic<bool> leaveRequested_{false};
  // Counts dropped texts, here and in the process's delivery tally.
  void note_dropped(uint64_t n = 1);
  // Under `mutex`: discards what the queue holds, counting it as dropped.
  void discard_locked();
  // Once, at the end of the thread: the trace line of the dropped texts.
  void report_dropped() const;
  // Under `mutex`, after a send went through: tells the collector, once per
  // new count, how many texts were dropped before it connected.
  void tell_collector_dropped_locked();

  std::atomic<bool> peerConnected_{false};
  std::atomic<uint64_t> dropped_{0};
  uint64_t droppedTold_ = 0;         // under `mutex`
  bool closed_ = false;              // under `mutex`
  qel_net::SendPacing runPacing_;    // under `mutex`
  qel_net::SendPacing finalPacing_;  // under `mutex`
};

// Value sender: the value channel.
class QEL_EXPORT QelSendParam : public TextSender {
 public:
  QelSendParam();
  // Exported under this class's own name for instrumented programs.
  void sendLeaveMsg();
};

// Method-timing sender: the timing channel.
class QEL_EXPORT QelSendTime : public TextSender {
 public:
  QelSendTime();
  void sendLeaveMsg();
};

QEL_EXPORT void* fsend_param(void* sender);
QEL_EXPORT void* fsend_time(void* sender);

QEL_EXPORT void QelSendMethodTime(int a, int b, int c);
