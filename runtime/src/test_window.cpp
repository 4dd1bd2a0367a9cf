// Design
// ------
// Threads: whichever program threads make the test-case calls; the events
// themselves already ask callers to make them one at a time (the events'
// socket is not shared safely), so the boundaries of one stream follow one
// another.
//  * `g_counted_stream`, `g_starts`, `g_stops`: the ordinals of the current
//    stream's starts and stops. A call that finds another stream (a new
//    bootstrap, a forked child) starts them again at zero. Relaxed: the
//    callers take turns, and the values only number messages.
// Counts made by other threads while a test case runs are counted into it:
// the boundary is a point in each channel's sequence, not in a thread.
#include "test_window.h"

#include <atomic>
#include <cstdint>
#include <string>

#include "announce.h"
#include "counter_harvest.h"
#include "port.h"
#include "qelmq/QelSendCond.h"
#include "qelmq/QelSendDD.h"
#include "qelmq/QelSendMCDC.h"
#include "qelmq/QelSendProperty.h"
#include "qelmq/QelSendUniTest.h"
#include "qelmq/protocol/texts.h"
#include "qelmq/thread_exit.h"
#include "staged_drain.h"

namespace qel_window {

namespace {

std::atomic<uint64_t> g_counted_stream{0};
std::atomic<uint32_t> g_starts{0};
std::atomic<uint32_t> g_stops{0};

// Long enough for a collector that is connecting as the program starts
// (ours retries every 20 ms, ZeroMQ's default is 100 ms); short beside the
// 2 s the event itself waits for a collector that is not there.
constexpr unsigned kWaitMs = 250;

// What is left of `bound_ms` since `since`.
unsigned left_of(uint32_t since, unsigned bound_ms) {
  const uint32_t spent = qel_port::tick_ms() - since;
  return spent >= bound_ms ? 0 : bound_ms - spent;
}

}  // namespace

void mark(bool start) {
  thread_exit* inst = thread_exit::pInst.load(std::memory_order_acquire);
  if (!inst || pid.load(std::memory_order_relaxed) != qel_port::current_pid()) return;
  const uint32_t since = qel_port::tick_ms();
  // No collector took the last test-case event: do not wait for one at
  // every boundary either (the counts stay held, the window is unknown).
  const unsigned bound = inst->sendUniTest && inst->sendUniTest->peer_missing() ? 0 : kWaitMs;
  // The counts reach the senders' maps first: the program's counters, then
  // records the program's threads still hold in their stages.
  qel_harvest::harvest(inst, bound);
  qel_senders::drain_staged_records();
  qel_wire::TestCaseWindow w;
  w.start = start;
  w.next[0] = inst->sendDD ? inst->sendDD->send_held(left_of(since, bound)) : 0;
  w.next[1] = inst->sendCond ? inst->sendCond->send_held(left_of(since, bound)) : 0;
  w.next[2] = inst->sendMCDC ? inst->sendMCDC->send_held(left_of(since, bound)) : 0;
  const uint64_t stream = qel_announce::stream_id();
  if (g_counted_stream.exchange(stream, std::memory_order_relaxed) != stream) {
    g_starts.store(0, std::memory_order_relaxed);
    g_stops.store(0, std::memory_order_relaxed);
  }
  w.ordinal = (start ? g_starts : g_stops).fetch_add(1, std::memory_order_relaxed) + 1;
  QelSendProperty* prop = inst->sendProperty;
  if (!prop) return;
  try {
    prop->sendMsgWithin(TestCaseWindow, qel_wire::test_case_window_text(w),
                        left_of(since, bound) + 1);
  } catch (...) {
    // No memory for the text: the collector counts this window's test case
    // as the process's, as it does for a runtime that sends none.
  }
}

void install() {
  // release: pairs with the acquire in qel_senders::mark_test_case.
  qel_senders::mark_test_case_hook.store(mark, std::memory_order_release);
}

}  // namespace qel_window
