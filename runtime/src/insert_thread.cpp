// The insert thread: sole consumer of the node, condition and MC/DC queues.
#include "port.h"
#include "qelmq/QelSendCond.h"
#include "qelmq/QelSendDD.h"
#include "qelmq/QelSendLast.h"
#include "qelmq/QelSendMCDC.h"
#include "qelmq/QelSendProperty.h"
#include "qelmq/QelSendUniTest.h"
#include "qelmq/thread_exit.h"
#include "record_map.h"
#include "sync.h"

namespace {

constexpr uint32_t kChunk = 4096;

// Moves every published record of one sender's queue into its insert map and
// the latest ones into the crash sender's ring. Records are claimed a run at
// a time (one CAS per run): this thread is the queue's only consumer, so
// nobody else moves readIndex and the run is ours once the CAS succeeds.
// A reserved slot whose producer has not yet published it ends the pass for
// this queue; the record is taken on the next pass.
template <typename Sender>
uint32_t move_records(Sender* sender, QelSendLast::Ring* ring) {
  if (!sender || !sender->queue) return 0;
  uint32_t moved = 0;
  uint64_t buf[kChunk];
  qel_sync::MutexGuard lock(sender->mutex);
  uint32_t n = sender->queue->size();
  while (n > 0) {
    uint32_t got = sender->queue->pop_run(buf, n < kChunk ? n : kChunk);
    if (got == 0) break;
    n -= got;
    moved += got;
    // Only the last 50 of a run can survive in the ring of the latest 50;
    // pushing the others just to drop them again would only cost time.
    uint32_t first_kept = got > 50 ? got - 50 : 0;
    if (ring)
      for (uint32_t i = first_kept; i < got; ++i) QelSendLast::keep_latest(ring, buf[i]);
    int32_t added = 0;
    for (uint32_t i = 0; i < got; ++i)
      if (sender->insertMap->add(buf[i])) ++added;
    // relaxed: `mutex` orders it against the swap; the sender thread's
    // unlocked read of it is only a hint.
    if (added) sender->pendingKeys.fetch_add(added, std::memory_order_relaxed);
  }
  return moved;
}

template <typename Sender>
bool queue_empty(Sender* s) {
  return !s || !s->queue || s->queue->size() == 0;
}

template <typename Sender>
bool stopped(Sender* s) {
  // acquire: pairs with the shutdown's release store.
  return !s || s->stopEnqueue.load(std::memory_order_acquire);
}

}  // namespace

void* finsert_Data(void* runtime) {
  thread_exit* inst = static_cast<thread_exit*>(runtime);
  // The bootstrap publishes the instance last, once every sender exists.
  if (!inst) return runtime;
  for (;;) {
    // acquire: pairs with wake_insert_thread's release change.
    const uint32_t seen = inst->insertWake.load(std::memory_order_acquire);
    if (thread_exit::pInst.load(std::memory_order_acquire) == inst) break;
    qel_port::wait_for_change(inst->insertWake, seen, 100);
  }
  if (inst->sendUniTest) inst->sendUniTest->init_zmq();
  if (inst->sendProperty) inst->sendProperty->init_zmq();

  QelSendLast* last = inst->sendLast;
  for (;;) {
    // Read before the flags: a stop raised after it cuts the idle sleep short.
    const uint32_t seen = inst->insertWake.load(std::memory_order_acquire);
    if (stopped(inst->sendDD) && stopped(inst->sendCond) && stopped(inst->sendMCDC) &&
        queue_empty(inst->sendDD) && queue_empty(inst->sendCond) && queue_empty(inst->sendMCDC))
      break;
    uint32_t moved = move_records(inst->sendDD, last ? last->lastDD : nullptr);
    moved += move_records(inst->sendCond, last ? last->lastCond : nullptr);
    moved += move_records(inst->sendMCDC, last ? last->lastMCDC : nullptr);
    if (queue_empty(inst->sendDD) && queue_empty(inst->sendCond) && queue_empty(inst->sendMCDC))
      qel_port::wait_for_change(inst->insertWake, seen, 10);
    else if (moved == 0)
      qel_port::yield_thread();  // only unpublished reservations are left
  }
  return runtime;
}
