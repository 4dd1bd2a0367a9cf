#pragma once
// Per-thread staging of coverage records: a probe writes its record into a
// small buffer of its own thread, and whole runs of records move to the
// senders' shared queues. A probe then touches no cache line that another
// thread writes, and a thread preempted in the middle of a probe holds up
// nobody: it has reserved nothing in the shared queue.
//
// Records reach the queues when a thread's buffer is full, when the thread
// ends, on every pass of the insert thread, and on flush_all().
#include <cstdint>

namespace qel_stage {

// One buffer per record kind, each feeding one sender's queue.
enum Lane : int { kNode = 0, kCond = 1, kMcdc = 2, kLanes = 3 };

// Records one lane holds before its thread moves them on itself.
constexpr uint32_t kLaneSlots = 256;

// Stages `record` on the calling thread. False when this thread has no
// buffer (no memory for one): the caller hands the record to the queue
// itself.
bool put(Lane lane, uint64_t record);

enum class Flush {
  // Waits for room in a full queue while the runtime accepts records, and
  // for a buffer another thread is flushing. For thread exit, shutdown and
  // leave operations on an ordinary thread.
  kWait,
  // Never waits, never allocates, never takes a lock: what does not fit, or
  // sits in a buffer another thread is flushing, stays staged. For the insert
  // thread (which empties the queues it would wait for) and signal handlers.
  kTry,
};

struct FlushResult {
  uint32_t moved = 0;   // records moved to the queues
  bool settled = true;  // every buffer was seen empty afterwards
};

// Moves every thread's staged records into the queues of the current
// runtime instance, each thread's records in their order. Does nothing
// while this process has no instance.
FlushResult flush_all(Flush mode);

// Records staged on the calling thread (tests).
uint32_t staged_here();

}  // namespace qel_stage
