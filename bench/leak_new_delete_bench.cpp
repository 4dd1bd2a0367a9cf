// QelNew/QelDelete are on the program's own allocation path: what does the
// table cost over malloc/free, and how much do leak reports slow it?
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <thread>
#include <vector>

#include "qelmq/leak.h"

namespace {

void BM_MallocFree(benchmark::State& state) {
  for (auto _ : state) {
    void* p = std::malloc(48);
    benchmark::DoNotOptimize(p);
    std::free(p);
  }
}
BENCHMARK(BM_MallocFree)->ThreadRange(1, 4);

void BM_QelNewDeleteUntracked(benchmark::State& state) {
  for (auto _ : state) {
    void* p = QelNew(48, "bench.c", "f", 0);
    benchmark::DoNotOptimize(p);
    QelDelete(p);
  }
}
BENCHMARK(BM_QelNewDeleteUntracked)->ThreadRange(1, 4);

void BM_QelNewDeleteTracked(benchmark::State& state) {
  for (auto _ : state) {
    void* p = QelNew(48, "bench.c", "f", 12);
    benchmark::DoNotOptimize(p);
    QelDelete(p);
  }
}
BENCHMARK(BM_QelNewDeleteTracked)->ThreadRange(1, 4);

// A table of 10000 live blocks and a thread making reports back to back:
// the worst case for allocating threads, which share the lock with it.
void BM_QelNewDeleteDuringReports(benchmark::State& state) {
  std::vector<void*> live;
  for (int i = 0; i < 10000; ++i) live.push_back(QelNew(16, "live.c", "g", i + 1));
  std::atomic<bool> stop{false};
  std::atomic<long> reports{0};
  std::thread reporter([&] {
    while (!stop.load(std::memory_order_relaxed)) {
      benchmark::DoNotOptimize(qel_leak::make_report());
      reports.fetch_add(1, std::memory_order_relaxed);
    }
  });
  for (auto _ : state) {
    void* p = QelNew(48, "bench.c", "f", 12);
    benchmark::DoNotOptimize(p);
    QelDelete(p);
  }
  stop.store(true);
  reporter.join();
  state.counters["reports"] = static_cast<double>(reports.load());
  for (void* p : live) QelDelete(p);
}
BENCHMARK(BM_QelNewDeleteDuringReports);

}  // namespace

BENCHMARK_MAIN();
