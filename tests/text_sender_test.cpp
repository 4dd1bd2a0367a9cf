// The twin text senders on real sockets: message framing, order, shutdown
// without waiting out the pacing pause, and the leave operation.
#include <gtest/gtest.h>
#include <zmq.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "net.h"
#include "qelmq/TextSender.h"
#include "test_collector.h"

namespace {

using Clock = std::chrono::steady_clock;
using qel_test::Bytes;
using qel_test::TestCollector;

long ms_since(Clock::time_point t0) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count());
}

std::string as_text(const Bytes& b) { return std::string(b.begin(), b.end()); }

// What the sender puts on the wire for `text`: its characters and a zero byte.
std::string wire(const std::string& text) { return text + std::string(1, '\0'); }

// A sender with messaging (a ZeroMQ context made with its first socket) of its own and, once
// started, its thread: the shutdown's part (stop flags, join, delete) is done by stop().
template <typename Sender>
class Rig {
 public:
  explicit Rig(const char* state = "", const char* ip = "") : ctx_(qel_net::new_messaging()) {
    sender = new Sender();
    std::snprintf(sender->ip, sizeof(sender->ip), "%s", ip);
    std::snprintf(sender->state, sizeof(sender->state), "%s", state);
    sender->context = ctx_;
  }
  ~Rig() {
    stop();
    qel_net::end_messaging(ctx_);
  }
  void start() {
    thread_ = std::thread([this] {
      if (std::is_same<Sender, QelSendTime>::value)
        fsend_time(sender);
      else
        fsend_param(sender);
    });
  }
  // Returns how long the thread took to end once asked.
  long stop() {
    if (!sender) return 0;
    sender->stopEnqueue.store(true);
    auto t0 = Clock::now();
    sender->stopSend.store(true);
    if (thread_.joinable()) thread_.join();
    long took = ms_since(t0);
    delete sender;
    sender = nullptr;
    return took;
  }
  void put(const std::string& text) {
    std::string copy = text;
    sender->execute(copy);
  }

  Sender* sender;

 private:
  void* ctx_;
  std::thread thread_;
};

std::string numbered(int i) { return "t" + std::to_string(i); }

// Receives until `count` messages arrived or the port stays quiet for 3 s.
std::vector<std::string> receive(TestCollector& c, int port, size_t count) {
  std::vector<std::string> got;
  Bytes b;
  while (got.size() < count && c.recv(port, b, 3000)) got.push_back(as_text(b));
  return got;
}

TEST(TextSender, SendsEachTextWithItsZeroByteInQueueOrder) {
  TestCollector c({15561});
  Rig<QelSendParam> rig;
  rig.start();
  for (const char* t : {"abc", "", "x y z"}) rig.put(t);
  std::vector<std::string> got = receive(c, 15561, 3);
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[0], wire("abc"));
  EXPECT_EQ(got[1], std::string(1, '\0'));
  EXPECT_EQ(got[2], wire("x y z"));
}

TEST(TextSender, TimingTwinUsesItsOwnPort) {
  TestCollector c({15561, 15564});
  Rig<QelSendTime> rig;
  EXPECT_EQ(rig.sender->port(), 15564);
  rig.start();
  rig.put("1 2 3");
  Bytes b;
  ASSERT_TRUE(c.recv(15564, b));
  EXPECT_EQ(as_text(b), wire("1 2 3"));
  EXPECT_FALSE(c.recv(15561, b, 300));
}

TEST(TextSender, ConnectModeReachesAListeningCollector) {
  void* ctx = zmq_ctx_new();
  void* pull = zmq_socket(ctx, ZMQ_PULL);
  int linger = 0;
  zmq_setsockopt(pull, ZMQ_LINGER, &linger, sizeof(linger));
  ASSERT_EQ(zmq_bind(pull, "tcp://127.0.0.1:15561"), 0);
  {
    Rig<QelSendParam> rig("1", "127.0.0.1");
    rig.start();
    rig.put("hello");
    zmq_pollitem_t item = {pull, 0, ZMQ_POLLIN, 0};
    ASSERT_EQ(zmq_poll(&item, 1, 3000), 1);
    char buf[16] = {};
    EXPECT_EQ(zmq_recv(pull, buf, sizeof(buf), 0), 6);
    EXPECT_EQ(std::string(buf, 6), wire("hello"));
  }
  zmq_close(pull);
  zmq_ctx_term(ctx);
}

TEST(TextSender, DropsTextsOnceEnqueueIsStopped) {
  Rig<QelSendParam> rig;
  rig.put("kept");
  rig.sender->stopEnqueue.store(true);
  rig.put("dropped");
  EXPECT_EQ(rig.sender->queue->size(), 1u);
}

