// Crash sender: message encoders, the ring of the latest records, the
// last-data cycle and crash reports as the collector receives them.
#include <gtest/gtest.h>
#include <pthread.h>
#include <zmq.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "net.h"
#include "port.h"
#include "qelmq/QelSendDD.h"
#include "qelmq/QelSendLast.h"
#include "qelmq/QelSendProperty.h"
#include "qelmq/protocol/messages.h"
#include "qelmq/protocol/texts.h"
#include "qelmq/thread_exit.h"
#include "test_collector.h"

// Reaches the cycle length, which only tests change.
struct QelSendLastTestPeer {
  static void set_cycle_ms(QelSendLast& s, unsigned ms) { s.cycle_ms_.store(ms); }
};

namespace {

using qel_wire::LastKind;

// A record from its wire bytes w0..w7 (byte i of the value is wire byte i
// while the byte-order flag is set).
uint64_t record(std::array<unsigned, 8> w) {
  uint64_t r = 0;
  for (int i = 0; i < 8; ++i) r |= static_cast<uint64_t>(w[i] & 0xFFu) << (8 * i);
  return r;
}

// The same wire bytes with the flag clear (w0 is then byte 7).
uint64_t record_flag_clear(std::array<unsigned, 8> w) {
  uint64_t r = 0;
  for (int i = 0; i < 8; ++i) r |= static_cast<uint64_t>(w[i] & 0xFFu) << (8 * (7 - i));
  return r;
}

uint32_t be32(const std::string& s, std::size_t at) {
  return (uint32_t(uint8_t(s[at])) << 24) | (uint32_t(uint8_t(s[at + 1])) << 16) |
         (uint32_t(uint8_t(s[at + 2])) << 8) | uint32_t(uint8_t(s[at + 3]));
}

std::string bytes(std::initializer_list<unsigned> b) {
  std::string s;
  for (unsigned v : b) s.push_back(static_cast<char>(v));
  return s;
}

// Node record number i: kind bits in w0 that the message must mask, and
// i itself in w1..w4 so every record is unique.
uint64_t node_record(uint32_t i) {
  return record({0x80u | (i % 8u) | 0x48u, (i >> 24) & 0xFF, (i >> 16) & 0xFF, (i >> 8) & 0xFF,
                 i & 0xFF, 0x5A, 0xEE, 0xEE});
}
uint32_t node_index(const std::string& msg, std::size_t entry) {
  return be32(msg, 1 + 10 * entry + 1);
}

// --- Text entries ------------------------------------------------------------

TEST(LastEncoding, NodeEntry) {
  EXPECT_EQ(qel_wire::node_entry(record({0x80, 5, 0, 7, 0, 3, 0, 0}), true), "5 7 0 0 0 1 0;");
  EXPECT_EQ(qel_wire::node_entry(record({0x81, 0x02, 0x03, 0x04, 9, 9, 9, 9}), true),
            "258 772 0 0 0 1 0;");
  // The kind bit never shows in the first number.
  EXPECT_EQ(qel_wire::node_entry(record({0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0}), true),
            "32767 65535 0 0 0 1 0;");
  // Flag clear: fields are read least significant byte first.
  EXPECT_EQ(qel_wire::node_entry(record_flag_clear({0x05, 0x01, 0x07, 0x02, 0, 0, 0, 0}), false),
            "261 519 0 0 0 1 0;");
}

TEST(LastEncoding, ConditionEntry) {
  EXPECT_EQ(qel_wire::cond_entry(record({0x81, 0x02, 0x03, 0x04, 0x00, 0xCC, 0x00, 0x09}), true),
            "258 772 204 0 0 0 1 0;");
  EXPECT_EQ(qel_wire::cond_entry(record({0x80, 1, 0, 2, 0x00, 0x33, 0, 0}), true),
            "1 2 51 0 0 0 1 0;");
  EXPECT_EQ(
      qel_wire::cond_entry(record_flag_clear({0x01, 0x00, 0x02, 0x00, 0x33, 0x00, 0, 0}), false),
      "1 2 51 0 0 0 1 0;");
}

TEST(LastEncoding, McdcEntry) {
  // w4 = 00 01 10 11: false, true, skipped, unset.
  EXPECT_EQ(qel_wire::mcdc_entry(record({0x80, 3, 0x80, 9, 0x1B, 0xFF, 0xFF, 0xFF}), true),
            "3 9  012 0 0 0 1 0;");
  // Nothing recorded: three blanks between the decision and the tail.
  EXPECT_EQ(qel_wire::mcdc_entry(record({0x80, 3, 0x00, 9, 0xFF, 0xFF, 0xFF, 0xFF}), true),
            "3 9   0 0 0 1 0;");
  // Codes 0xFFFFFF4F with the outcome bit set: slot 0 true, slot 1 false.
  EXPECT_EQ(qel_wire::mcdc_entry(record({0x81, 0x02, 0x80, 0x05, 0x4F, 0xFF, 0xFF, 0xFF}), true),
            "258 5  10 0 0 0 1 0;");
  // Codes in every byte, read w4 to w7 in order.
  EXPECT_EQ(qel_wire::mcdc_entry(record({0x80, 1, 0, 1, 0x3F, 0x7F, 0xBF, 0x00}), true),
            "1 1  0120000 0 0 0 1 0;");
  EXPECT_EQ(qel_wire::mcdc_entry(
                record_flag_clear({0x03, 0x00, 0x89, 0x00, 0x1B, 0xFF, 0xFF, 0xFF}), false),
            "3 9  012 0 0 0 1 0;");
}

TEST(LastEncoding, ReplaceAll) {
  std::string s = "seg\nfault\n";
  EXPECT_EQ(replace_all(s, "\n", "\\n"), "seg\\nfault\\n");
  EXPECT_EQ(s, "seg\\nfault\\n");
  std::string grow = "aXa";
  EXPECT_EQ(replace_all(grow, "a", "aa"), "aaXaa");  // the replacement is not rescanned
  std::string same = "abc";
  EXPECT_EQ(replace_all(same, "", "zz"), "abc");
  std::string none = "abc";
  EXPECT_EQ(replace_all(none, "q", "r"), "abc");
  std::string all = "xxxx";
  EXPECT_EQ(replace_all(all, "xx", ""), "");
}

TEST(LastEncoding, CrashTexts) {
  EXPECT_EQ(qel_wire::crash_text("prog", "signal", "null"),
            "name:///prog\ntestcase:///0\ntype:///signal\ncause:///null\n");
  EXPECT_EQ(qel_wire::data_text("prog", "5 7 0 0 0 1 0;6 8 0 0 0 1 0;"),
            "name:///prog\ntestcase:///0\ndata:///5 7 0 0 0 1 0;6 8 0 0 0 1 0;\n");
  EXPECT_EQ(qel_wire::data_text("", ""), "name:///\ntestcase:///0\ndata:///\n");
}

// --- Binary messages and the ring --------------------------------------------

TEST(LastEncoding, LatestFiftyNodeRecordsAndRunningNumbers) {
  QelSendLast::Ring ring;
  for (uint32_t i = 0; i < 60; ++i) QelSendLast::keep_latest(&ring, node_record(i));
  EXPECT_EQ(ring.size(), 50u);
  std::vector<uint64_t> held;
  uint64_t r;
  while (ring.pop(r)) held.push_back(r);
  ASSERT_EQ(held.size(), 50u);

  uint32_t number = 1;
  std::string msg = qel_wire::encode_last_data(qel_wire::kLastNode, held.data(), held.size(),
                                               number, 0x1234, true);
  ASSERT_EQ(msg.size(), 501u);
  EXPECT_EQ(msg[0], 1);
  for (std::size_t e = 0; e < 50; ++e) {
    uint32_t i = static_cast<uint32_t>(e + 10);  // oldest kept first
    const std::size_t at = 1 + 10 * e;
    EXPECT_EQ(uint8_t(msg[at]), (0x80u | (i % 8u) | 0x48u) & 0x07u);
    EXPECT_EQ(node_index(msg, e), i);
    EXPECT_EQ(uint8_t(msg[at + 5]), 0x5Au);
    EXPECT_EQ(be32(msg, at + 6), e + 1) << "entry " << e;
  }
  EXPECT_EQ(number, 51u);

  std::vector<uint64_t> more = {node_record(60), node_record(61), node_record(62)};
  msg = qel_wire::encode_last_data(qel_wire::kLastNode, more.data(), more.size(), number, 0, true);
  ASSERT_EQ(msg.size(), 31u);
  for (std::size_t e = 0; e < 3; ++e) EXPECT_EQ(be32(msg, 1 + 10 * e + 6), 51 + e);
  EXPECT_EQ(number, 54u);
}

TEST(LastEncoding, ConditionAndMcdcMessages) {
  uint64_t cond = record({0x81, 0x02, 0x03, 0x04, 0x00, 0xCC, 0x00, 0x09});
  uint32_t number = 7;
  EXPECT_EQ(qel_wire::encode_last_data(qel_wire::kLastCond, &cond, 1, number, 0xBEEF, true),
            bytes({2, 0x01, 0x02, 0x03, 0x04, 0x00, 0xCC, 0x00, 0x09, 0, 0, 0, 7}));
  EXPECT_EQ(number, 8u);

  uint64_t mcdc = record({0x81, 0x02, 0x80, 0x05, 0x4F, 0xFF, 0xFF, 0xFF});
  number = 0x01020304;
  EXPECT_EQ(qel_wire::encode_last_data(qel_wire::kLastMcdc, &mcdc, 1, number, 0x0009, true),
            bytes({3, 0x01, 0x02, 0x80, 0x05, 0x4F, 0xFF, 0xFF, 0xFF, 0x00, 0x09, 1, 2, 3, 4}));

  // Flag clear: record bytes from byte 7 down, integers least significant first.
  uint64_t clear = record_flag_clear({0x81, 0x02, 0x80, 0x05, 0x4F, 0xFF, 0xFF, 0xFF});
  number = 0x01020304;
  EXPECT_EQ(qel_wire::encode_last_data(qel_wire::kLastMcdc, &clear, 1, number, 0x0009, false),
            bytes({3, 0x01, 0x02, 0x80, 0x05, 0x4F, 0xFF, 0xFF, 0xFF, 0x09, 0x00, 4, 3, 2, 1}));

  EXPECT_EQ(qel_wire::encode_last_data(qel_wire::kLastCond, nullptr, 0, number, 0, true),
            bytes({2}));
  EXPECT_EQ(qel_wire::last_entry_size(qel_wire::kLastNode), 10u);
  EXPECT_EQ(qel_wire::last_entry_size(qel_wire::kLastCond), 12u);
  EXPECT_EQ(qel_wire::last_entry_size(qel_wire::kLastMcdc), 14u);
}

TEST(LastEncoding, KeepLatestOrderAndNullRing) {
  QelSendLast::Ring ring;
  for (uint32_t i = 0; i < 49; ++i) QelSendLast::keep_latest(&ring, i);
  EXPECT_EQ(ring.size(), 49u);
  for (uint32_t i = 49; i < 175; ++i) QelSendLast::keep_latest(&ring, i);
  EXPECT_EQ(ring.size(), 50u);
  uint64_t r;
  for (uint64_t want = 125; want < 175; ++want) {
    ASSERT_TRUE(ring.pop(r));
    EXPECT_EQ(r, want);
  }
  EXPECT_FALSE(ring.pop(r));
  QelSendLast::keep_latest(nullptr, 1);  // a ring that could not be allocated
}

// --- Through real sockets (15559 property, 15562 last data) --------------------

std::string prop_msg(const std::string& prefix, const std::string& text) {
  return prefix + ":///" + text + std::string(1, '\0');
}

class LastSender : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    runtime_ctx_ = qel_net::new_messaging();
    QelSendProperty* prop = QelSendProperty::GetSendPropertyInstance();
    prop->context = runtime_ctx_;
    std::strcpy(prop->state, "0");
    prop->init_zmq();
    last_ = QelSendLast::getInstance();
    last_->context = runtime_ctx_;
    std::strcpy(last_->state, "0");
    last_->init_zmq();
    collector_ = new qel_test::TestCollector({15559, 15562});
    // Let both connections settle so that the first messages find them.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
  }
  static void TearDownTestSuite() {
    delete collector_;
    QelSendLast::releaseInstance();
    QelSendProperty::RelaseSendPropertyInstance();
    qel_net::end_messaging(runtime_ctx_);
  }
  void SetUp() override {
    last_->stopSend.store(false);
    last_->groupId.store(0);
    QelSendLastTestPeer::set_cycle_ms(*last_, 30000);
    collector_->discard(15559);
    collector_->discard(15562);
  }

  static void* runtime_ctx_;
  static qel_test::TestCollector* collector_;
  static QelSendLast* last_;
};
void* LastSender::runtime_ctx_ = nullptr;
qel_test::TestCollector* LastSender::collector_ = nullptr;
QelSendLast* LastSender::last_ = nullptr;

