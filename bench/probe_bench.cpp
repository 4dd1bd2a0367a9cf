// Probe cost, insert-thread throughput, aggregation maps, end-to-end rate and
// the cost of loading the runtime.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zmq.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <unordered_map>

#include "qelmq/QelSendCond.h"
#include "qelmq/QelSendDD.h"
#include "qelmq/QelSendMCDC.h"
#include "qelmq/protocol/messages.h"
#include "qelmq/thread_exit.h"
#include "record_map.h"

extern "C" int gcov_loop_body(int i);

namespace {

// Load-to-exit time and peak resident memory of a program, with and without
// the runtime.
//
// Registered first, while this process is still small (a forked child's
// peak resident size starts from its parent's).
void run_program(benchmark::State& state, const char* path) {
  long max_rss_kb = 0;
  for (auto _ : state) {
    pid_t child = fork();
    if (child == 0) {
      int devnull = open("/dev/null", O_WRONLY);
      dup2(devnull, 1);
      execl(path, path, static_cast<char*>(nullptr));
      _exit(127);
    }
    int status = 0;
    struct rusage ru;
    wait4(child, &status, 0, &ru);
    if (ru.ru_maxrss > max_rss_kb) max_rss_kb = ru.ru_maxrss;
  }
  state.counters["maxRSS_MB"] = static_cast<double>(max_rss_kb) / 1024.0;
}
void BM_ProgramWithRuntime(benchmark::State& state) { run_program(state, QEL_HELLO); }
void BM_ProgramWithoutRuntime(benchmark::State& state) { run_program(state, QEL_PLAIN); }
BENCHMARK(BM_ProgramWithRuntime)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);
BENCHMARK(BM_ProgramWithoutRuntime)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

// Probe calls per second that reach a collector with exact counts: one
// producer, hot loop over 1,000 nodes, until the collector has every count.
//
// Runs before the probe benchmarks, whose records would queue up ahead of
// its own while no collector listens.
void BM_EndToEndNodeCalls(benchmark::State& state) {
  const int64_t calls = 5000000;
  thread_exit::getInst();
  void* ctx = zmq_ctx_new();
  void* pull = zmq_socket(ctx, ZMQ_PULL);
  zmq_connect(pull, "tcp://127.0.0.1:15555");
  int timeout = 10000;
  zmq_setsockopt(pull, ZMQ_RCVTIMEO, &timeout, sizeof(timeout));
  int64_t total_calls = 0;
  for (auto _ : state) {
    for (int64_t i = 0; i < calls; ++i) QelNode(7, static_cast<int>(i % 1000), 0);
    int64_t received = 0;
    uint8_t buf[32];
    while (received < calls) {
      int n = zmq_recv(pull, buf, sizeof(buf), 0);
      if (n < 0) break;
      if (n != 18 || buf[0] != 0x80 || buf[1] != 7) continue;  // other benchmarks' records
      received +=
          (int64_t{buf[9]} << 24) | (int64_t{buf[10]} << 16) | (int64_t{buf[11]} << 8) | buf[12];
    }
    if (received != calls) state.SkipWithError("counts lost");
    total_calls += calls;
  }
  state.counters["calls/s"] =
      benchmark::Counter(static_cast<double>(total_calls), benchmark::Counter::kIsRate);
  zmq_close(pull);
  zmq_ctx_term(ctx);
}
BENCHMARK(BM_EndToEndNodeCalls)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

__attribute__((noinline)) int empty_call(int a, int b, int c) {
  benchmark::DoNotOptimize(a + b + c);
  return 1;
}

void BM_EmptyCall(benchmark::State& state) {
  int i = 0;
  for (auto _ : state) benchmark::DoNotOptimize(empty_call(1, i++ & 1023, 0));
}
BENCHMARK(BM_EmptyCall)->Threads(1)->Threads(2);

void BM_GcovAtomicCounter(benchmark::State& state) {
  int i = 0;
  for (auto _ : state) benchmark::DoNotOptimize(gcov_loop_body(i++));
}
BENCHMARK(BM_GcovAtomicCounter)->Threads(1)->Threads(2);

