// The insert thread: sole consumer of the node, condition and MC/DC queues,
// and the periodic flusher of the threads' staged records.
#include "insert_thread.h"

#include <climits>

#include "counter_harvest.h"
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
#include "thread_stage.h"

namespace {

// Moves every published record of one sender's queue into its insert map and
// the latest ones into the crash sender's ring. With `try_only` a held lock
// ends the call: its holder may be a thread that will never run again.
template <typename Sender>
uint32_t move_records(Sender* sender, QelSendLast::Ring* ring, bool try_only = false) {
  if (!sender || !sender->queue) return 0;
  if (try_only) {
    qel_sync::TimedMutexGuard lock(sender->mutex, 0);
    return lock.owns() ? sender->take_queued_locked(ring) : 0;
  }
  qel_sync::MutexGuard lock(sender->mutex);
  return sender->take_queued_locked(ring);
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
  uint32_t last_harvest = qel_port::tick_ms();
  for (;;) {
    // Read before the flags: a stop raised after it cuts the idle sleep short.
    const uint32_t seen = inst->insertWake.load(std::memory_order_acquire);
    // The periodic pass over the threads' stages: records of a thread that
    // stopped calling probes do not wait for its buffer to fill. Never
    // waits: this thread is the one that makes room in the queues.
    qel_stage::FlushResult staged = qel_stage::flush_all(qel_stage::Flush::kTry);
    if (staged.settled && stopped(inst->sendDD) && stopped(inst->sendCond) &&
        stopped(inst->sendMCDC) && queue_empty(inst->sendDD) && queue_empty(inst->sendCond) &&
        queue_empty(inst->sendMCDC))
      break;
    // The program's counters, read every period: their counts reach the
    // maps as the queued records do.
    if (qel_port::tick_ms() - last_harvest >= qel_harvest::kPeriodMs) {
      last_harvest = qel_port::tick_ms();
      qel_harvest::harvest(inst, UINT32_MAX);
    }
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

namespace qel_insert {

uint32_t drain_queued(thread_exit* inst, qel_stage::Flush mode) {
  if (!inst) return 0;
  qel_stage::flush_all(mode);
  const bool try_only = mode == qel_stage::Flush::kTry;
  QelSendLast* last = inst->sendLast;
  uint32_t moved = move_records(inst->sendDD, last ? last->lastDD : nullptr, try_only);
  moved += move_records(inst->sendCond, last ? last->lastCond : nullptr, try_only);
  moved += move_records(inst->sendMCDC, last ? last->lastMCDC : nullptr, try_only);
  return moved;
}

}  // namespace qel_insert