TEST_F(LastSender, CrashReportWithEmptyRingsSendsOnlyTheCrashText) {
  last_->sendLeaveMsg("prog", "seg\nfault", "null\npointer");
  std::string msg;
  ASSERT_TRUE(collector_->recv_text(15559, msg, 3000));
  EXPECT_EQ(msg, prop_msg("Crash",
                          "name:///prog\ntestcase:///0\ntype:///seg\\nfault\ncause:///"
                          "null\\npointer\n"));
  EXPECT_FALSE(collector_->recv_text(15559, msg, 300)) << msg;
  EXPECT_FALSE(collector_->recv_text(15562, msg, 300));
}

TEST_F(LastSender, CrashReportListsEveryKindAndEmptiesTheRings) {
  last_->groupId.store(9);
  QelSendLast::keep_latest(last_->lastDD, record({0x80, 5, 0, 7, 0, 1, 0, 0}));
  QelSendLast::keep_latest(last_->lastDD, record({0x80, 6, 0, 8, 0, 1, 0, 0}));
  QelSendLast::keep_latest(last_->lastCond, record({0x81, 0x02, 0x03, 0x04, 0x00, 0xCC, 0, 0}));
  QelSendLast::keep_latest(last_->lastMCDC, record({0x80, 3, 0x80, 9, 0x1B, 0xFF, 0xFF, 0xFF}));

  last_->sendLeaveMsg("prog", "t", "c");

  std::string msg;
  ASSERT_TRUE(collector_->recv_text(15559, msg, 3000));
  EXPECT_EQ(msg, prop_msg("Crash", "name:///prog\ntestcase:///0\ntype:///t\ncause:///c\n"));
  ASSERT_TRUE(collector_->recv_text(15559, msg, 3000));
  EXPECT_EQ(msg, prop_msg("CrashLastDD",
                          "name:///prog\ntestcase:///0\ndata:///5 7 0 0 0 1 0;6 8 0 0 0 1 0;\n"));
  ASSERT_TRUE(collector_->recv_text(15559, msg, 3000));
  EXPECT_EQ(msg, prop_msg("CrashLastCond",
                          "name:///prog\ntestcase:///0\ndata:///258 772 204 0 0 0 1 0;\n"));
  ASSERT_TRUE(collector_->recv_text(15559, msg, 3000));
  EXPECT_EQ(
      msg, prop_msg("CrashLastMCDC", "name:///prog\ntestcase:///0\ndata:///3 9  012 0 0 0 1 0;\n"));

  ASSERT_TRUE(collector_->recv_text(15562, msg, 3000));
  EXPECT_EQ(msg, bytes({1, 0, 5, 0, 7, 0, 1, 0, 0, 0, 1, 0, 6, 0, 8, 0, 1, 0, 0, 0, 2}));
  ASSERT_TRUE(collector_->recv_text(15562, msg, 3000));
  EXPECT_EQ(msg, bytes({2, 1, 2, 3, 4, 0, 0xCC, 0, 0, 0, 0, 0, 1}));
  ASSERT_TRUE(collector_->recv_text(15562, msg, 3000));
  EXPECT_EQ(msg, bytes({3, 0, 3, 0x80, 9, 0x1B, 0xFF, 0xFF, 0xFF, 0, 9, 0, 0, 0, 1}));

  EXPECT_EQ(last_->lastDD->size(), 0u);
  EXPECT_EQ(last_->lastCond->size(), 0u);
  EXPECT_EQ(last_->lastMCDC->size(), 0u);

  // A second report numbers its entries from 1 again and lists only new records.
  QelSendLast::keep_latest(last_->lastDD, record({0x80, 1, 0, 2, 0, 0, 0, 0}));
  last_->sendLeaveMsg("prog", "t", "c");
  ASSERT_TRUE(collector_->recv_text(15559, msg, 3000));
  ASSERT_TRUE(collector_->recv_text(15559, msg, 3000));
  EXPECT_EQ(msg, prop_msg("CrashLastDD", "name:///prog\ntestcase:///0\ndata:///1 2 0 0 0 1 0;\n"));
  ASSERT_TRUE(collector_->recv_text(15562, msg, 3000));
  EXPECT_EQ(msg, bytes({1, 0, 1, 0, 2, 0, 0, 0, 0, 0, 1}));
  EXPECT_FALSE(collector_->recv_text(15559, msg, 200)) << msg;
  EXPECT_FALSE(collector_->recv_text(15562, msg, 200));
}

