// The tight decision loop: a function with `if (a && (b || c))`, in a unit
// of its own, called in a loop by 1 or 8 threads, built -O2 five ways
// (counters_bench.cmake) and run in turn within each benchmark iteration, so
// that every ratio is taken under the same load: plain, gcc --coverage with
// atomic counters, clang-19's MC/DC coverage, qelcc (counters in the
// program) and qelcc --events (the call-per-event probes, on fewer
// iterations). Each program reports its process CPU time per call, its
// runtime's threads included. After the timed runs the qelcc build runs once
// more under qelcollect, and `exact` says whether every call and every
// outcome arrived (needs the fixed ports: run it in its own network
// namespace when other jobs use them).
//
//   build-bench/bench/counters_bench --benchmark_counters_tabular=true
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <json/json.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace {

const std::string kDir = QEL_LOOP_DIR;
constexpr long kIterations = 50000000;  // per thread
constexpr long kEventIterations = kIterations / 100;

// Runs `argv` with `env` extra, standard output to `out`; false on failure.
bool run(const std::vector<std::string>& argv, const std::vector<std::string>& env,
         const std::string& out) {
  std::vector<std::string> envs;
  for (char** e = environ; *e; ++e) envs.emplace_back(*e);
  envs.insert(envs.end(), env.begin(), env.end());
  std::vector<char*> a, e;
  for (const std::string& s : argv) a.push_back(const_cast<char*>(s.c_str()));
  a.push_back(nullptr);
  for (const std::string& s : envs) e.push_back(const_cast<char*>(s.c_str()));
  e.push_back(nullptr);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid;
  const int rc = posix_spawn(&pid, a[0], &fa, nullptr, a.data(), e.data());
  posix_spawn_file_actions_destroy(&fa);
  if (rc != 0) return false;
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

struct Result {
  double ns = -1;  // CPU per call
  long trues = -1;
};

// One timed run of a variant: its CPU time per call and its true results.
Result time_variant(const std::string& name, int threads, long iterations) {
  const std::string out = kDir + "/" + name + ".out";
  // No collector and no wait for one: the loop is timed, not the exit.
  if (!run({kDir + "/" + name, std::to_string(threads), std::to_string(iterations)},
           {"QELMQ_TRACE=0", "QELMQ_COLLECTOR_WAIT_MS=0",
            "LLVM_PROFILE_FILE=" + kDir + "/clang.profraw"},
           out))
    return {};
  Result r;
  std::ifstream(out) >> r.ns >> r.trues;
  return r;
}

// The qelcc build under qelcollect: every call of decide() and every
// outcome of its decision arrived.
bool exact(int threads, long iterations) {
  const std::string run_file = kDir + "/run.jsonl";
  const std::string out = kDir + "/exact.out";
  if (!run({QELCOLLECT, "--map", kDir + "/maps", "--out", run_file, "--no-report", "--",
            kDir + "/qelcc", std::to_string(threads), std::to_string(iterations)},
           {"QELMQ_TRACE=0"}, out))
    return false;
  long calls_expected = static_cast<long>(threads) * iterations, trues = -1;
  double ns;
  std::ifstream(out) >> ns >> trues;
  // decide.c's unit: its function's entry node and its decision's own id.
  Json::Value units, map;
  Json::CharReaderBuilder b;
  std::string errors;
  std::ifstream reg(kDir + "/maps/units.json");
  if (!Json::parseFromStream(b, reg, &units, &errors)) return false;
  int unit = 0;
  for (const Json::Value& u : units["units"])
    if (u["source"].asString().find("decide.c") != std::string::npos) unit = u["unit"].asInt();
  std::ifstream mf(kDir + "/maps/" + std::to_string(unit) + ".qelmap.json");
  if (!unit || !Json::parseFromStream(b, mf, &map, &errors)) return false;
  const int entry = map["functions"][0]["entry_node"].asInt();
  const int cond = map["decisions"][0]["cond_id"].asInt();
  long calls = 0, held = 0, not_held = 0;
  std::ifstream lines(run_file);
  std::string line;
  while (std::getline(lines, line)) {
    Json::Value m;
    std::istringstream in(line);
    if (!Json::parseFromStream(b, in, &m, &errors) || m["unit"].asInt() != unit) continue;
    if (m["kind"].asString() == "node" && m["node"].asInt() == entry) calls += m["count"].asInt64();
    if (m["kind"].asString() == "condition" && m["cond"].asInt() == cond)
      (m["held"].asBool() ? held : not_held) += m["count"].asInt64();
  }
  return calls == calls_expected && held == trues && held + not_held == calls_expected;
}

void BM_TightDecisionLoop(benchmark::State& state) {
  const int threads = static_cast<int>(state.range(0));
  std::vector<std::string> variants = {"plain", "gcov", "qelcc"};
  if (QEL_HAVE_CLANG) variants.push_back("clang");
  std::map<std::string, double> sum;
  double events = 0;
  long runs = 0;
  for (auto _ : state) {
    double loop = 0;
    for (const std::string& v : variants) {
      const Result r = time_variant(v, threads, kIterations);
      if (r.ns < 0) {
        state.SkipWithError(("the " + v + " build failed").c_str());
        return;
      }
      sum[v] += r.ns;
      if (v == "qelcc") loop = r.ns;
    }
    const Result e = time_variant("events", threads, kEventIterations);
    if (e.ns < 0) {
      state.SkipWithError("the qelcc --events build failed");
      return;
    }
    events += e.ns;
    ++runs;
    state.SetIterationTime(loop * 1e-9 * static_cast<double>(kIterations));
  }
  for (const auto& [v, ns] : sum) {
    state.counters[v + "_ns"] = ns / static_cast<double>(runs);
    if (v != "plain") state.counters[v + "_x"] = ns / sum["plain"];
  }
  state.counters["events_ns"] = events / static_cast<double>(runs);
  state.counters["exact"] = exact(threads, kIterations / 10) ? 1 : 0;
}

BENCHMARK(BM_TightDecisionLoop)
    ->Arg(1)
    ->Arg(8)
    ->Iterations(3)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
