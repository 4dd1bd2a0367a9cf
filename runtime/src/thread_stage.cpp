#include "thread_stage.h"

#include <pthread.h>

#include <atomic>
#include <new>

#include "port.h"
#include "qelmq/QelSendCond.h"
#include "qelmq/QelSendDD.h"
#include "qelmq/QelSendMCDC.h"
#include "qelmq/thread_exit.h"
#include "staged_drain.h"

namespace qel_stage {
namespace {

// Design
// ------
// One Stage per live thread that has called a probe, three lanes each, from
// a fixed pool in static storage (zero pages until a thread touches them).
// Stages are never freed: a thread that ends gives its stage back (`owned`
// cleared) and the next new thread takes it over, so the flushers walk the
// pool without any lock and never meet freed memory, and unloading the
// library leaves nothing behind. Threads beyond the pool, at once, hand
// their records to the queue directly.
//
// Per lane, a single-producer ring of kLaneSlots records:
//  * `slots`, `head`, `tail_seen`: written only by the owning thread.
//    `head` counts records ever staged; the owner stores it with release
//    after writing the slot (pairs with the flusher's acquire load, so the
//    flusher reads complete records).
//  * `tail`: counts records ever moved to the queue; written only by the
//    thread that holds the stage's `flushing` flag, with release after the
//    records are copied out (pairs with the owner's acquire load before it
//    reuses their slots). Holders of the flag read it relaxed: the flag's
//    acquire already shows them the previous holder's store.
// Invariant: tail <= head <= tail + kLaneSlots (mod 2^32; kLaneSlots
// divides 2^32, so slot i of the ring is counter i mod kLaneSlots).
//
// Stage fields:
//  * `flushing`: one flusher per stage at a time (the owner when its lane
//    is full or it ends, the insert thread, flush_all callers), so one
//    thread's records enter the queue run after run, in their order. Taken
//    with an acquire exchange, given back with a release store (they pair).
//  * `owned`: set by the thread that claims the stage (acquire CAS), cleared
//    when it ends (release store); the pair hands the owner-only fields of
//    the lanes to the next owner.
// `g_used` (the pool's high-water mark) only grows; a claim raises it with
// an acq_rel CAS, flushers load it with acquire (pairs with it: they see
// the stages below it claimed).
//
// Threads: the owner stages (put) and flushes its own stage when a lane is
// full and when it ends (the thread-end hook); the insert thread flushes
// every stage on each pass with Flush::kTry; flush_all callers (shutdown,
// leave operations) flush every stage. Lock order: a stage's `flushing`,
// then `g_lane_lock` of the lane. Neither is held while taking a sender's
// lock: pushing a run into a queue takes none.
// A kWait flusher waiting for `flushing` yields; the flag is held for one
// run per lane, longer only while the queue is full (back-pressure).
struct LaneRing {
  alignas(64) std::atomic<uint32_t> head{0};
  uint32_t tail_seen = 0;
  alignas(64) std::atomic<uint32_t> tail{0};
  uint64_t slots[kLaneSlots] = {};
};

struct Stage {
  LaneRing lanes[kLanes];
  alignas(64) std::atomic<bool> flushing{false};
  std::atomic<bool> owned{false};
};

static_assert((kLaneSlots & (kLaneSlots - 1)) == 0, "kLaneSlots must divide 2^32");

// One flusher per queue at a time. Runs are published in the order they
// were reserved, so two flushers of one queue would wait for each other,
// spinning, whenever the first is preempted: with more threads than cores
// that convoy costs more than the records. A flusher that finds the lock
// taken sleeps in the lock instead, and the holder gets the core.
pthread_mutex_t g_lane_lock[kLanes] = {PTHREAD_MUTEX_INITIALIZER, PTHREAD_MUTEX_INITIALIZER,
                                       PTHREAD_MUTEX_INITIALIZER};

constexpr uint32_t kMaxStages = 64;
Stage g_pool[kMaxStages];
std::atomic<uint32_t> g_used{0};

QEL_PORT_FAST_TLS thread_local Stage* t_stage = nullptr;
// No stage to be had (pool exhausted, no thread-end hook): stop trying.
QEL_PORT_FAST_TLS thread_local bool t_no_stage = false;

void on_fork_child();
void on_thread_end(void* stage);
void on_unload() { qel_port::delete_thread_end_hooks(); }

Stage* claim() {
  uint32_t used = g_used.load(std::memory_order_acquire);
  for (uint32_t i = 0; i < used; ++i) {
    bool expected = false;
    // acquire: pairs with the release store of the stage's previous owner.
    if (!g_pool[i].owned.load(std::memory_order_relaxed) &&
        g_pool[i].owned.compare_exchange_strong(expected, true, std::memory_order_acquire,
                                                std::memory_order_relaxed))
      return &g_pool[i];
  }
  while (used < kMaxStages) {
    // acq_rel: see g_used. The winner tries stage `used` first.
    if (g_used.compare_exchange_weak(used, used + 1, std::memory_order_acq_rel,
                                     std::memory_order_acquire)) {
      if (used == 0) {
        // The first stage ever: the thread-end hook, a fork child that
        // must not send its parent's records, and the senders' leave
        // operations, which must not leave records staged.
        qel_port::register_fork_child_hook(on_fork_child);
        qel_port::register_unload_handler(on_unload);
        qel_senders::drain_staged.store(
            +[] { flush_all(Flush::kTry); }, std::memory_order_release);
      }
      // A claimer scanning for a free stage may have taken it first.
      bool expected = false;
      if (g_pool[used].owned.compare_exchange_strong(expected, true, std::memory_order_acquire,
                                                     std::memory_order_relaxed))
        return &g_pool[used];
      used = g_used.load(std::memory_order_acquire);
    }
  }
  return nullptr;
}

Stage* my_stage() {
  if (t_stage || t_no_stage) return t_stage;
  // Without the hook a thread's end could not give its stage back.
  const int hook = qel_port::create_thread_end_hook(on_thread_end);
  if (hook < 0) {
    t_no_stage = true;
    return nullptr;
  }
  t_stage = claim();
  t_no_stage = t_stage == nullptr;
  if (t_stage) qel_port::arm_thread_end_hook(hook, t_stage);
  return t_stage;
}

template <typename Sender>
bool stopped(Sender* s) {
  // acquire: pairs with the shutdown's release store.
  return s->stopEnqueue.load(std::memory_order_acquire);
}

// Moves one lane's records into `sender`'s queue. Caller holds `flushing`.
// Returns false when records stay behind although they have somewhere to go.
template <typename Sender>
bool flush_lane(LaneRing& lane, Sender* sender, Flush mode, uint32_t& moved) {
  uint32_t t = lane.tail.load(std::memory_order_relaxed);
  // acquire: pairs with the owner's release store of `head`.
  const uint32_t h = lane.head.load(std::memory_order_acquire);
  if (t == h) return true;
  if (!sender || !sender->queue || !sender->queue->valid()) return true;  // nowhere to go
  while (t != h) {
    // The ring's records up to its end, then those from its start: one
    // queue run each.
    uint32_t at = t % kLaneSlots;
    uint32_t n = h - t < kLaneSlots - at ? h - t : kLaneSlots - at;
    uint32_t k = sender->queue->push_run(&lane.slots[at], n);
    if (k != 0) {
      t += k;
      moved += k;
      // release: pairs with the owner's acquire load of `tail`.
      lane.tail.store(t, std::memory_order_release);
    }
    if (k < n) {
      // A full queue: only a thread that may wait, and only while the
      // insert thread still empties the queue, waits for room.
      if (mode == Flush::kTry || stopped(sender)) return false;
      qel_port::sleep_ms(10);
    }
  }
  return true;
}

bool take(Stage* s, Flush mode) {
  for (;;) {
    // acquire: pairs with the release store that gave the flag back.
    if (!s->flushing.exchange(true, std::memory_order_acquire)) return true;
    if (mode == Flush::kTry) return false;
    qel_port::yield_thread();
  }
}

void give_back(Stage* s) {
  // release: pairs with the next holder's acquire exchange.
  s->flushing.store(false, std::memory_order_release);
}

thread_exit* live_instance() {
  // acquire: pairs with the bootstrap's release store of the instance.
  thread_exit* inst = thread_exit::pInst.load(std::memory_order_acquire);
  if (!inst || pid.load(std::memory_order_relaxed) != qel_port::current_pid()) return nullptr;
  return inst;
}

// Moves `s`'s records on; false when some stay staged.
template <typename Sender>
bool flush_lane_locked(LaneRing& lane, Lane which, Sender* sender, Flush mode, uint32_t& moved) {
  // acquire: pairs with the owner's release store of `head`.
  if (lane.tail.load(std::memory_order_relaxed) == lane.head.load(std::memory_order_acquire))
    return true;
  pthread_mutex_t& lock = g_lane_lock[which];
  if (mode == Flush::kTry) {
    if (pthread_mutex_trylock(&lock) != 0) return false;
  } else {
    pthread_mutex_lock(&lock);
  }
  bool done = flush_lane(lane, sender, mode, moved);
  pthread_mutex_unlock(&lock);
  return done;
}

bool flush_stage(Stage* s, thread_exit* inst, Flush mode, uint32_t& moved) {
  if (!take(s, mode)) return false;
  bool done = flush_lane_locked(s->lanes[kNode], kNode, inst->sendDD, mode, moved);
  done = flush_lane_locked(s->lanes[kCond], kCond, inst->sendCond, mode, moved) && done;
  done = flush_lane_locked(s->lanes[kMcdc], kMcdc, inst->sendMCDC, mode, moved) && done;
  give_back(s);
  return done;
}

void on_thread_end(void* stage) {
  Stage* s = static_cast<Stage*>(stage);
  uint32_t moved = 0;
  // Without an instance the records stay staged for the next one.
  if (thread_exit* inst = live_instance()) flush_stage(s, inst, Flush::kWait, moved);
  t_stage = nullptr;
  // release: hands the lanes' owner-only fields to the next owner.
  s->owned.store(false, std::memory_order_release);
}

// In the child of a fork only the forking thread lives on. Every stage
// holds records of the parent, which the parent sends itself; the other
// threads' stages are free for the child's threads, and a flag held by a
// parent thread at the fork would be held for ever.
void on_fork_child() {
  for (pthread_mutex_t& lock : g_lane_lock) pthread_mutex_init(&lock, nullptr);
  uint32_t used = g_used.load(std::memory_order_acquire);
  for (uint32_t i = 0; i < used; ++i) {
    Stage* s = &g_pool[i];
    for (LaneRing& lane : s->lanes) {
      uint32_t h = lane.head.load(std::memory_order_relaxed);
      lane.tail.store(h, std::memory_order_relaxed);
      lane.tail_seen = h;
    }
    s->flushing.store(false, std::memory_order_relaxed);
    s->owned.store(s == t_stage, std::memory_order_relaxed);
  }
}

}  // namespace

namespace {

// A full ring: moves the stage's records on first. False when the ring
// stays full (the runtime is shutting down and takes no more records).
QEL_PORT_NOINLINE bool make_room(Stage* s, LaneRing& ring, uint32_t h) {
  // acquire: pairs with the flusher's release store of `tail`.
  ring.tail_seen = ring.tail.load(std::memory_order_acquire);
  if (h - ring.tail_seen != kLaneSlots) return true;
  uint32_t moved = 0;
  if (thread_exit* inst = live_instance()) flush_stage(s, inst, Flush::kWait, moved);
  ring.tail_seen = ring.tail.load(std::memory_order_acquire);
  return h - ring.tail_seen != kLaneSlots;
}

}  // namespace

bool put(Lane lane, uint64_t record) {
  Stage* s = t_stage;
  if (!s && !(s = my_stage())) return false;
  LaneRing& ring = s->lanes[lane];
  // relaxed: the owner's own counter.
  const uint32_t h = ring.head.load(std::memory_order_relaxed);
  if (h - ring.tail_seen == kLaneSlots && !make_room(s, ring, h)) return true;  // dropped
  ring.slots[h % kLaneSlots] = record;
  // release: pairs with the flusher's acquire load of `head`.
  ring.head.store(h + 1, std::memory_order_release);
  return true;
}

FlushResult flush_all(Flush mode) {
  FlushResult result;
  thread_exit* inst = live_instance();
  if (!inst) return result;
  uint32_t used = g_used.load(std::memory_order_acquire);
  for (uint32_t i = 0; i < used; ++i)
    if (!flush_stage(&g_pool[i], inst, mode, result.moved)) result.settled = false;
  return result;
}

uint32_t staged_here() {
  Stage* s = t_stage;
  if (!s) return 0;
  uint32_t n = 0;
  for (LaneRing& lane : s->lanes)
    n += lane.head.load(std::memory_order_relaxed) - lane.tail.load(std::memory_order_acquire);
  return n;
}

}  // namespace qel_stage