TEST_F(LastSender, CycleSendsLeakReportAndLatestFiftyWithRunningNumbers) {
  QelSendLastTestPeer::set_cycle_ms(*last_, 150);
  for (uint32_t i = 0; i < 60; ++i) QelSendLast::keep_latest(last_->lastDD, node_record(i));
  pthread_t th;
  ASSERT_EQ(pthread_create(&th, nullptr, fsend_lastData, last_), 0);

  std::string msg;
  ASSERT_TRUE(collector_->recv_text(15562, msg, 5000));
  ASSERT_EQ(msg.size(), 501u);
  EXPECT_EQ(msg[0], 1);
  for (std::size_t e = 0; e < 50; ++e) {
    EXPECT_EQ(node_index(msg, e), e + 10);
    EXPECT_EQ(be32(msg, 1 + 10 * e + 6), e + 1);
  }
  // The leak report comes first in every cycle.
  ASSERT_TRUE(collector_->recv_text(15559, msg, 3000));
  EXPECT_EQ(msg.compare(0, 14, "MemoryLeak:///"), 0) << msg;

  // A round may fall between these pushes, so the entries may come in more
  // than one message; their numbers go on from 51 either way.
  for (uint32_t i = 60; i < 63; ++i) QelSendLast::keep_latest(last_->lastDD, node_record(i));
  std::vector<uint32_t> index, number;
  while (index.size() < 3 && collector_->recv_text(15562, msg, 5000)) {
    ASSERT_EQ(msg[0], 1);
    ASSERT_EQ((msg.size() - 1) % 10, 0u);
    for (std::size_t e = 0; e < (msg.size() - 1) / 10; ++e) {
      index.push_back(node_index(msg, e));
      number.push_back(be32(msg, 1 + 10 * e + 6));
    }
  }
  EXPECT_EQ(index, (std::vector<uint32_t>{60, 61, 62}));
  EXPECT_EQ(number, (std::vector<uint32_t>{51, 52, 53}));

  // Empty rings: leak reports go on, no last-data message.
  collector_->discard(15559);
  EXPECT_FALSE(collector_->recv_text(15562, msg, 600)) << "message of " << msg.size() << " bytes";
  EXPECT_TRUE(collector_->recv_text(15559, msg, 3000));

  // Records that arrive before the stop still leave in the last round.
  QelSendLast::keep_latest(last_->lastCond, record({0x80, 1, 0, 2, 0, 0x33, 0, 0}));
  QelSendLast::keep_latest(last_->lastCond, record({0x80, 1, 0, 3, 0, 0xCC, 0, 0}));
  last_->request_stop_send();
  void* ret = nullptr;
  ASSERT_EQ(pthread_join(th, &ret), 0);
  EXPECT_EQ(ret, last_);
  std::vector<uint32_t> numbers;
  while (collector_->recv_text(15562, msg, 300)) {
    ASSERT_EQ(msg[0], 2);
    ASSERT_EQ((msg.size() - 1) % 12, 0u);
    for (std::size_t at = 1; at < msg.size(); at += 12) numbers.push_back(be32(msg, at + 8));
  }
  EXPECT_EQ(numbers, (std::vector<uint32_t>{1, 2}));
  EXPECT_EQ(last_->lastCond->size(), 0u);
}

