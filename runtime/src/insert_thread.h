#pragma once
// What the insert thread does, callable from elsewhere in the runtime.
#include <cstdint>

#include "thread_stage.h"

class thread_exit;

namespace qel_insert {

// Moves everything recorded so far for the node, condition and MC/DC
// senders into their insert maps (and the latest records into the crash
// sender's rings), as the insert thread would: first every thread's staged
// records (qel_stage::flush_all), then the three queues. For leave
// operations, which must send what was recorded before they were called.
// Flush::kTry never blocks: a stage or queue whose lock another thread
// holds is left to the insert thread. Call it holding no sender lock.
// Returns the number of records moved from the queues.
uint32_t drain_queued(thread_exit* inst, qel_stage::Flush mode);

// Opens the property and test-case sockets and starts the thread of every
// sender (the instance's thread table, after the insert thread's row). The
// insert thread calls it once the process has lived a period, or when a
// probe asked for streaming.
void start_sender_threads(thread_exit* inst);

}  // namespace qel_insert
