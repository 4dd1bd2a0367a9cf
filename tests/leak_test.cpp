// Memory tracking and the leak report: the lines themselves, their order,
// concurrent use, and the report as the collector receives it.
#include <gtest/gtest.h>
#include <zmq.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "net.h"
#include "port.h"
#include "qelmq/QelSendProperty.h"
#include "qelmq/leak.h"
#include "test_collector.h"

namespace {

std::vector<std::string> lines_with(const qel_leak::Report& r, const std::string& needle) {
  std::vector<std::string> out;
  for (const std::string& l : r.lines)
    if (l.find(needle) != std::string::npos) out.push_back(l);
  return out;
}

std::string leak_line(unsigned size, const std::string& file, const std::string& fn, int line) {
  return std::to_string(size) + " " + file + " " + fn + " " + std::to_string(line) + " " +
         std::to_string(qel_port::current_pid());
}

// "YYYY-MM-DD hh:mm:ss  size file function line pid"
bool is_header(const std::string& line) {
  const std::string shape = "####-##-## ##:##:##  size file function line pid";
  if (line.size() != shape.size()) return false;
  for (std::size_t i = 0; i < shape.size(); ++i) {
    bool ok = shape[i] == '#' ? (line[i] >= '0' && line[i] <= '9') : line[i] == shape[i];
    if (!ok) return false;
  }
  return true;
}

// --- Recording and the report lines -----------------------------------------

TEST(LeakReport, UnfreedBlockIsListedUntilFreed) {
  void* p = QelNew(16, "a.c", "f", 12);
  ASSERT_NE(p, nullptr);
  std::memset(p, 0xAB, 16);  // the whole block is the caller's

  qel_leak::Report first = qel_leak::make_report();
  ASSERT_GE(first.lines.size(), 2u);
  EXPECT_TRUE(is_header(first.lines[0])) << first.lines[0];
  EXPECT_EQ(first.blocks, 1u);
  ASSERT_EQ(first.lines.size(), 2u);
  EXPECT_EQ(first.lines[1], leak_line(16, "a.c", "f", 12));

  // A report is a snapshot: the block is listed again until it is freed.
  EXPECT_EQ(lines_with(qel_leak::make_report(), " a.c f 12 ").size(), 1u);
  QelDelete(p);
  qel_leak::Report second = qel_leak::make_report();
  EXPECT_EQ(second.blocks, 0u);
  EXPECT_TRUE(lines_with(second, " a.c f 12 ").empty());
}

TEST(LeakReport, EmptyTableGivesHeaderAndZeroLine) {
  qel_leak::Report r = qel_leak::make_report();
  ASSERT_EQ(r.lines.size(), 2u);
  EXPECT_TRUE(is_header(r.lines[0])) << r.lines[0];
  EXPECT_EQ(r.lines[1], "0 zero zero 0 0");
  EXPECT_EQ(r.blocks, 0u);
  // No property socket in this process: the messages are dropped, the result
  // still says whether anything was recorded.
  EXPECT_EQ(check_leaks(), 0);
  EXPECT_EQ(check_leak(), 0);

  void* p = QelNew(1, "one.c", "g", 3);
  EXPECT_EQ(check_leaks(), 1);
  QelDelete(p);
  EXPECT_EQ(check_leaks(), 0);
}

TEST(LeakReport, LineZeroBlocksAreNeverRecorded) {
  void* p = QelNew(16, "a.c", "f", 0);
  ASSERT_NE(p, nullptr);
  std::memset(p, 0x5A, 16);
  qel_leak::Report r = qel_leak::make_report();
  EXPECT_EQ(r.blocks, 0u);
  EXPECT_EQ(r.lines.back(), "0 zero zero 0 0");
  QelDelete(p);  // passed to free() as it is; ASan checks that it was a malloc block

  void* zero = QelNew(0, "a.c", "f", 0);
  QelDelete(zero);
  QelDelete(nullptr);  // nothing to do
  EXPECT_EQ(qel_leak::make_report().blocks, 0u);
}

TEST(LeakReport, LongNamesAreCutTo99Characters) {
  std::string file(150, 'x');
  std::string fn(120, 'y');
  file[98] = 'E';  // last character kept
  void* p = QelNew(8, file.c_str(), fn.c_str(), 7);
  ASSERT_NE(p, nullptr);
  qel_leak::Report r = qel_leak::make_report();
  ASSERT_EQ(r.blocks, 1u);
  EXPECT_EQ(r.lines[1], leak_line(8, file.substr(0, 99), fn.substr(0, 99), 7));
  QelDelete(p);

  // Exactly 99 characters fit unchanged; null names read as empty.
  std::string exact(99, 'z');
  void* q = QelNew(2, exact.c_str(), nullptr, -4);
  void* n = QelNew(3, nullptr, "h", 9);
  r = qel_leak::make_report();
  EXPECT_EQ(lines_with(r, exact).size(), 1u);
  EXPECT_EQ(lines_with(r, exact)[0], leak_line(2, exact, "", -4));
  EXPECT_EQ(lines_with(r, " h 9 ").size(), 1u);
  EXPECT_EQ(lines_with(r, " h 9 ")[0], leak_line(3, "", "h", 9));
  QelDelete(q);
  QelDelete(n);
  EXPECT_EQ(qel_leak::make_report().blocks, 0u);
}

TEST(LeakReport, SizesThatCannotCarryAHeaderAreRefused) {
  EXPECT_EQ(QelNew(UINT_MAX, "big.c", "f", 1), nullptr);
  EXPECT_EQ(QelNew(UINT_MAX - 100, "big.c", "f", 2), nullptr);
  EXPECT_EQ(QelNew(UINT_MAX - static_cast<unsigned>(sizeof(AllocHeader)), "big.c", "f", 3),
            nullptr);
  EXPECT_EQ(qel_leak::make_report().blocks, 0u);
}

TEST(LeakReport, BlocksAreAlignedAndHoldTheirBytes) {
  std::vector<void*> blocks;
  for (unsigned i = 1; i <= 64; ++i) {
    void* p = QelNew(i * 3, "align.c", "f", static_cast<int>(i));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(p) % alignof(std::max_align_t), 0u);
    std::memset(p, static_cast<int>(i), i * 3);
    blocks.push_back(p);
  }
  for (unsigned i = 1; i <= 64; ++i) {
    const unsigned char* b = static_cast<const unsigned char*>(blocks[i - 1]);
    for (unsigned k = 0; k < i * 3; ++k) ASSERT_EQ(b[k], i) << "block " << i << " byte " << k;
  }
  // Free in a scrambled order: unlinking from the middle of a bucket list.
  for (std::size_t i = 0; i < blocks.size(); i += 2) QelDelete(blocks[i]);
  EXPECT_EQ(qel_leak::make_report().blocks, 32u);
  for (std::size_t i = 1; i < blocks.size(); i += 2) QelDelete(blocks[i]);
  EXPECT_EQ(qel_leak::make_report().blocks, 0u);
}

