#pragma once
// The common machinery of the node, condition and MC/DC senders: a queue of
// raw records filled by probes, two record-to-count maps, and the loop that
// swaps them and sends one message per distinct record and window.
#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "qelmq/ArrayLockFreeQueue.h"
#include "qelmq/SenderBase.h"
#include "qelmq/export.h"
#include "qelmq/protocol/messages.h"

class RecordCountMap;

namespace qel_senders {
// A message encoded ahead of its turn, its sequence number at `seq_at`.
struct PendingMessage {
  uint8_t bytes[qel_wire::kMaxCountedMessage];
  uint8_t length;
  uint8_t seq_at;
};
}  // namespace qel_senders

// Design
// ------
// Threads: probes (any thread) push into `queue`; the insert thread is the
// only consumer of `queue` and the only writer of `insertMap` and
// `pendingKeys`; the sender's own thread drains `sendMap` and sends.
//  * `mutex` guards `insertMap`, `pendingKeys`, `mapSelector`, the swap and
//    socket creation.
//  * `sendLock` guards `sendMap` and `socket` while a window is sent, so that
//    a leave operation (on the program's thread) has the maps and the socket
//    to itself. Lock order: `sendLock` before `mutex`.
//  * `closed` (under `sendLock`) records that a leave operation closed the
//    socket: later windows are counted and discarded, and the socket is
//    never closed twice.
//  * `pendingInsert`/`pendingSend`: messages encoded ahead of their turn
//    (a unit's identity, a wide MC/DC vector), which no record of the maps
//    can carry. Filled under `mutex` like `insertMap`, swapped with the
//    maps and sent before the window's records, each numbered when it goes.
// A record's count may exceed what a message carries (counters in the
// program hand over a window's hits at once): it goes out as several
// messages of at most qel_wire::kMaxWireCount each.
// Flags set by the shutdown are atomics read by other threads (acquire,
// pairing with the shutdown's release stores).
template <uint32_t N>
class QEL_EXPORT AggregatingSender : public SenderBase {
 public:
  using Queue = ArrayLockFreeQueue<uint64_t, N>;

  ~AggregatingSender() override;

  void init_zmq();
  // Enqueues one record; waits in 10 ms steps while the queue is full.
  // Inline: it is the whole of a probe's hand-over to the queue.
  void execute(uint64_t record) {
    // acquire: pairs with the shutdown's release store of the flag.
    if (!stopEnqueue.load(std::memory_order_acquire) && queue) queue->push_waiting(record, 10);
  }
  // Leave operation: moves what the queue still holds into the maps (and
  // its latest records into the crash sender's ring), flushes both maps in
  // the thread's format, closes the socket once, and returns once those
  // messages have left the process or about a second has passed. A lock it
  // cannot get within that second (its holder crashed) makes it give up.
  void sendLeaveMsg();

  // The boundary of a test case (on the program's thread): sends what the
  // queue and both maps hold now, so that no message mixes counts from both
  // sides of it, and returns the sequence number the next message will
  // carry. 0 when that cannot be done within about `wait_ms` (no collector
  // took the messages, a lock held elsewhere, the channel closed): the
  // counts then stay for the sender's thread, and the boundary is unknown.
  uint32_t send_held(unsigned wait_ms);

  // Undoes a leave operation: opens the socket again so the sender goes on
  // (a program that survived its crash). Gives up on a lock it cannot have.
  void reopen();

  // Under `mutex`: moves every published record of `queue` into `insertMap`
  // and the latest ones into `latest` (may be null); returns how many. The
  // insert thread and the leave operation are its only callers.
  uint32_t take_queued_locked(ArrayLockFreeQueue<uint64_t, 51>* latest);

  // The sender's thread body (fsend_dd, fsend_cond and fsend_mcdc).
  void run();

  bool idle_at_stop() override;

  using PendingMessage = qel_senders::PendingMessage;
  // Under `mutex`: `m` goes out with the next window, before its records.
  void add_pending_locked(const PendingMessage& m);
  // Under `mutex`: `n` more occurrences of `record` in the insert map.
  void add_locked(uint64_t record, uint64_t n);

  // One message for `record` seen `count` times; returns its length.
  virtual std::size_t encode(uint64_t record, int32_t count, int32_t seq, bool little,
                             uint8_t* out) const = 0;
  virtual void report_send_failure(bool little) const = 0;
  // A failed send of a leave operation; silent unless a sender says otherwise.
  virtual void report_leave_failure() const {}

  int32_t sendSeq = 1;
  // relaxed: read without the lock only as a hint whether to try a swap;
  // every decision that matters re-reads it under `mutex`.
  std::atomic<int32_t> pendingKeys{0};
  bool mapSelector = true;
  RecordCountMap* mapA;
  RecordCountMap* mapB;
  RecordCountMap* sendMap;
  RecordCountMap* insertMap;
  Queue* queue;
  std::vector<PendingMessage>* pendingInsert;
  std::vector<PendingMessage>* pendingSend;
  pthread_mutex_t sendLock;
  bool closed = false;

 protected:
  explicit AggregatingSender(qel_wire::Channel channel);

 private:
  void send_map_locked(RecordCountMap* map);
  void swap_maps_locked();
  void swap_maps();
  bool nothing_held_locked() const;
  // Sends `record` seen `count` times as one or more messages.
  template <typename Send>
  void send_counted(uint64_t record, uint64_t count, bool little, Send&& send);
  // Under both locks: every pending message, then both maps, now (a leave
  // operation, a test case's boundary).
  template <typename Send>
  void send_everything_held_locked(bool little, Send&& send);
  qel_net::SendPacing pacing_;
  // Raised by a leave operation so that a send of the thread waiting for a
  // collector gives up and lets the leave operation take the socket
  // (release; pairs with the acquire in qel_net::send_message).
  std::atomic<bool> leaving_{false};
};

extern template class AggregatingSender<6000000>;
extern template class AggregatingSender<3000000>;