// With the insert thread running, as in a program under test. No collector:
// the sender threads hold their windows, the probes do not care.
void BM_QelNode(benchmark::State& state) {
  thread_exit* inst = thread_exit::getInst();
  int i = 0;
  uint32_t peak = 0;
  for (auto _ : state) {
    QelNode(1 + state.thread_index(), i & 1023, 0);
    // Sampled now and then: the insert thread keeps up when the queue
    // stays far below its 5,999,999 records.
    if ((++i & 0xFFFF) == 0) peak = std::max(peak, inst->sendDD->queue->size());
  }
  state.counters["queue_peak"] = benchmark::Counter(peak, benchmark::Counter::kAvgThreads);
}
BENCHMARK(BM_QelNode)->Threads(1)->Threads(2);

void BM_QelExp(benchmark::State& state) {
  thread_exit::getInst();
  int cs[2];
  int i = 0;
  for (auto _ : state) {
    QelStringInit(cs);
    QelStringAddCond(cs, 0, i & 1);
    benchmark::DoNotOptimize(QelExp(1 + state.thread_index(), i & 63, 1, cs, 1, i & 1));
    ++i;
  }
}
BENCHMARK(BM_QelExp)->Threads(1)->Threads(2);

// Records per second the insert thread moves from a queue into a map.
void BM_InsertThroughput(benchmark::State& state) {
  thread_exit* inst = thread_exit::getInst();
  const uint32_t distinct = static_cast<uint32_t>(state.range(0));
  const uint32_t batch = 2000000;
  uint64_t moved = 0;
  for (auto _ : state) {
    state.PauseTiming();
    // Fill the queue while the insert thread is kept out of it.
    pthread_mutex_lock(&inst->sendDD->mutex);
    for (uint32_t i = 0; i < batch; ++i) {
      uint16_t f[3] = {static_cast<uint16_t>(i % distinct >> 16),
                       static_cast<uint16_t>(i % distinct), 0};
      inst->sendDD->queue->push(qel_wire::pack(f, 3, true));
    }
    state.ResumeTiming();
    pthread_mutex_unlock(&inst->sendDD->mutex);
    while (inst->sendDD->queue->size() != 0) std::this_thread::yield();
    moved += batch;
  }
  state.counters["records/s"] =
      benchmark::Counter(static_cast<double>(moved), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_InsertThroughput)
    ->Arg(1000)
    ->Arg(1000000)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

template <typename Map>
void count_keys(Map& m, uint32_t distinct, uint32_t total);

template <>
void count_keys(RecordCountMap& m, uint32_t distinct, uint32_t total) {
  for (uint32_t i = 0; i < total; ++i) m.add(0x80u | (uint64_t{i % distinct} << 8));
}
template <>
void count_keys(std::unordered_map<uint64_t, int32_t>& m, uint32_t distinct, uint32_t total) {
  for (uint32_t i = 0; i < total; ++i) ++m[0x80u | (uint64_t{i % distinct} << 8)];
}

void BM_MapRecordCountMap(benchmark::State& state) {
  const uint32_t distinct = static_cast<uint32_t>(state.range(0));
  for (auto _ : state) {
    RecordCountMap m;
    count_keys(m, distinct, 1000000);
    benchmark::DoNotOptimize(m.size());
  }
  state.SetItemsProcessed(state.iterations() * 1000000);
}
BENCHMARK(BM_MapRecordCountMap)->Arg(1000)->Arg(1000000)->Unit(benchmark::kMillisecond);

void BM_MapStdUnordered(benchmark::State& state) {
  const uint32_t distinct = static_cast<uint32_t>(state.range(0));
  for (auto _ : state) {
    std::unordered_map<uint64_t, int32_t> m;
    count_keys(m, distinct, 1000000);
    benchmark::DoNotOptimize(m.size());
  }
  state.SetItemsProcessed(state.iterations() * 1000000);
}
BENCHMARK(BM_MapStdUnordered)->Arg(1000)->Arg(1000000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