TEST(LeakReport, BucketOrderThenNewestFirst) {
  // Consecutive blocks lie at least 256 bytes apart, so a bucket is shared
  // only once the addresses wrap around the 16384 buckets: allocate until
  // one is, and a few more.
  std::vector<void*> blocks;
  std::vector<int> owner(kLeakBuckets, -1);
  int shared_at = -1;
  for (int i = 0; i < 40000 && (shared_at < 0 || i < shared_at + 50); ++i) {
    void* p = QelNew(24, "order.c", "f", i + 1);
    ASSERT_NE(p, nullptr);
    blocks.push_back(p);
    int& o = owner[qel_leak::bucket_of(p)];
    if (o >= 0 && shared_at < 0) shared_at = i;
    o = i;
  }
  ASSERT_GE(shared_at, 0) << "no two blocks share a bucket";
  const int kBlocks = static_cast<int>(blocks.size());

  // Expected: buckets ascending; inside a bucket the later allocation first.
  std::vector<int> expected(kBlocks);
  for (int i = 0; i < kBlocks; ++i) expected[i] = i;
  std::stable_sort(expected.begin(), expected.end(), [&](int a, int b) {
    std::size_t ba = qel_leak::bucket_of(blocks[a]), bb = qel_leak::bucket_of(blocks[b]);
    return ba != bb ? ba < bb : a > b;
  });
  std::vector<std::string> want;
  for (int i : expected) want.push_back(leak_line(24, "order.c", "f", i + 1));

  std::vector<std::string> got = lines_with(qel_leak::make_report(), " order.c f ");
  EXPECT_EQ(got, want);

  for (void* p : blocks) QelDelete(p);
  EXPECT_EQ(qel_leak::make_report().blocks, 0u);
}

// --- Concurrency -------------------------------------------------------------

