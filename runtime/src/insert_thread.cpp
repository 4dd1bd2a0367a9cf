// The insert thread: sole consumer of the node, condition and MC/DC queues,
// the periodic flusher of the threads' staged records and reader of the
// program's counters, and the one that starts the senders' threads once the
// process has lived a period (thread_exit.h, life cycle of the threads).
#include "insert_thread.h"

#include <climits>

#include "counter_harvest.h"
#include "net.h"
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
  QelSendLast* last = inst->sendLast;
  const uint32_t born = qel_port::tick_ms();
  uint32_t last_harvest = born;
  bool senders_started = false;
  for (;;) {
    // Read before the flags: a stop raised after it cuts the idle sleep short.
    const uint32_t seen = inst->insertWake.load(std::memory_order_acquire);
    // The senders' threads and sockets wait for the first period (or a
    // probe that streams): a process that ends sooner has its shutdown send
    // on the exiting thread instead. Not once the shutdown has begun: it
    // does their work itself then.
    // relaxed: a hint; the wake-up that follows it is a release.
    if (!senders_started && (inst->wantSenders.load(std::memory_order_relaxed) ||
                             qel_port::tick_ms() - born >= qel_harvest::kPeriodMs)) {
      senders_started = true;
      // acquire: pairs with begin_shutdown's release store, which every
      // shutdown makes before it stops the senders.
      if (!qel_net::runtime_stopping.load(std::memory_order_acquire))
        qel_insert::start_sender_threads(inst);
    }
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