TEST_F(LastSender, CrashReportsAndCycleNeverShareARecord) {
  QelSendLastTestPeer::set_cycle_ms(*last_, 1);
  constexpr uint32_t kRecords = 4000;
  std::atomic<bool> collecting{true};
  std::vector<uint32_t> seen;
  std::thread collector([&] {
    std::string msg;
    for (;;) {
      if (!collector_->recv_text(15562, msg, 100)) {
        if (!collecting.load()) break;
        continue;
      }
      if (msg.empty() || msg[0] != 1 || (msg.size() - 1) % 10 != 0) {
        ADD_FAILURE() << "unexpected message of " << msg.size() << " bytes";
        continue;
      }
      for (std::size_t e = 0; e < (msg.size() - 1) / 10; ++e) seen.push_back(node_index(msg, e));
    }
  });
  std::thread prop_sink([&] {
    std::string msg;
    while (collecting.load()) collector_->recv_text(15559, msg, 100);
  });

  pthread_t th;
  ASSERT_EQ(pthread_create(&th, nullptr, fsend_lastData, last_), 0);
  std::atomic<bool> produced{false};
  std::thread producer([&] {
    // Like the insert thread, the only pusher; it stays below 50 so that no
    // record is dropped as the oldest.
    for (uint32_t i = 0; i < kRecords; ++i) {
      while (last_->lastDD->size() >= 40) std::this_thread::yield();
      QelSendLast::keep_latest(last_->lastDD, node_record(i));
    }
    produced.store(true);
  });
  int reports = 0;
  while (!produced.load()) {
    last_->sendLeaveMsg("race", "t", "c");
    ++reports;
  }
  producer.join();
  last_->request_stop_send();
  pthread_join(th, nullptr);
  last_->sendLeaveMsg("race", "t", "c");  // whatever the last round left
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  collecting.store(false);
  collector.join();
  prop_sink.join();

  EXPECT_GT(reports, 0);
  std::sort(seen.begin(), seen.end());
  ASSERT_EQ(seen.size(), kRecords) << "every record exactly once";
  for (uint32_t i = 0; i < kRecords; ++i) ASSERT_EQ(seen[i], i);
}

