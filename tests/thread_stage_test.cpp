// Per-thread staging of coverage records: runs into the shared queue, exact
// counts and each thread's order under many threads, and the three flushes
// (thread exit, the insert thread's pass, the shutdown).
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "insert_thread.h"
#include "qelmq/ArrayLockFreeQueue.h"
#include "qelmq/QelSendDD.h"
#include "qelmq/QelSendLast.h"
#include "qelmq/protocol/messages.h"
#include "qelmq/thread_exit.h"
#include "record_map.h"
#include "sync.h"
#include "test_collector.h"
#include "thread_stage.h"

namespace {

using qel_test::Bytes;

TEST(QueueRuns, TakeWhatFitsKeepOrderAndCrossTheCounterWrap) {
  using Q = ArrayLockFreeQueue<uint64_t, 7>;
  Q q(Q::kWrap - 2);
  const uint64_t in[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  EXPECT_EQ(q.push_run(in, 4), 4u);
  EXPECT_EQ(q.push_run(in + 4, 4), 2u) << "a run takes only the room left";
  EXPECT_EQ(q.push_run(in + 6, 2), 0u) << "full";
  EXPECT_FALSE(q.push(9));
  uint64_t out[8] = {};
  ASSERT_EQ(q.pop_run(out, 8), 6u);
  for (int i = 0; i < 6; ++i) EXPECT_EQ(out[i], in[i]);
  EXPECT_EQ(q.push_run(in, 0), 0u);
  EXPECT_TRUE(q.empty());
}

TEST(QueueRuns, ConcurrentRunsStayContiguousAndComplete) {
  using Q = ArrayLockFreeQueue<uint64_t, 1031>;
  Q q;
  constexpr int kThreads = 4, kRuns = 2000, kRun = 7;
  std::atomic<int> done{0};
  std::vector<std::thread> ts;
  for (int t = 0; t < kThreads; ++t)
    ts.emplace_back([&, t] {
      for (int r = 0; r < kRuns; ++r) {
        uint64_t run[kRun];
        for (int i = 0; i < kRun; ++i) run[i] = (uint64_t(t + 1) << 32) | uint64_t(r * kRun + i);
        uint32_t at = 0;
        while (at < kRun) at += q.push_run(run + at, kRun - at);
      }
      done.fetch_add(1);
    });
  std::map<uint64_t, uint64_t> next;  // thread -> next expected value
  uint64_t total = 0, buf[256];
  while (done.load() < kThreads || !q.empty()) {
    uint32_t n = q.pop_run(buf, 256);
    for (uint32_t i = 0; i < n; ++i) {
      uint64_t t = buf[i] >> 32, v = buf[i] & 0xFFFFFFFFu;
      ASSERT_EQ(v, next[t]) << "thread " << t << " out of order";
      next[t] = v + 1;
    }
    total += n;
  }
  for (auto& t : ts) t.join();
  EXPECT_EQ(total, uint64_t(kThreads) * kRuns * kRun);
}

// Every record of `threads` threads, taken from the node queue while the
// insert thread is kept out of it: exact, and each thread's in its order.
void expect_all_in_order(QelSendDD* dd, int threads, uint64_t per_thread) {
  std::vector<uint64_t> next(threads + 1, 0);
  uint64_t total = 0, buf[4096];
  while (uint32_t n = dd->queue->pop_run(buf, 4096)) {
    for (uint32_t i = 0; i < n; ++i) {
      uint64_t t = buf[i] >> 40, v = buf[i] & 0xFFFFFFFFu;
      ASSERT_GE(t, 1u);
      ASSERT_LE(t, uint64_t(threads));
      ASSERT_EQ(v, next[t]) << "thread " << t << " out of order";
      next[t] = v + 1;
    }
    total += n;
  }
  EXPECT_EQ(total, threads * per_thread);
  for (int t = 1; t <= threads; ++t) EXPECT_EQ(next[t], per_thread) << "thread " << t;
}

// Distinct records (bit 0x80 of the first byte set, as every probe record
// has, here in bits 32..39): thread in bits 40.., sequence number in the
// low 32 bits.
uint64_t record(int thread, uint64_t seq) {
  return (uint64_t(thread) << 40) | (uint64_t{0x80} << 32) | seq;
}

TEST(ThreadStage, EightThreadsExactCountsOrderKeptFlushedAtThreadExit) {
  thread_exit* inst = thread_exit::getInst();
  ASSERT_NE(inst, nullptr);
  ASSERT_NE(inst->sendDD, nullptr);
  // Not a multiple of the lane size: every thread ends with records staged,
  // which only its exit moves on while the insert thread is kept out.
  constexpr int kThreads = 8;
  constexpr uint64_t kPer = 20 * qel_stage::kLaneSlots + 77;
  qel_sync::MutexGuard keep_out(inst->sendDD->mutex);
  std::vector<std::thread> ts;
  for (int t = 1; t <= kThreads; ++t)
    ts.emplace_back([t] {
      for (uint64_t i = 0; i < kPer; ++i)
        ASSERT_TRUE(qel_stage::put(qel_stage::kNode, record(t, i)));
    });
  for (auto& t : ts) t.join();
  expect_all_in_order(inst->sendDD, kThreads, kPer);
}

TEST(ThreadStage, FlushAllMovesALiveThreadsRecordsInOrder) {
  thread_exit* inst = thread_exit::getInst();
  ASSERT_NE(inst, nullptr);
  std::mutex m;
  std::condition_variable cv;
  bool staged = false, release = false;
  qel_sync::MutexGuard keep_out(inst->sendDD->mutex);
  std::thread worker([&] {
    for (uint64_t i = 0; i < 100; ++i) qel_stage::put(qel_stage::kNode, record(1, i));
    std::unique_lock<std::mutex> lock(m);
    staged = true;
    cv.notify_all();
    cv.wait(lock, [&] { return release; });
  });
  {
    std::unique_lock<std::mutex> lock(m);
    cv.wait(lock, [&] { return staged; });
  }
  qel_stage::flush_all(qel_stage::Flush::kWait);
  expect_all_in_order(inst->sendDD, 1, 100);
  {
    std::lock_guard<std::mutex> lock(m);
    release = true;
  }
  cv.notify_all();
  worker.join();
  EXPECT_EQ(qel_stage::staged_here(), 0u);
}

// What a leave operation relies on: after drain_queued, every record
// recorded so far is in the insert maps and the latest in the crash ring,
// whether it was staged, queued, or already moved.
TEST(ThreadStage, DrainQueuedMovesStagedAndQueuedRecordsIntoTheMaps) {
  thread_exit* inst = thread_exit::getInst();
  ASSERT_NE(inst, nullptr);
  QelSendDD* dd = inst->sendDD;
  // The sender thread neither swaps nor sends the maps meanwhile.
  qel_sync::MutexGuard no_send(dd->sendLock);
  std::size_t keys_before;
  {
    qel_sync::MutexGuard keep_out(dd->mutex);
    keys_before = dd->insertMap->size() + dd->sendMap->size();
    for (uint64_t i = 0; i < 3 * qel_stage::kLaneSlots + 5; ++i)
      qel_stage::put(qel_stage::kNode, record(9, i));
    ASSERT_GT(dd->queue->size(), 0u) << "full runs were queued";
    ASSERT_GT(qel_stage::staged_here(), 0u) << "the rest is staged";
  }
  qel_insert::drain_queued(inst, qel_stage::Flush::kWait);
  EXPECT_EQ(qel_stage::staged_here(), 0u);
  qel_sync::MutexGuard maps(dd->mutex);
  EXPECT_EQ(dd->queue->size(), 0u);
  EXPECT_EQ(dd->insertMap->size() + dd->sendMap->size() - keys_before,
            3 * qel_stage::kLaneSlots + 5)
      << "every distinct record reached a map";
}

TEST(ThreadStage, DrainQueuedTryNeverBlocksOnAHeldQueueLock) {
  thread_exit* inst = thread_exit::getInst();
  ASSERT_NE(inst, nullptr);
  qel_stage::put(qel_stage::kNode, record(10, 0));
  qel_sync::MutexGuard held(inst->sendDD->mutex);
  // Returns although the node queue's lock is held (by this very thread, as
  // in a signal handler that interrupted the runtime).
  qel_insert::drain_queued(inst, qel_stage::Flush::kTry);
  // (The insert thread's pass may be moving it at the same moment.)
  for (int i = 0; i < 1000 && qel_stage::staged_here() != 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_EQ(qel_stage::staged_here(), 0u) << "the staged record still reached the queue";
  uint64_t out = 0;
  ASSERT_TRUE(inst->sendDD->queue->pop(out));
  EXPECT_EQ(out, record(10, 0));
  EXPECT_FALSE(inst->sendDD->queue->pop(out));
}

// The parent sends its own staged records; a fork child that sent its copy
// as well would count them twice.
TEST(ThreadStage, ForkChildStartsWithNothingStaged) {
  ASSERT_NE(thread_exit::getInst(), nullptr);
  for (int i = 0; i < 10; ++i) qel_stage::put(qel_stage::kCond, record(11, i));
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) _exit(qel_stage::staged_here() == 0 ? 0 : 1);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "the child still held the parent's records";
  qel_stage::flush_all(qel_stage::Flush::kWait);
}

class StagedEndToEnd : public testing::Test {
 protected:
  qel_test::TestCollector collector{{15555}};
};

// Counts of node records of `unit` received on the node port.
std::map<int, uint32_t> node_counts(const std::vector<Bytes>& msgs, int unit) {
  std::map<int, uint32_t> counts;
  for (const Bytes& m : msgs)
    if (m.size() == 18 && m[1] == unit) counts[(m[2] << 8) | m[3]] += qel_test::be32(m, 9);
  return counts;
}

TEST_F(StagedEndToEnd, InsertThreadsPassDeliversAnIdleThreadsRecords) {
  ASSERT_NE(thread_exit::getInst(), nullptr);
  std::atomic<bool> stop{false};
  // Fewer records than a lane holds: nothing but the periodic pass moves
  // them while the thread waits.
  std::thread idle([&] {
    for (int i = 0; i < 30; ++i) QelNode(42, i % 3, 0);
    while (!stop.load()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  });
  std::map<int, uint32_t> counts = node_counts(collector.drain(15555, 500, 5000), 42);
  stop = true;
  idle.join();
  ASSERT_EQ(counts.size(), 3u);
  for (auto& kv : counts) EXPECT_EQ(kv.second, 10u) << "node " << kv.first;
}

TEST_F(StagedEndToEnd, ShutdownDeliversWhatThreadsStillHoldStaged) {
  ASSERT_NE(thread_exit::getInst(), nullptr);
  // The shutdown gives up at once on an absent collector: on a loaded
  // machine the connection may still be coming up, so see one record
  // (another unit's) through first.
  QelNode(44, 1, 0);
  Bytes warm;
  ASSERT_TRUE(collector.recv(15555, warm, 10000));
  std::atomic<bool> stop{false};
  std::atomic<bool> staged{false};
  std::thread live([&] {
    for (int i = 0; i < 100; ++i) QelNode(43, 1, 0);
    staged = true;
    while (!stop.load()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  });
  while (!staged.load()) std::this_thread::yield();
  for (int i = 0; i < 50; ++i) QelNode(43, 2, 0);  // staged on this thread, never full
  QelExit();
  std::map<int, uint32_t> counts = node_counts(collector.drain(15555), 43);
  stop = true;
  live.join();
  EXPECT_EQ(counts[1], 100u);
  EXPECT_EQ(counts[2], 50u);
}

}  // namespace
