// Probe calls per second under threads: 1, 2 and 8 threads calling QelNode,
// beside the same thread counts on the atomic counter of an arc-profiling
// build (one shared counter, the cost a coverage build puts on every branch).
// Linked to the shared runtime, as an instrumented program is. Rates are of
// the whole process (real time), so 8 threads on 2 cores show whether the
// probes scale or queue up behind each other.
#include <benchmark/benchmark.h>

#include "qelmq/QelSendDD.h"
#include "qelmq/thread_exit.h"

extern "C" int gcov_loop_body(int i);

namespace {

void BM_ThreadsGcovAtomicCounter(benchmark::State& state) {
  int i = 0;
  for (auto _ : state) benchmark::DoNotOptimize(gcov_loop_body(i++));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ThreadsGcovAtomicCounter)->Threads(1)->Threads(2)->Threads(8)->UseRealTime();

// With the insert thread running and no collector, as in a program under
// test: the insert thread keeps up or the probes wait for room, so the rate
// is the rate at which records really move.
void BM_ThreadsQelNode(benchmark::State& state) {
  thread_exit::getInst();
  int i = 0;
  const int unit = 1 + state.thread_index();
  for (auto _ : state) QelNode(unit, i++ & 1023, 0);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ThreadsQelNode)->Threads(1)->Threads(2)->Threads(8)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