// Shutdown while the thread sits in the pause after a full batch: the rest
// goes out at once instead of after the pause, nothing is lost.
TEST(TextSenderShutdown, SendsTheRestWithoutWaitingOutThePause) {
  TestCollector c({15561});
  Rig<QelSendParam> rig;
  // One text beyond the batch: the stop then costs one send, not thousands,
  // and the bound below tells a skipped pause from a waited one even on a
  // slow (sanitizer) build.
  constexpr int kTotal = static_cast<int>(TextSender::kBatch) + 1;
  for (int i = 0; i < kTotal; ++i) rig.put(numbered(i));
  rig.start();
  std::vector<std::string> got = receive(c, 15561, TextSender::kBatch);
  ASSERT_EQ(got.size(), TextSender::kBatch);
  // The first batch is out; the thread is now in its one-second pause.
  long took = rig.stop();
  EXPECT_LT(took, 900) << "the shutdown waited for the pacing pause";
  std::vector<std::string> rest = receive(c, 15561, 1);
  got.insert(got.end(), rest.begin(), rest.end());
  ASSERT_EQ(got.size(), static_cast<size_t>(kTotal));
  for (int i = 0; i < kTotal; ++i) ASSERT_EQ(got[i], wire(numbered(i))) << i;
}

TEST(TextSenderShutdown, EndsPromptlyWhenIdleOrWithoutCollector) {
  {
    Rig<QelSendParam> idle;
    idle.start();
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    EXPECT_LT(idle.stop(), 500);
  }
  // Nobody takes the texts: the thread waits for a collector only until it
  // is asked to stop, then gives the rest up instead of hanging the exit.
  Rig<QelSendParam> lonely;
  for (int i = 0; i < 100; ++i) lonely.put(numbered(i));
  lonely.start();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_LT(lonely.stop(), 2000);
}

TEST(TextSenderLeave, FlushesQueuedTextsAndClosesOnce) {
  TestCollector c({15561});
  Rig<QelSendParam> rig;
  // No thread yet: the leave operation opens the socket itself.
  for (const char* t : {"one", "two", "three"}) rig.put(t);
  rig.sender->sendLeaveMsg();
  std::vector<std::string> got = receive(c, 15561, 3);
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[0], wire("one"));
  EXPECT_EQ(got[1], wire("two"));
  EXPECT_EQ(got[2], wire("three"));
  EXPECT_EQ(rig.sender->socket, nullptr);
  EXPECT_EQ(rig.sender->queue->size(), 0u);

  // Closed for good: a second leave, later texts, the thread and the
  // shutdown send nothing and do not touch the closed socket again.
  rig.put("late");
  rig.sender->sendLeaveMsg();
  rig.start();
  Bytes b;
  EXPECT_FALSE(c.recv(15561, b, 500));
  EXPECT_EQ(rig.sender->socket, nullptr);
  EXPECT_LT(rig.stop(), 500);
}

// The leave operation arrives while the thread is in the middle of a batch:
// the two take turns on the queue and the socket, so every text arrives
// exactly once and in order.
TEST(TextSenderLeave, TakesOverFromARunningThreadWithoutLossOrDuplicates) {
  TestCollector c({15561});
  Rig<QelSendParam> rig;
  const int total = 30000;
  for (int i = 0; i < total; ++i) rig.put(numbered(i));
  rig.start();
  Bytes b;
  ASSERT_TRUE(c.recv(15561, b));
  std::vector<std::string> got{as_text(b)};
  rig.sender->sendLeaveMsg();
  EXPECT_EQ(rig.sender->queue->size(), 0u);
  std::vector<std::string> rest = receive(c, 15561, total - 1);
  got.insert(got.end(), rest.begin(), rest.end());
  ASSERT_EQ(got.size(), static_cast<size_t>(total));
  for (int i = 0; i < total; ++i) ASSERT_EQ(got[i], wire(numbered(i))) << i;
  EXPECT_FALSE(c.recv(15561, b, 300));
  EXPECT_LT(rig.stop(), 500);
}

// No collector: the thread holds the queue while it waits to send. The leave
// operation must still get its turn and return, and so must the shutdown.
TEST(TextSenderLeave, ReturnsWhileTheThreadWaitsForAnAbsentCollector) {
  Rig<QelSendParam> rig;
  for (int i = 0; i < 50; ++i) rig.put(numbered(i));
  rig.start();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  auto t0 = Clock::now();
  rig.sender->sendLeaveMsg();
  EXPECT_LT(ms_since(t0), 2000);
  EXPECT_EQ(rig.sender->socket, nullptr);
  EXPECT_LT(rig.stop(), 500);
}

// Producers that keep flushing cannot keep the leave operation busy forever;
// what arrives is still in each producer's order.
TEST(TextSenderLeave, EndsWhileProducersKeepFlushing) {
  TestCollector c({15561});
  Rig<QelSendParam> rig;
  rig.start();
  std::atomic<bool> stop{false};
  std::vector<std::thread> producers;
  for (int p = 0; p < 2; ++p)
    producers.emplace_back([&, p] {
      for (int i = 0; !stop.load(); ++i) rig.put(std::to_string(p) + ":" + std::to_string(i));
    });
  Bytes b;
  ASSERT_TRUE(c.recv(15561, b));
  auto t0 = Clock::now();
  rig.sender->sendLeaveMsg();
  EXPECT_LT(ms_since(t0), 5000);
  stop.store(true);
  for (auto& t : producers) t.join();

  std::vector<std::string> got{as_text(b)};
  while (c.recv(15561, b, 500)) got.push_back(as_text(b));
  int last[2] = {-1, -1};
  for (const std::string& m : got) {
    ASSERT_EQ(m.back(), '\0');
    int p = m[0] - '0';
    int i = std::stoi(m.substr(2));
    ASSERT_GT(i, last[p]) << m;
    last[p] = i;
  }
  EXPECT_LT(rig.stop(), 500);
}

}  // namespace