TEST(LeakConcurrency, ThreadsAllocateAndFreeWhileReportsRun) {
  constexpr int kThreads = 4;
  constexpr int kRounds = 3000;
  constexpr int kWindow = 16;
  constexpr int kKeep = 10;
  std::atomic<bool> done{false};
  std::atomic<int> reports{0};
  std::atomic<bool> bad_line{false};
  std::vector<std::vector<void*>> kept(kThreads);
  std::vector<std::vector<int>> kept_lines(kThreads);

  std::thread reporter([&] {
    while (!done.load(std::memory_order_acquire)) {
      qel_leak::Report r = qel_leak::make_report();
      for (const std::string& l : lines_with(r, " conc.c w ")) {
        unsigned size = 0;
        if (std::sscanf(l.c_str(), "%u", &size) != 1 || size == 0 || size > 64)
          bad_line.store(true);
      }
      reports.fetch_add(1, std::memory_order_relaxed);
    }
  });

  std::vector<std::thread> workers;
  for (int t = 0; t < kThreads; ++t) {
    workers.emplace_back([&, t] {
      struct Live {
        unsigned char* p;
        unsigned size;
        unsigned char fill;
      };
      std::vector<Live> live;
      uint32_t seed = 0x9E3779B9u * static_cast<uint32_t>(t + 1);
      auto next = [&] {
        seed ^= seed << 13;
        seed ^= seed >> 17;
        seed ^= seed << 5;
        return seed;
      };
      for (int i = 0; i < kRounds; ++i) {
        unsigned size = 1 + next() % 64;
        // Every fourth block is untracked: both kinds share QelDelete.
        int line = (i % 4 == 3) ? 0 : t * 100000 + i + 1;
        auto* p = static_cast<unsigned char*>(QelNew(size, "conc.c", "w", line));
        ASSERT_NE(p, nullptr);
        unsigned char fill = static_cast<unsigned char>(next());
        std::memset(p, fill, size);
        live.push_back({p, size, fill});
        if (live.size() > static_cast<std::size_t>(kWindow)) {
          std::size_t k = next() % live.size();
          Live v = live[k];
          live.erase(live.begin() + static_cast<std::ptrdiff_t>(k));
          // Nobody else wrote into it: no block was handed out twice.
          for (unsigned b = 0; b < v.size; ++b) ASSERT_EQ(v.p[b], v.fill);
          QelDelete(v.p);
        }
      }
      // Leave kKeep tracked blocks behind for the final count.
      while (!live.empty()) {
        Live v = live.back();
        live.pop_back();
        for (unsigned b = 0; b < v.size; ++b) ASSERT_EQ(v.p[b], v.fill);
        QelDelete(v.p);
      }
      for (int k = 0; k < kKeep; ++k) {
        int line = t * 100000 + 90000 + k;
        kept[t].push_back(QelNew(8, "conc.c", "w", line));
        kept_lines[t].push_back(line);
      }
    });
  }
  for (std::thread& w : workers) w.join();
  done.store(true, std::memory_order_release);
  reporter.join();

  EXPECT_FALSE(bad_line.load());
  EXPECT_GT(reports.load(), 0);
  std::vector<std::string> got = lines_with(qel_leak::make_report(), " conc.c w ");
  std::vector<std::string> want;
  for (int t = 0; t < kThreads; ++t)
    for (int line : kept_lines[t]) want.push_back(leak_line(8, "conc.c", "w", line));
  std::sort(got.begin(), got.end());
  std::sort(want.begin(), want.end());
  EXPECT_EQ(got, want);

  for (auto& v : kept)
    for (void* p : v) QelDelete(p);
  EXPECT_EQ(qel_leak::make_report().blocks, 0u);
}

// --- The report as the collector receives it (port 15559) ---------------------

class LeakChannel : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    runtime_ctx_ = qel_net::new_messaging();
    QelSendProperty* prop = QelSendProperty::GetSendPropertyInstance();
    prop->context = runtime_ctx_;
    std::strcpy(prop->state, "0");
    prop->init_zmq();
    collector_ = new qel_test::TestCollector({15559});
  }
  static void TearDownTestSuite() {
    delete collector_;
    QelSendProperty::RelaseSendPropertyInstance();
    qel_net::end_messaging(runtime_ctx_);
  }

  // One message, or false after `timeout_ms`.
  static bool receive(std::string& out, int timeout_ms) {
    return collector_->recv_text(15559, out, timeout_ms);
  }

  static void* runtime_ctx_;
  static qel_test::TestCollector* collector_;
};
void* LeakChannel::runtime_ctx_ = nullptr;
qel_test::TestCollector* LeakChannel::collector_ = nullptr;

std::string strip_prefix(const std::string& msg) {
  const std::string prefix = "MemoryLeak:///";
  EXPECT_EQ(msg.compare(0, prefix.size(), prefix), 0) << msg;
  EXPECT_FALSE(msg.empty());
  EXPECT_EQ(msg.back(), '\0') << "each message ends in one zero byte";
  if (msg.size() < prefix.size() + 1) return std::string();
  return msg.substr(prefix.size(), msg.size() - prefix.size() - 1);
}

TEST_F(LeakChannel, ReportArrivesOneLinePerMessage) {
  void* p = QelNew(16, "a.c", "f", 12);
  // The collector may still be connecting: the send waits for it briefly,
  // and the first report is repeated until it arrives.
  std::string msg;
  bool got = false;
  for (int attempt = 0; attempt < 20 && !got; ++attempt) {
    EXPECT_EQ(check_leaks(), 1);
    got = receive(msg, 500);
  }
  ASSERT_TRUE(got);
  EXPECT_TRUE(is_header(strip_prefix(msg))) << msg;
  ASSERT_TRUE(receive(msg, 2000));
  EXPECT_EQ(strip_prefix(msg), leak_line(16, "a.c", "f", 12));
  EXPECT_EQ(msg.size(),
            std::string("MemoryLeak:///").size() + leak_line(16, "a.c", "f", 12).size() + 1);
  // Drain repeats of the warm-up.
  while (receive(msg, 200)) {
  }

  QelDelete(p);
  EXPECT_EQ(check_leaks(), 0);
  ASSERT_TRUE(receive(msg, 2000));
  EXPECT_TRUE(is_header(strip_prefix(msg))) << msg;
  ASSERT_TRUE(receive(msg, 2000));
  EXPECT_EQ(strip_prefix(msg), "0 zero zero 0 0");
  EXPECT_FALSE(receive(msg, 300)) << "exactly two messages for an empty table: " << msg;
}

}  // namespace
