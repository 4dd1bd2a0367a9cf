// Whole runs of orrin_drive on the sample's shipped vectors, with and
// without isolation; the counter is the time per test case.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "program_run.h"

namespace {

// The shipped vectors hold this many test cases (one skipped).
constexpr int kTestCases = 35;

void Run(benchmark::State& state, const std::vector<std::string>& args) {
  for (auto _ : state) {
    const qel_test::ProgramResult r = qel_test::RunProgram(ORRIN_DRIVE, args);
    if (!r.exited || r.code != 0) {
      state.SkipWithError("orrin_drive failed");
      break;
    }
    benchmark::DoNotOptimize(r.out.size());
  }
  state.counters["per_test_case"] =
      benchmark::Counter(static_cast<double>(state.iterations()) * kTestCases,
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_ShippedVectorsInProcess(benchmark::State& state) { Run(state, {"--check"}); }
BENCHMARK(BM_ShippedVectorsInProcess)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ShippedVectorsIsolated(benchmark::State& state) { Run(state, {"--isolate"}); }
BENCHMARK(BM_ShippedVectorsIsolated)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
