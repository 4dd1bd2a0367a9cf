// Test-case events on real sockets.
#include <gtest/gtest.h>
#include <zmq.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "net.h"
#include "qelmq/QelSendUniTest.h"
#include "qelmq/thread_exit.h"
#include "test_collector.h"

namespace {

using Clock = std::chrono::steady_clock;
using qel_test::Bytes;
using qel_test::TestCollector;

// An event sender with messaging (a ZeroMQ context made with its first socket) of its own.
class Events {
 public:
  explicit Events(const char* state = "", const char* ip = "") : ctx_(qel_net::new_messaging()) {
    std::snprintf(sender.ip, sizeof(sender.ip), "%s", ip);
    std::snprintf(sender.state, sizeof(sender.state), "%s", state);
    sender.context = ctx_;
  }
  ~Events() {
    qel_net::close_socket(sender.socket);
    qel_net::end_messaging(ctx_);
  }
  QelSendUniTest sender;

 private:
  void* ctx_;
};

std::string next(TestCollector& c) {
  Bytes b;
  if (!c.recv(15560, b)) return "<nothing>";
  return std::string(b.begin(), b.end());
}

TEST(UniTestEvents, WithoutSocketEveryCallFailsAtOnce) {
  Events e;
  auto t0 = Clock::now();
  EXPECT_FALSE(e.sender.CreateTestcase("tc1"));
  EXPECT_FALSE(e.sender.StartTestcase(1));
  EXPECT_FALSE(e.sender.StopTestcase(1));
  EXPECT_LT(Clock::now() - t0, std::chrono::milliseconds(500));
}

TEST(UniTestEvents, MessagesArriveExactlyAndInCallOrder) {
  TestCollector c({15560});
  Events e;
  e.sender.init_zmq();
  EXPECT_TRUE(e.sender.CreateTestcase("tc1"));
  EXPECT_TRUE(e.sender.CreateTestcase(""));
  EXPECT_TRUE(e.sender.StartTestcase(7));
  EXPECT_TRUE(e.sender.StartTestcase(0));
  EXPECT_TRUE(e.sender.StopTestcase(3));
  EXPECT_EQ(next(c), "0 tc1");
  EXPECT_EQ(next(c), "0 ");
  EXPECT_EQ(next(c), "1 0");
  EXPECT_EQ(next(c), "1 0");
  EXPECT_EQ(next(c), "2 0");
}

// The first event waits the send time-out for a collector; once none came,
// the next ones do not wait again (a driver of many test cases run without a
// collector took minutes), until a collector takes one.
TEST(UniTestEvents, OnlyTheFirstCallWaitsForAMissingCollector) {
  Events e;
  e.sender.init_zmq();
  auto ms_since = [](Clock::time_point t0) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
  };
  auto t0 = Clock::now();
  EXPECT_FALSE(e.sender.CreateTestcase("tc1"));
  EXPECT_GE(ms_since(t0), 1800);
  EXPECT_LT(ms_since(t0), 4000);
  EXPECT_TRUE(e.sender.peer_missing());
  t0 = Clock::now();
  for (int i = 0; i < 20; ++i) {
    EXPECT_FALSE(e.sender.StartTestcase(1));
    EXPECT_FALSE(e.sender.StopTestcase(1));
  }
  EXPECT_LT(ms_since(t0), 1000);

  // A collector that connects later takes the events again.
  TestCollector c({15560});
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  bool taken = false;
  while (!taken && Clock::now() < deadline) {
    taken = e.sender.CreateTestcase("late");
    if (!taken) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ASSERT_TRUE(taken);
  EXPECT_FALSE(e.sender.peer_missing());
  EXPECT_EQ(next(c), "0 late");
}

TEST(UniTestEvents, ConnectModeReachesAListeningCollector) {
  void* ctx = zmq_ctx_new();
  void* pull = zmq_socket(ctx, ZMQ_PULL);
  int linger = 0;
  zmq_setsockopt(pull, ZMQ_LINGER, &linger, sizeof(linger));
  ASSERT_EQ(zmq_bind(pull, "tcp://127.0.0.1:15560"), 0);
  {
    Events e("1", "127.0.0.1");
    e.sender.init_zmq();
    EXPECT_TRUE(e.sender.CreateTestcase("abc"));
    char buf[16] = {};
    EXPECT_EQ(zmq_recv(pull, buf, sizeof(buf), 0), 5);
    EXPECT_EQ(std::string(buf, 5), "0 abc");
  }
  zmq_close(pull);
  zmq_ctx_term(ctx);
}

// Through the runtime instance, whose insert thread opens the socket.
TEST(UniTestEvents, ReachableThroughTheRuntimeInstance) {
  TestCollector c({15560});
  thread_exit* inst = thread_exit::getInst();
  ASSERT_NE(inst, nullptr);
  ASSERT_NE(inst->sendUniTest, nullptr);
  bool sent = false;
  for (auto t0 = Clock::now(); !sent && Clock::now() - t0 < std::chrono::seconds(10);)
    sent = inst->sendUniTest->CreateTestcase("tc1");
  EXPECT_TRUE(sent);
  EXPECT_EQ(next(c), "0 tc1");
  EXPECT_TRUE(inst->sendUniTest->StartTestcase(1));
  EXPECT_EQ(next(c), "1 0");
  QelExit();
}

}  // namespace