// --- Stopping --------------------------------------------------------------------

// Runs after LastSender has closed its sockets: nothing listens on 15562.
TEST(LastSenderStop, StopCutsTheThirtySecondWaitAndRunsTheLastRound) {
  void* ctx = qel_net::new_messaging();
  {
    QelSendLast sender;
    sender.context = ctx;
    std::strcpy(sender.ip, "127.0.0.1");
    std::strcpy(sender.state, "1");  // connect to a collector that is not there
    for (uint32_t i = 0; i < 5; ++i) QelSendLast::keep_latest(sender.lastDD, node_record(i));
    pthread_t th;
    ASSERT_EQ(pthread_create(&th, nullptr, fsend_lastData, &sender), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    auto t0 = std::chrono::steady_clock::now();
    sender.request_stop_send();
    pthread_join(th, nullptr);
    auto waited = std::chrono::steady_clock::now() - t0;
    // Far below the 30-second cycle: the wait was cut short.
    EXPECT_LT(waited, std::chrono::seconds(10));
    EXPECT_EQ(sender.lastDD->size(), 0u) << "the last round drained the ring";
  }
  {
    // A shutdown that only raises the flag is noticed as well.
    QelSendLast sender;
    pthread_t th;
    ASSERT_EQ(pthread_create(&th, nullptr, fsend_lastData, &sender), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    auto t0 = std::chrono::steady_clock::now();
    sender.stopSend.store(true);
    pthread_join(th, nullptr);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(10));
  }
  {
    // Stop asked for before the thread starts: one round, then it ends.
    QelSendLast sender;
    QelSendLast::keep_latest(sender.lastMCDC, 42);
    sender.request_stop_send();
    EXPECT_EQ(fsend_lastData(&sender), &sender);
    EXPECT_EQ(sender.lastMCDC->size(), 0u);
    EXPECT_EQ(fsend_lastData(nullptr), nullptr);
  }
  QelSendProperty::RelaseSendPropertyInstance();  // made by the leak reports of the rounds
  qel_net::end_messaging(ctx);
}

TEST(LastSenderStop, SingletonIsCreatedOnceAndReleased) {
  QelSendLast* seen[4] = {};
  std::vector<std::thread> ts;
  for (int i = 0; i < 4; ++i) ts.emplace_back([&seen, i] { seen[i] = QelSendLast::getInstance(); });
  for (auto& t : ts) t.join();
  ASSERT_NE(seen[0], nullptr);
  for (int i = 1; i < 4; ++i) EXPECT_EQ(seen[i], seen[0]);
  // A report on a singleton that never saw a record or a socket sends nothing
  // and returns.
  seen[0]->sendLeaveMsg("n", "t", "c");
  QelSendLast::releaseInstance();
  EXPECT_EQ(QelSendLast::instance.load(), nullptr);
  QelSendLast::releaseInstance();  // nothing left to release
  QelSendProperty::RelaseSendPropertyInstance();
}

// --- The whole runtime -------------------------------------------------------

// Runs last: bootstraps the real runtime on the ports the suites above freed.
TEST(LastSenderRuntime, ProbesReachTheCycleAndShutdownRunsTheLastRound) {
  auto collector = std::make_unique<qel_test::TestCollector>(std::vector<int>{15562, 15559});

  // The bootstrap takes this very singleton; its thread reads the cycle length
  // at the start of every wait.
  QelSendLastTestPeer::set_cycle_ms(*QelSendLast::getInstance(), 200);
  ASSERT_NE(thread_exit::getInst(), nullptr);
  for (int i = 1; i <= 60; ++i) QelNode(5, i, 0);

  // Entries may be split over rounds; they end with node 60 and are numbered
  // 1, 2, 3... across the rounds.
  std::vector<unsigned> nodes;
  std::vector<uint32_t> numbers;
  std::string msg;
  while ((nodes.empty() || nodes.back() != 60) && collector->recv_text(15562, msg, 5000)) {
    ASSERT_EQ(msg[0], 1);
    ASSERT_EQ((msg.size() - 1) % 10, 0u);
    for (std::size_t at = 1; at < msg.size(); at += 10) {
      EXPECT_EQ(uint8_t(msg[at + 1]), 5u);  // unit 5, kind bit masked
      nodes.push_back(uint8_t(msg[at + 2]) * 256u + uint8_t(msg[at + 3]));
      numbers.push_back(be32(msg, at + 6));
    }
  }
  ASSERT_FALSE(nodes.empty());
  EXPECT_EQ(nodes.back(), 60u);
  EXPECT_GE(nodes.size(), 50u);
  for (std::size_t i = 0; i < numbers.size(); ++i) EXPECT_EQ(numbers[i], i + 1);
  for (std::size_t i = 1; i < nodes.size(); ++i) EXPECT_EQ(nodes[i], nodes[i - 1] + 1);
  // Every round starts with a leak report (after the process announced its
  // start and command line, once).
  ASSERT_TRUE(collector->recv_text(15559, msg, 3000));
  while (msg.compare(0, 18, ":///process-start ") == 0 ||
         msg.compare(0, 20, ":///process-command ") == 0) {
    ASSERT_TRUE(collector->recv_text(15559, msg, 3000));
  }
  EXPECT_EQ(msg.compare(0, 14, "MemoryLeak:///"), 0) << msg;

  // A record that arrives just before the shutdown leaves in its last round.
  QelNode(5, 99, 0);
  QelExit();
  bool seen99 = false;
  while (!seen99 && collector->recv_text(15562, msg, 2000))
    for (std::size_t at = 1; at + 10 <= msg.size(); at += 10)
      seen99 = seen99 || (uint8_t(msg[at + 2]) * 256u + uint8_t(msg[at + 3]) == 99u);
  EXPECT_TRUE(seen99);

  // No collector at all, and the default 30-second cycle: the shutdown still
  // does not wait for the cycle.
  collector.reset();
  ASSERT_NE(thread_exit::getInst(), nullptr);
  QelNode(5, 1, 0);
  qel_port::sleep_ms(100);
  auto t0 = std::chrono::steady_clock::now();
  QelExit();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(10));
}

}  // namespace
