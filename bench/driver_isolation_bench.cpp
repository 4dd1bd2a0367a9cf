// Whole runs of orrin_drive on the sample's shipped vectors, with and
// without isolation; the counter is the time per test case. With
// QEL_BENCH_BASELINE_DRIVE naming another build of orrin_drive (an earlier
// commit's, say), the same runs of that one come first in the same process,
// the anchor for a before/after ratio on a shared machine.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "program_run.h"

namespace {

// The shipped vectors hold this many test cases (one skipped).
constexpr int kTestCases = 35;

void Run(benchmark::State& state, const std::string& drive, const std::vector<std::string>& args) {
  for (auto _ : state) {
    const qel_test::ProgramResult r = qel_test::RunProgram(drive, args);
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

void Register(const std::string& prefix, const std::string& drive) {
  benchmark::RegisterBenchmark((prefix + "ShippedVectorsInProcess").c_str(),
                               [drive](benchmark::State& state) { Run(state, drive, {"--check"}); })
      ->Unit(benchmark::kMillisecond)
      ->UseRealTime();
  benchmark::RegisterBenchmark(
      (prefix + "ShippedVectorsIsolated").c_str(),
      [drive](benchmark::State& state) { Run(state, drive, {"--isolate"}); })
      ->Unit(benchmark::kMillisecond)
      ->UseRealTime();
}

}  // namespace

int main(int argc, char** argv) {
  if (const char* baseline = std::getenv("QEL_BENCH_BASELINE_DRIVE"))
    Register("BM_Baseline_", baseline);
  Register("BM_", ORRIN_DRIVE);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
