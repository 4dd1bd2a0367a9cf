#pragma once
// Records that the program's threads still hold in their own stages
// (thread_stage.h, which feeds the senders' queues from above) must reach
// the queues before a leave operation drains them. The stage says how, once
// it has handed out its first buffer: before that nothing is staged. The
// same holds for the counts in the program's counters.
#include <atomic>

namespace qel_senders {

using DrainStaged = void (*)();

// release: stored by the stage before its first buffer is used; acquire:
// loaded by leave operations, which then see the stage's pool.
extern std::atomic<DrainStaged> drain_staged;

// Moves staged records to the queues without ever waiting (a stage's owner
// may be the thread that crashed); nothing when nothing was ever staged.
inline void drain_staged_records() {
  if (DrainStaged drain = drain_staged.load(std::memory_order_acquire)) drain();
}

// Counters in the program (counter_harvest.h) likewise: what the program
// counted so far goes into the senders' maps, with a bounded wait for their
// locks. Set (release) by the bootstrap; null while nothing counts.
using HarvestCounters = void (*)();
extern std::atomic<HarvestCounters> harvest_counters_hook;

inline void harvest_counters() {
  // acquire: pairs with the bootstrap's release store.
  if (HarvestCounters h = harvest_counters_hook.load(std::memory_order_acquire)) h();
}

}  // namespace qel_senders
