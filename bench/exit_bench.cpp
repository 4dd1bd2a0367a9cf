// Load-to-exit time of a small program with the runtime loaded, beside the
// same program without it: with no collector (the exit then waits for one up
// to its bound, 500 ms from the start by default; and with the wait turned
// off, QELMQ_COLLECTOR_WAIT_MS=0) and with a collector that listens and that
// the program connects to (QELMQ_CONFIG), for a program that calls the probes
// and for one built through qelcc (counters in the program). With the
// collector, each run's node counts are checked: "exact" is the share of
// runs whose every hit arrived.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zmq.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

// Starts `program` with standard output on /dev/null and `env`; returns the
// seconds from start to exit, or -1.
double time_run(const char* program, char** env) {
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
  char* argv[] = {const_cast<char*>(program), nullptr};
  auto t0 = Clock::now();
  pid_t pid;
  int rc = posix_spawn(&pid, program, &fa, nullptr, argv, env);
  posix_spawn_file_actions_destroy(&fa);
  if (rc != 0) return -1;
  int status = 0;
  waitpid(pid, &status, 0);
  double s = std::chrono::duration<double>(Clock::now() - t0).count();
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? s : -1;
}

void report(benchmark::State& state, double plain, double runtime, long runs) {
  state.counters["plain_ms"] = plain / runs * 1e3;
  state.counters["runtime_ms"] = runtime / runs * 1e3;
  state.counters["over_ms"] = (runtime - plain) / runs * 1e3;
  state.counters["ratio"] = plain > 0 ? runtime / plain : 0;
}

// `environ` with NAME=VALUE added (an earlier value replaced).
struct EnvWith {
  std::vector<std::string> text;
  std::vector<char*> env;
  EnvWith(const std::string& name, const std::string& value) {
    for (char** e = environ; *e; ++e)
      if (std::string(*e).compare(0, name.size() + 1, name + "=") != 0) text.emplace_back(*e);
    text.push_back(name + "=" + value);
    for (std::string& s : text) env.push_back(&s[0]);
    env.push_back(nullptr);
  }
};

void exit_no_collector(benchmark::State& state, char** env) {
  double plain = 0, runtime = 0;
  long runs = 0;
  for (auto _ : state) {
    double p = time_run(QEL_PLAIN, environ);
    double r = time_run(QEL_HELLO, env);
    if (p < 0 || r < 0) {
      state.SkipWithError("a program failed");
      return;
    }
    plain += p;
    runtime += r;
    ++runs;
    state.SetIterationTime(r);
  }
  report(state, plain, runtime, runs);
}

void BM_ExitNoCollector(benchmark::State& state) { exit_no_collector(state, environ); }

void BM_ExitNoCollectorNoWait(benchmark::State& state) {
  EnvWith no_wait("QELMQ_COLLECTOR_WAIT_MS", "0");
  exit_no_collector(state, no_wait.env.data());
}

// A collector that listens on every port (counting the node channel) and a
// configuration that makes the program connect to it.
struct ListeningCollector {
  void* ctx = zmq_ctx_new();
  void* node = nullptr;
  std::vector<void*> others;  // the other channels, read and thrown away
  std::string cfg;
  std::vector<std::string> env_text;
  std::vector<char*> env;

  ListeningCollector() {
    node = zmq_socket(ctx, ZMQ_PULL);
    int linger = 0;
    zmq_setsockopt(node, ZMQ_LINGER, &linger, sizeof(linger));
    ok = zmq_bind(node, "tcp://127.0.0.1:15555") == 0;
    for (int port : {15556, 15557, 15559, 15560, 15561, 15562, 15564}) {
      void* s = zmq_socket(ctx, ZMQ_PULL);
      zmq_setsockopt(s, ZMQ_LINGER, &linger, sizeof(linger));
      ok = ok && zmq_bind(s, ("tcp://127.0.0.1:" + std::to_string(port)).c_str()) == 0;
      others.push_back(s);
    }
    char name[] = "/tmp/qel_exit_bench_XXXXXX";
    int fd = mkstemp(name);
    if (fd < 0) {
      ok = false;
      return;
    }
    cfg = name;
    const char text[] = "config_ip=127.0.0.1\nconfig_state=1\n";
    ok = ok && write(fd, text, sizeof(text) - 1) == static_cast<ssize_t>(sizeof(text) - 1);
    close(fd);
    for (char** e = environ; *e; ++e) env_text.emplace_back(*e);
    env_text.push_back("QELMQ_CONFIG=" + cfg);
    for (std::string& s : env_text) env.push_back(&s[0]);
    env.push_back(nullptr);
  }
  ~ListeningCollector() {
    zmq_close(node);
    for (void* s : others) zmq_close(s);
    zmq_ctx_term(ctx);
    if (!cfg.empty()) std::remove(cfg.c_str());
  }
  // Sum of the counts of the node messages of one run (waits up to 1 s for
  // the first, then until quiet).
  long receive_counts() {
    char scrap[4096];
    for (void* s : others)
      while (zmq_recv(s, scrap, sizeof(scrap), ZMQ_DONTWAIT) >= 0) {
      }
    long sum = 0;
    int timeout = 1000;
    for (;;) {
      zmq_pollitem_t item = {node, 0, ZMQ_POLLIN, 0};
      if (zmq_poll(&item, 1, timeout) <= 0) return sum;
      unsigned char m[64];
      int n = zmq_recv(node, m, sizeof(m), ZMQ_DONTWAIT);
      if (n == 18)
        sum += (long(m[9]) << 24) | (long(m[10]) << 16) | (long(m[11]) << 8) | long(m[12]);
      timeout = 20;
    }
  }
  bool ok = true;
};

// `program` with a collector connected, beside the plain program; every run's
// node counts must add up to `hits`.
void exit_with_collector(benchmark::State& state, const char* program, long hits) {
  ListeningCollector c;
  if (!c.ok) {
    state.SkipWithError("cannot listen on 15555 (run it in its own network namespace)");
    return;
  }
  double plain = 0, runtime = 0;
  long runs = 0, exact = 0;
  for (auto _ : state) {
    double p = time_run(QEL_PLAIN, environ);
    double r = time_run(program, c.env.data());
    if (p < 0 || r < 0) {
      state.SkipWithError("a program failed");
      return;
    }
    if (c.receive_counts() == hits) ++exact;
    plain += p;
    runtime += r;
    ++runs;
    state.SetIterationTime(r);
  }
  report(state, plain, runtime, runs);
  state.counters["exact"] = runs ? double(exact) / runs : 0;
}

// qel_hello calls the probes itself: two nodes, once each.
void BM_ExitWithCollector(benchmark::State& state) { exit_with_collector(state, QEL_HELLO, 2); }

// The plain program built through qelcc: counters in the program, whose
// unit registers at start and is read and sent at exit (one node).
void BM_ExitWithCollectorCounted(benchmark::State& state) {
  exit_with_collector(state, QEL_COUNTED_HELLO, 1);
}

BENCHMARK(BM_ExitNoCollector)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(10);
BENCHMARK(BM_ExitNoCollectorNoWait)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(30);
BENCHMARK(BM_ExitWithCollector)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(30);
BENCHMARK(BM_ExitWithCollectorCounted)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(30);

}  // namespace

BENCHMARK_MAIN();
