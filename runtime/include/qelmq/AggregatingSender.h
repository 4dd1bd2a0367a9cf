#pragma once
// The common machinery of the node, condition and MC/DC senders: a queue of
// raw records filled by probes, two record-to-count maps, and the loop that
// swaps them and sends one message per distinct record and window.
#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "qelmq/ArrayLockFreeQueue.h"
#include "qelmq/export.h"
#include "qelmq/net.h"
#include "qelmq/record_map.h"

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
// Flags set by the shutdown are atomics read by other threads (acquire,
// pairing with the shutdown's release stores).
template <uint32_t N>
class QEL_EXPORT AggregatingSender {
 public:
  using Queue = ArrayLockFreeQueue<uint64_t, N>;
  static constexpr std::size_t kMaxMessage = 19;

  virtual ~AggregatingSender();

  void init_zmq();
  // Enqueues one record; waits in 10 ms steps while the queue is full.
  void execute(uint64_t record);
  // Leave operation: flushes both maps in the thread's format, closes the
  // socket once.
  void sendLeaveMsg();

  // The sender's thread body (fsend_dd, fsend_cond and fsend_mcdc).
  void run();

  // One message for `record` seen `count` times; returns its length.
  virtual std::size_t encode(uint64_t record, int32_t count, int32_t seq, bool little,
                             uint8_t* out) const = 0;
  virtual int port() const = 0;
  virtual void report_send_failure(bool little) const = 0;
  // A failed send of a leave operation; silent unless a sender says otherwise.
  virtual void report_leave_failure() const {}

  // Sets `stopSend` and wakes a send that is waiting for a collector.
  void request_stop_send();

  // Counts one record into the insert map (the insert thread, under mutex).
  void count_record(uint64_t record) {
    if (insertMap->add(record)) pendingKeys.fetch_add(1, std::memory_order_relaxed);
  }

  int32_t sendSeq = 1;
  // relaxed: read without the lock only as a hint whether to try a swap;
  // every decision that matters re-reads it under `mutex`.
  std::atomic<int32_t> pendingKeys{0};
  bool mapSelector = true;
  char ip[128];
  char state[2];
  std::atomic<bool> stopEnqueue{false};
  std::atomic<bool> stopSend{false};
  RecordCountMap* mapA;
  RecordCountMap* mapB;
  RecordCountMap* sendMap;
  RecordCountMap* insertMap;
  Queue* queue;
  void* context = nullptr;
  void* socket = nullptr;
  pthread_mutex_t mutex;
  pthread_mutex_t sendLock;
  bool closed = false;

 protected:
  AggregatingSender();

 private:
  void send_map_locked(RecordCountMap* map);
  void swap_maps();
  qel_net::SendPacing pacing_;
  // Raised by a leave operation so that a send of the thread waiting for a
  // collector gives up and lets the leave operation take the socket
  // (release; pairs with the acquire in qel_net::send_message).
  std::atomic<bool> leaving_{false};
};

extern template class AggregatingSender<6000000>;
extern template class AggregatingSender<3000000>;

// 8-byte probe records.
namespace qel_record {
// Packs 16-bit fields by the record rule: big-endian fields from byte 0 with
// the flag set, in reverse order ending at byte 7 with it clear; bit 0x80 of
// byte 0 always set.
uint64_t pack(const uint16_t* fields, int count, bool little);
// Byte i of a record is bits 8i..8i+7; the wire carries bytes 0..7 with the
// flag set and bytes 7..0 with it clear.
void put_record(uint64_t record, bool little, uint8_t* out);
void put_u32(uint32_t v, bool little, uint8_t* out);
void put_u16(uint16_t v, bool little, uint8_t* out);
// The 18-byte message of node and condition records: record, "0", count,
// sequence number, "1".
std::size_t put_counted_message(uint64_t record, int32_t count, int32_t seq, bool little,
                                uint8_t* out);
}  // namespace qel_record
