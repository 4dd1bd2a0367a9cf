// Coverage records end to end: probes, insert thread, aggregating senders,
// real sockets on loopback.
#include <gtest/gtest.h>

#include <map>
#include <thread>
#include <vector>

#include "qelmq/QelSendCond.h"
#include "qelmq/QelSendDD.h"
#include "qelmq/QelSendMCDC.h"
#include "qelmq/protocol/messages.h"
#include "qelmq/thread_exit.h"
#include "test_collector.h"
#include "thread_stage.h"

namespace {

using qel_test::be32;
using qel_test::Bytes;
using qel_test::hex;

struct Tally {
  std::map<std::string, uint64_t> counts;  // record bytes (hex) -> total count
  std::vector<uint32_t> seqs;
};

// Adds up the messages of one port; `record_len` bytes identify a record.
Tally tally(const std::vector<Bytes>& msgs, size_t record_len, size_t count_at, size_t seq_at) {
  Tally t;
  for (const Bytes& m : msgs) {
    Bytes rec(m.begin(), m.begin() + static_cast<long>(record_len));
    t.counts[hex(rec)] += be32(m, count_at);
    t.seqs.push_back(be32(m, seq_at));
  }
  return t;
}

void expect_gapless(const std::vector<uint32_t>& seqs) {
  for (size_t i = 0; i < seqs.size(); ++i) ASSERT_EQ(seqs[i], i + 1) << "sequence gap at " << i;
}

class CoverageEndToEnd : public testing::Test {
 protected:
  qel_test::TestCollector collector{{15555, 15556, 15557}};
};

TEST_F(CoverageEndToEnd, ExactCountsFromSeveralThreadsOverSeveralWindows) {
  ASSERT_NE(thread_exit::getInst(), nullptr);
  constexpr int kThreads = 4, kRounds = 5, kPerRound = 20000, kNodes = 37;
  std::vector<std::thread> ts;
  for (int t = 0; t < kThreads; ++t)
    ts.emplace_back([t] {
      int cs[2];
      for (int round = 0; round < kRounds; ++round) {
        for (int i = 0; i < kPerRound; ++i) {
          QelNode(t + 1, i % kNodes, 0);
          QelStringInit(cs);
          QelStringAddCond(cs, 0, i & 1);
          QelExp(t + 1, 1, 2, cs, 9, i & 1);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(150));  // next window
      }
    });
  for (auto& t : ts) t.join();
  QelExit();  // everything enqueued before the shutdown is delivered

  Tally node = tally(collector.drain(15555), 8, 9, 13);
  Tally cond = tally(collector.drain(15556), 8, 9, 13);
  Tally mcdc = tally(collector.drain(15557), 8, 11, 15);
  expect_gapless(node.seqs);
  expect_gapless(cond.seqs);
  expect_gapless(mcdc.seqs);
  EXPECT_GT(node.seqs.size(), static_cast<size_t>(kThreads * kNodes)) << "several windows expected";

  ASSERT_EQ(node.counts.size(), static_cast<size_t>(kThreads * kNodes));
  for (int t = 0; t < kThreads; ++t)
    for (int n = 0; n < kNodes; ++n) {
      uint16_t f[3] = {static_cast<uint16_t>(t + 1), static_cast<uint16_t>(n), 0};
      Bytes rec(8);
      qel_wire::put_record(qel_wire::pack(f, 3, true), true, rec.data());
      int per_round = kPerRound / kNodes + (n < kPerRound % kNodes ? 1 : 0);
      EXPECT_EQ(node.counts[hex(rec)], static_cast<uint64_t>(per_round * kRounds)) << t << "/" << n;
    }
  ASSERT_EQ(cond.counts.size(), static_cast<size_t>(kThreads * 2));
  for (auto& kv : cond.counts)
    EXPECT_EQ(kv.second, static_cast<uint64_t>(kRounds * kPerRound / 2)) << kv.first;
  ASSERT_EQ(mcdc.counts.size(), static_cast<size_t>(kThreads * 2));
  for (auto& kv : mcdc.counts)
    EXPECT_EQ(kv.second, static_cast<uint64_t>(kRounds * kPerRound / 2)) << kv.first;
}

TEST_F(CoverageEndToEnd, WorkedMessagesAndLatchedGroup) {
  ASSERT_NE(thread_exit::getInst(), nullptr);
  // The shutdown never waits for a collector that has not connected: give
  // this one (it retries every 20 ms) the time to connect first.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  firstMcdc.store(1);
  for (int i = 0; i < 3; ++i) QelNode(0x0102, 0x0304, 0x0506);
  QelNode(0x12345, 1, 2);  // recorded as unit 0x2345
  int cs[2];
  QelStringInit(cs);
  QelStringAddCond(cs, 0, 1);
  QelStringAddCond(cs, 1, 0);
  QelStringAddCond(cs, 2, 1);  // slot 0 true, slot 1 false, slot 2 true
  QelExp(0x0102, 0x0304, 0x0005, cs, 7, 1);
  QelExp(0x0102, 0x0304, 0x0005, cs, 8, 1);  // group latched at 7
  QelExp(0x8102, 0x0304, 0x8005, cs, 8, 1);  // bit 15 folds: same records
  int fresh[2];
  QelStringInit(fresh);
  QelExp(3, 4, 5, fresh, 1, 2);  // result 2: condition "held", MC/DC outcome 0
  QelExit();

  std::map<std::string, uint32_t> nodes;
  for (const Bytes& m : collector.drain(15555)) {
    ASSERT_EQ(m.size(), 18u);
    nodes[hex(Bytes(m.begin(), m.begin() + 8))] = be32(m, 9);
    EXPECT_EQ(m[8], 0x30);
    EXPECT_EQ(m[17], 0x31);
  }
  EXPECT_EQ(nodes["81 02 03 04 05 06 00 00"], 3u);
  EXPECT_EQ(nodes["A3 45 00 01 00 02 00 00"], 1u);

  std::map<std::string, uint32_t> conds;
  for (const Bytes& m : collector.drain(15556))
    conds[hex(Bytes(m.begin(), m.begin() + 8))] += be32(m, 9);
  EXPECT_EQ(conds["81 02 03 04 00 CC 00 07"], 1u);
  EXPECT_EQ(conds["81 02 03 04 00 CC 00 08"], 2u) << "each condition record keeps its own group";
  EXPECT_EQ(conds["80 03 00 04 00 CC 00 01"], 1u);

  std::map<std::string, uint32_t> mcdcs;
  for (const Bytes& m : collector.drain(15557)) {
    ASSERT_EQ(m.size(), 19u);
    EXPECT_EQ(m[8], 0x00);
    EXPECT_EQ(m[9], 0x07) << "every MC/DC message carries the first group";
    mcdcs[hex(Bytes(m.begin(), m.begin() + 8))] += be32(m, 11);
  }
  EXPECT_EQ(mcdcs["81 02 80 05 47 FF FF FF"], 3u);
  EXPECT_EQ(mcdcs["80 03 00 05 FF FF FF FF"], 1u) << "fresh string, outcome bit 0 for result 2";
}

// Waits until the insert thread has taken everything queued so far,
// records still staged on this thread included.
template <typename Sender>
void wait_moved(Sender* s) {
  qel_stage::flush_all(qel_stage::Flush::kWait);
  for (int i = 0; i < 1000 && s->queue->size() != 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

TEST_F(CoverageEndToEnd, LeaveOperationsFlushOnceInTheThreadsFormatAndClose) {
  thread_exit* inst = thread_exit::getInst();
  ASSERT_NE(inst, nullptr);
  firstMcdc.store(1);
  int cs[2];
  // A loaded machine may still be making the collector's connections: one
  // record through each channel first, so the leave operations below meet a
  // connected collector instead of giving up on an absent one.
  QelStringInit(cs);
  QelStringAddCond(cs, 0, 0);
  QelNode(5, 6, 0);
  QelExp(5, 2, 8, cs, 4, 0);
  Bytes warm;
  ASSERT_TRUE(collector.recv(15555, warm, 10000));
  ASSERT_TRUE(collector.recv(15556, warm, 10000));
  ASSERT_TRUE(collector.recv(15557, warm, 10000));
  QelStringInit(cs);
  QelStringAddCond(cs, 0, 1);
  for (int i = 0; i < 2; ++i) {
    QelNode(5, 7, 0);
    QelExp(5, 3, 9, cs, 4, 1);
  }
  wait_moved(inst->sendDD);
  wait_moved(inst->sendCond);
  wait_moved(inst->sendMCDC);
  inst->sendDD->sendLeaveMsg();
  inst->sendCond->sendLeaveMsg();
  inst->sendMCDC->sendLeaveMsg();
  // Second calls: nothing more is sent and nothing is closed twice.
  inst->sendDD->sendLeaveMsg();
  inst->sendCond->sendLeaveMsg();
  inst->sendMCDC->sendLeaveMsg();
  EXPECT_EQ(inst->sendDD->socket, nullptr);
  QelNode(5, 8, 0);  // counted, but the channel is closed for good
  QelExp(5, 4, 9, cs, 4, 0);
  QelExit();  // the shutdown must not touch the closed sockets

  auto total = [](const std::vector<Bytes>& msgs, size_t len, size_t count_at, const char* rec) {
    uint64_t n = 0;
    uint32_t seq = 0;
    for (const Bytes& m : msgs) {
      EXPECT_EQ(m.size(), len);
      EXPECT_EQ(hex(Bytes(m.begin(), m.begin() + 8)), rec);
      n += be32(m, count_at);
      EXPECT_GT(be32(m, count_at + 4), seq) << "sequence numbers keep growing";
      seq = be32(m, count_at + 4);
    }
    return n;
  };
  EXPECT_EQ(total(collector.drain(15555), 18, 9, "80 05 00 07 00 00 00 00"), 2u);
  EXPECT_EQ(total(collector.drain(15556), 18, 9, "80 05 00 03 00 CC 00 04"), 2u);
  EXPECT_EQ(total(collector.drain(15557), 19, 11, "80 05 80 09 7F FF FF FF"), 2u);
}

// A collector that connects and then never reads: the sender's messages pile
// up in its pipe. The shutdown gives up on them after the linger instead of
// waiting forever.
TEST(CoverageShutdown, StalledCollectorIsGivenUpOn) {
  void* ctx = zmq_ctx_new();
  void* stalled = zmq_socket(ctx, ZMQ_PULL);
  int hwm = 1, buf = 4096, linger = 0;
  zmq_setsockopt(stalled, ZMQ_RCVHWM, &hwm, sizeof(hwm));
  zmq_setsockopt(stalled, ZMQ_RCVBUF, &buf, sizeof(buf));
  zmq_setsockopt(stalled, ZMQ_LINGER, &linger, sizeof(linger));
  zmq_connect(stalled, "tcp://127.0.0.1:15555");
  ASSERT_NE(thread_exit::getInst(), nullptr);
  for (int unit = 0; unit < 20; ++unit)
    for (int node = 0; node < 20000; ++node) QelNode(unit, node, 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  auto t0 = std::chrono::steady_clock::now();
  QelExit();
  double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  EXPECT_LT(s, 15.0) << "shutdown must not wait for a collector that stopped reading";
  zmq_close(stalled);
  zmq_ctx_term(ctx);
}

}  // namespace
