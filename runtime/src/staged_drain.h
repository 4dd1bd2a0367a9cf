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

// A sender whose records should stream while the program runs (values,
// timings) asks the instance to start the senders' threads now rather than
// after its first period. Set (release) by the bootstrap.
using WantSenderThreads = void (*)();
extern std::atomic<WantSenderThreads> want_sender_threads_hook;

inline void want_sender_threads() {
  // acquire: pairs with the bootstrap's release store.
  if (WantSenderThreads w = want_sender_threads_hook.load(std::memory_order_acquire)) w();
}

// A test case's start or stop first marks its boundary in the counts
// (test_window.h). Set (release) by the bootstrap; null before.
using MarkTestCase = void (*)(bool start);
extern std::atomic<MarkTestCase> mark_test_case_hook;

inline void mark_test_case(bool start) {
  // acquire: pairs with the bootstrap's release store.
  if (MarkTestCase mark = mark_test_case_hook.load(std::memory_order_acquire)) mark(start);
}

}  // namespace qel_senders
