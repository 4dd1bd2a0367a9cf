// The bounds that keep a leave operation (and the crash flush) from hanging
// on a lock that a crashed thread holds.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <zmq.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "net.h"
#include "port.h"
#include "qelmq/QelSendDD.h"
#include "record_map.h"
#include "sync.h"

namespace {

double seconds_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

TEST(LeaveBounds, TimedGuardTakesAFreeLockAndGivesUpOnAHeldOne) {
  pthread_mutex_t m = PTHREAD_MUTEX_INITIALIZER;
  {
    qel_sync::TimedMutexGuard g(m, 0);  // free: taken even with no time to wait
    EXPECT_TRUE(g.owns());
  }
  pthread_mutex_lock(&m);
  bool owned = true;
  auto t0 = std::chrono::steady_clock::now();
  std::thread other([&] {
    qel_sync::TimedMutexGuard g(m, 150);
    owned = g.owns();
  });
  other.join();
  double waited = seconds_since(t0);
  pthread_mutex_unlock(&m);
  EXPECT_FALSE(owned);
  EXPECT_GE(waited, 0.14);
  EXPECT_LT(waited, 1.0);
  pthread_mutex_destroy(&m);
}

TEST(LeaveBounds, FlushDeadlineShortensEveryWait) {
  EXPECT_EQ(qel_net::leave_wait_ms(), qel_net::kLeaveBoundMs);
  EXPECT_EQ(qel_net::leave_lock_wait_ms(), qel_net::kLeaveBoundMs);
  qel_net::begin_flush_deadline(300);
  EXPECT_LE(qel_net::leave_wait_ms(), 300u);
  EXPECT_GT(qel_net::leave_wait_ms(), 200u);
  // One lock held by a crashed thread must not eat the whole deadline.
  EXPECT_EQ(qel_net::leave_lock_wait_ms(), qel_net::kFlushLockWaitMs);
  std::this_thread::sleep_for(std::chrono::milliseconds(320));
  EXPECT_EQ(qel_net::leave_wait_ms(), 0u);
  qel_net::end_flush_deadline();
  EXPECT_EQ(qel_net::leave_wait_ms(), qel_net::kLeaveBoundMs);
}

// A leave operation whose sender lock is held (its holder crashed) returns
// within its bound and leaves the sender as it was: nothing sent, not closed.
TEST(LeaveBounds, LeaveOperationGivesUpOnAHeldSenderLock) {
  void* ctx = zmq_ctx_new();
  {
    QelSendDD dd;
    // The instance's buffers, as the bootstrap hands them over.
    char ip[128] = "127.0.0.1", mode[2] = "1";
    dd.configure(ip, mode, ctx);  // connect mode: no port is bound
    dd.init_zmq();
    dd.execute(0x8001000200030000ull);
    pthread_mutex_lock(&dd.sendLock);
    auto t0 = std::chrono::steady_clock::now();
    std::thread leaving([&] { dd.sendLeaveMsg(); });
    leaving.join();
    double waited = seconds_since(t0);
    pthread_mutex_unlock(&dd.sendLock);
    EXPECT_GE(waited, qel_net::kLeaveBoundMs / 1000.0 - 0.05);
    EXPECT_LT(waited, 3.0);
    EXPECT_FALSE(dd.closed);
    EXPECT_NE(dd.socket, nullptr);
    EXPECT_EQ(dd.queue->size(), 1u) << "the queued record is the crashed holder's business";

    // Once the lock is free, the same operation moves the queued record,
    // closes the socket and returns within its bound (no collector here).
    t0 = std::chrono::steady_clock::now();
    dd.sendLeaveMsg();
    EXPECT_LT(seconds_since(t0), 3.0);
    EXPECT_TRUE(dd.closed);
    EXPECT_EQ(dd.socket, nullptr);
    EXPECT_EQ(dd.queue->size(), 0u);
    EXPECT_TRUE(dd.insertMap->empty());
  }
  zmq_ctx_term(ctx);
}

// A child forked while another thread of its parent held the origin lock
// (opening a socket) takes the lock for its own bootstrap all the same.
// Forks up to 300 children while a thread of the parent keeps doing `busy`
// (which takes a lock of the runtime); each child does `in_child`, which takes
// the same lock. Returns how many children were still stuck after 5 s.
template <class Busy, class InChild>
int children_stuck_on_a_lock(Busy busy, InChild in_child) {
  std::atomic<bool> stop{false};
  std::thread worker([&] {
    while (!stop.load(std::memory_order_relaxed)) busy();
  });
  int hung = 0;
  for (int forks = 0; forks < 300 && hung == 0; ++forks) {
    const pid_t child = fork();
    if (child == 0) {
      in_child();
      _exit(0);
    }
    if (child < 0) break;
    const auto t0 = std::chrono::steady_clock::now();
    int status = 0;
    while (waitpid(child, &status, WNOHANG) == 0) {
      if (seconds_since(t0) > 5.0) {
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
        ++hung;
        break;
      }
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  }
  stop.store(true, std::memory_order_relaxed);
  worker.join();
  return hung;
}

#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
#define SKIP_FORK_UNDER_SANITIZERS() \
  GTEST_SKIP() << "the sanitizers' runtimes are not fork-safe in a multi-threaded parent"
#else
#define SKIP_FORK_UNDER_SANITIZERS() (void)0
#endif

TEST(ForkLocks, AChildForkedWhileAThreadSetsTheOriginSetsItsOwn) {
  SKIP_FORK_UNDER_SANITIZERS();
  qel_net::set_origin("1/0000000000000001");
  EXPECT_EQ(children_stuck_on_a_lock([] { qel_net::set_origin("2/0000000000000002"); },
                                     [] { qel_net::set_origin("3/0000000000000003"); }),
            0);
}

int g_hook_runs[6];
template <int N>
void count_in_child() {
  ++g_hook_runs[N];
}

// Hooks registered by several threads at once each run once in a child:
// none overwrites another's slot, and one registered twice runs once.
TEST(ForkLocks, HooksRegisteredTogetherEachRunOnceInAChild) {
  SKIP_FORK_UNDER_SANITIZERS();
  void (*const hooks[6])() = {count_in_child<0>, count_in_child<1>, count_in_child<2>,
                              count_in_child<3>, count_in_child<4>, count_in_child<5>};
  std::atomic<bool> go{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < 12; ++t)
    threads.emplace_back([&, t] {
      while (!go.load(std::memory_order_acquire)) {
      }
      qel_port::register_fork_child_hook(hooks[t % 6]);
    });
  go.store(true, std::memory_order_release);
  for (std::thread& t : threads) t.join();
  const pid_t child = fork();
  if (child == 0) {
    for (int n : g_hook_runs)
      if (n != 1) _exit(1);
    _exit(0);
  }
  ASSERT_GT(child, 0);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "a hook ran other than once";
}

void no_thread_end(void*) {}

TEST(ForkLocks, AChildForkedWhileAThreadMakesAThreadEndHookMakesItsOwn) {
  SKIP_FORK_UNDER_SANITIZERS();
  ASSERT_GE(qel_port::create_thread_end_hook(no_thread_end), 0);
  EXPECT_EQ(children_stuck_on_a_lock([] { qel_port::create_thread_end_hook(no_thread_end); },
                                     [] {
                                       if (qel_port::create_thread_end_hook(no_thread_end) < 0)
                                         _exit(1);
                                     }),
            0);
}

}  // namespace
