// The crash guard's shared part: the causes its handlers write without
// allocating, and the requests that leave_all() and the handlers hand to the
// flush thread, one at a time, from any number of threads.
#include "crash_guard.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "crash_guard_port.h"

namespace {

TEST(CauseText, WritesNamesDecimalsAndStatusCodes) {
  qel_crash::CauseText segv;
  segv.add("SIGSEGV").add(" (signal ").add_decimal(11).add(")");
  EXPECT_STREQ(segv.c_str(), "SIGSEGV (signal 11)");
  qel_crash::CauseText limits;
  limits.add_decimal(0).add(" ").add_decimal(4294967295u);
  EXPECT_STREQ(limits.c_str(), "0 4294967295");
  qel_crash::CauseText codes;
  codes.add_hex32(0xC0000005u).add(" ").add_hex32(0).add(" ").add_hex32(0x8000000Fu);
  EXPECT_STREQ(codes.c_str(), "0xC0000005 0x00000000 0x8000000F");
}

TEST(CauseText, CutsAtItsCapacityAndStaysTerminated) {
  qel_crash::CauseText text;
  const std::string long_name(300, 'x');
  text.add(long_name.c_str()).add_hex32(0xFFFFFFFFu).add(nullptr);
  const std::string got = text.c_str();
  EXPECT_LT(got.size(), 300u);
  EXPECT_GT(got.size(), 100u);
  EXPECT_EQ(got.find_first_not_of('x'), std::string::npos) << got;
}

// Without a flush thread (nothing armed) the work runs on the caller.
TEST(CrashGuard, LeaveAllWithoutArmingRunsOnTheCallingThread) {
  EXPECT_TRUE(qel_crash::leave_all("t", "type", "cause"));
  EXPECT_TRUE(qel_crash::leave_all(nullptr, nullptr, nullptr));
}

// Many threads ask at once: each request gets its answer (none is lost or
// answered for another), and disarming puts the signal dispositions back.
TEST(CrashGuard, ConcurrentRequestsAreEachAnsweredAndDisarmRestores) {
  struct sigaction before;
  ASSERT_EQ(sigaction(SIGSEGV, nullptr, &before), 0);
  qel_crash::arm();
  qel_crash::arm();  // a second arm in the same process changes nothing
  struct sigaction armed;
  ASSERT_EQ(sigaction(SIGSEGV, nullptr, &armed), 0);
  EXPECT_TRUE(armed.sa_flags & SA_SIGINFO) << "the guard's handler is installed";

  constexpr int kThreads = 8, kCalls = 40;
  std::atomic<int> answered{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&answered, t] {
      const std::string name = "thread " + std::to_string(t);
      for (int i = 0; i < kCalls; ++i)
        if (qel_crash::leave_all(name.c_str(), "type", "cause")) answered.fetch_add(1);
    });
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(answered.load(), kThreads * kCalls);

  qel_crash::disarm();
  struct sigaction after;
  ASSERT_EQ(sigaction(SIGSEGV, nullptr, &after), 0);
  EXPECT_EQ(after.sa_flags & SA_SIGINFO, before.sa_flags & SA_SIGINFO);
  EXPECT_EQ(reinterpret_cast<void*>(after.sa_handler), reinterpret_cast<void*>(before.sa_handler));
  // Disarmed, the caller does the work again.
  EXPECT_TRUE(qel_crash::leave_all("t", "type", "cause"));
  // And the guard can be armed again (a later bootstrap does).
  qel_crash::arm();
  EXPECT_TRUE(qel_crash::leave_all("t", "type", "cause"));
  qel_crash::disarm();
}

// A crash flush asked for by the flush thread itself would wait for itself:
// flush_for_crash returns at once there, and in a process not armed.
TEST(CrashGuard, FlushForCrashWithoutArmingReturnsAtOnce) {
  const auto t0 = std::chrono::steady_clock::now();
  qel_crash::flush_for_crash("signal", "SIGSEGV (signal 11)");
  EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(), 0.5);
}

}  // namespace
