#include "qelmq/ArrayLockFreeQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

namespace {

using Ring51 = ArrayLockFreeQueue<uint64_t, 51>;

TEST(RingQueue, NewQueueIsEmptyAndPopLeavesOutputAlone) {
  Ring51 q;
  uint64_t out = 42;
  EXPECT_FALSE(q.pop(out));
  EXPECT_EQ(out, 42u);
  EXPECT_EQ(q.size(), 0u);
}

TEST(RingQueue, HoldsNMinusOneAndFreesOneSlotPerPop) {
  Ring51 q;
  for (uint64_t i = 0; i < 50; ++i) ASSERT_TRUE(q.push(i)) << i;
  EXPECT_EQ(q.size(), 50u);
  EXPECT_FALSE(q.push(99)) << "the 51st push must fail";
  uint64_t out = 0;
  ASSERT_TRUE(q.pop(out));
  EXPECT_EQ(out, 0u);
  EXPECT_TRUE(q.push(50));
  EXPECT_FALSE(q.push(51));
  for (uint64_t i = 1; i <= 50; ++i) {
    ASSERT_TRUE(q.pop(out));
    EXPECT_EQ(out, i);
  }
  EXPECT_FALSE(q.pop(out));
}

TEST(RingQueue, InterleavedPushPopAcrossSlotWrapKeepsOrder) {
  ArrayLockFreeQueue<uint64_t, 7> q;
  uint64_t next_in = 0, next_out = 0, out = 0;
  for (int round = 0; round < 100; ++round) {
    for (int i = 0; i < 4; ++i) ASSERT_TRUE(q.push(next_in++));
    for (int i = 0; i < 3; ++i) {
      ASSERT_TRUE(q.pop(out));
      ASSERT_EQ(out, next_out++);
    }
    while (q.pop(out)) ASSERT_EQ(out, next_out++);
  }
  EXPECT_EQ(next_in, next_out);
}

// The counters wrap at a multiple of N below 2^32, so the slot sequence stays
// continuous and empty/full keep their meaning past the wrap.
TEST(RingQueue, CounterWrapKeepsEmptyFullAndOrder) {
  using Q = ArrayLockFreeQueue<uint64_t, 7>;
  static_assert(Q::kWrap % 7 == 0, "wrap must be a multiple of N");
  static_assert(ArrayLockFreeQueue<uint64_t, 1024>::kWrap == 0xFFFFFC00u,
                "a power-of-two N wraps below 2^32, not at zero");
  Q q(Q::kWrap - 3);
  uint64_t out = 0;
  EXPECT_FALSE(q.pop(out));
  for (uint64_t i = 0; i < 6; ++i) ASSERT_TRUE(q.push(i));
  EXPECT_FALSE(q.push(6)) << "full across the wrap";
  EXPECT_EQ(q.size(), 6u);
  for (uint64_t i = 0; i < 6; ++i) {
    ASSERT_TRUE(q.pop(out));
    EXPECT_EQ(out, i);
  }
  EXPECT_FALSE(q.pop(out)) << "empty across the wrap";
  EXPECT_EQ(q.size(), 0u);
  for (uint64_t i = 0; i < 1000; ++i) {
    ASSERT_TRUE(q.push(i));
    ASSERT_TRUE(q.pop(out));
    ASSERT_EQ(out, i);
  }
}

TEST(RingQueue, TextSlotsCopyInAndOutAndKeepTextAfterPop) {
  ArrayLockFreeQueue<std::string, 5> q;
  std::string big(5000, 'x');
  ASSERT_TRUE(q.push("alpha"));
  ASSERT_TRUE(q.push(""));
  ASSERT_TRUE(q.push(big));
  std::string out;
  ASSERT_TRUE(q.pop(out));
  EXPECT_EQ(out, "alpha");
  ASSERT_TRUE(q.pop(out));
  EXPECT_EQ(out, "");
  ASSERT_TRUE(q.pop(out));
  EXPECT_EQ(out, big);
  for (int i = 0; i < 20; ++i) {  // reuse slots with shorter and longer texts
    std::string s(static_cast<size_t>(i * 37 % 101), static_cast<char>('a' + i % 26));
    ASSERT_TRUE(q.push(s));
    ASSERT_TRUE(q.pop(out));
    ASSERT_EQ(out, s);
  }
}

TEST(RingQueue, PopRunClaimsPublishedRunAtOnce) {
  ArrayLockFreeQueue<uint64_t, 11> q;
  uint64_t buf[16];
  EXPECT_EQ(q.pop_run(buf, 16), 0u);
  for (uint64_t i = 1; i <= 8; ++i) ASSERT_TRUE(q.push(i));
  ASSERT_EQ(q.pop_run(buf, 5), 5u);
  for (uint64_t i = 0; i < 5; ++i) EXPECT_EQ(buf[i], i + 1);
  for (uint64_t i = 9; i <= 14; ++i) ASSERT_TRUE(q.push(i));  // crosses slot wrap
  ASSERT_EQ(q.pop_run(buf, 16), 9u);
  for (uint64_t i = 0; i < 9; ++i) EXPECT_EQ(buf[i], i + 6);
}

// Every element arrives exactly once, and each producer's elements arrive in
// the order it pushed them (its reservation order).
void stress(bool batch_consumer, int consumers) {
  constexpr int kProducers = 4;
  constexpr uint64_t kPerProducer = 20000;
  ArrayLockFreeQueue<uint64_t, 1024> q;
  std::atomic<bool> done{false};
  std::vector<std::vector<uint64_t>> seen(static_cast<size_t>(consumers));
  std::vector<std::thread> threads;
  for (int p = 0; p < kProducers; ++p) {
    threads.emplace_back([&q, p] {
      for (uint64_t i = 0; i < kPerProducer; ++i) {
        uint64_t v = (static_cast<uint64_t>(p) << 32) | i;
        while (!q.push(v)) std::this_thread::yield();
      }
    });
  }
  std::vector<std::thread> cons;
  for (int c = 0; c < consumers; ++c) {
    cons.emplace_back([&, c] {
      uint64_t buf[64];
      auto& mine = seen[static_cast<size_t>(c)];
      for (;;) {
        bool finished = done.load(std::memory_order_acquire);
        if (batch_consumer) {
          uint32_t n = q.pop_run(buf, 64);
          mine.insert(mine.end(), buf, buf + n);
          if (n == 0) {
            if (finished && q.size() == 0) break;
            std::this_thread::yield();  // let a preempted producer publish
          }
        } else {
          uint64_t v;
          if (q.pop(v))
            mine.push_back(v);
          else if (finished && q.size() == 0)
            break;
          else
            std::this_thread::yield();
        }
      }
    });
  }
  for (auto& t : threads) t.join();
  done.store(true, std::memory_order_release);
  for (auto& t : cons) t.join();

  std::vector<uint64_t> next(kProducers, 0);
  std::vector<uint64_t> count(kProducers, 0);
  for (auto& mine : seen) {
    std::vector<int64_t> last(kProducers, -1);
    for (uint64_t v : mine) {
      int p = static_cast<int>(v >> 32);
      int64_t i = static_cast<int64_t>(v & 0xFFFFFFFFu);
      ASSERT_LT(p, kProducers);
      ASSERT_GT(i, last[static_cast<size_t>(p)]) << "producer order broken";
      last[static_cast<size_t>(p)] = i;
      ++count[static_cast<size_t>(p)];
    }
  }
  for (int p = 0; p < kProducers; ++p) EXPECT_EQ(count[static_cast<size_t>(p)], kPerProducer);
}

TEST(RingQueueStress, ManyProducersOneConsumer) { stress(false, 1); }
TEST(RingQueueStress, ManyProducersTwoConsumers) { stress(false, 2); }
TEST(RingQueueStress, ManyProducersBatchConsumer) { stress(true, 1); }

TEST(RingQueueStress, TextQueueOneConsumer) {
  ArrayLockFreeQueue<std::string, 257> q;
  constexpr int kPerProducer = 20000;
  std::vector<std::thread> producers;
  for (int p = 0; p < 3; ++p)
    producers.emplace_back([&q, p] {
      for (int i = 0; i < kPerProducer; ++i) {
        std::string s = std::to_string(p) + ":" + std::to_string(i);
        while (!q.push(s)) std::this_thread::yield();
      }
    });
  std::vector<int> next(3, 0);
  int received = 0;
  std::string s;
  while (received < 3 * kPerProducer) {
    if (!q.pop(s)) {
      std::this_thread::yield();
      continue;
    }
    int p = s[0] - '0';
    ASSERT_EQ(std::stoi(s.substr(2)), next[static_cast<size_t>(p)]++);
    ++received;
  }
  for (auto& t : producers) t.join();
}

}  // namespace
