#include "port.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <thread>

namespace {

std::string civil(int64_t t) {
  char buf[64];
  qel_port::format_civil_time(t, buf, sizeof(buf));
  return buf;
}

std::string by_library(int64_t t) {
  time_t tt = static_cast<time_t>(t);
  struct tm utc;
  gmtime_r(&tt, &utc);
  char buf[64];
  strftime(buf, sizeof(buf), "%Y-%m-%d %H:%M:%S", &utc);
  return buf;
}

// The arithmetic formatter is what a forked child uses instead of the C
// library, whose time-zone lock may be held by a thread that no longer exists.
TEST(Port, CivilTimeMatchesTheCLibrary) {
  for (int64_t t :
       {int64_t{0}, int64_t{86399}, int64_t{951782400} /* 2000-02-29 */,
        int64_t{1709164800} /* 2024-02-29 */, int64_t{4102444799}, int64_t{-1}, int64_t{-86401}})
    EXPECT_EQ(civil(t), by_library(t)) << t;
  for (int64_t t = 0; t < int64_t{4102444800}; t += 7777777)
    ASSERT_EQ(civil(t), by_library(t)) << t;
}

TEST(Port, TimeStampHasTheReportFormat) {
  char buf[64];
  qel_port::local_time_stamp(buf, sizeof(buf));
  ASSERT_EQ(std::string(buf).size(), 19u) << buf;
  EXPECT_EQ(buf[4], '-');
  EXPECT_EQ(buf[10], ' ');
  EXPECT_EQ(buf[13], ':');
}

TEST(Port, ExecutableDirectoryEndsWithSlash) {
  std::string dir = qel_port::executable_dir();
  ASSERT_FALSE(dir.empty());
  EXPECT_EQ(dir.back(), '/');
  EXPECT_EQ(dir.front(), '/');
}

TEST(Port, TickIsMonotonicMilliseconds) {
  uint32_t a = qel_port::tick_ms();
  qel_port::sleep_ms(20);
  uint32_t b = qel_port::tick_ms();
  EXPECT_GE(b - a, 15u);
  EXPECT_LT(b - a, 5000u);
}

// The crash guard tells its flush thread from the crashing one by this id.
TEST(Port, ThreadIdsAreNonZeroStableAndDistinct) {
  const int32_t mine = qel_port::current_thread_id();
  EXPECT_NE(mine, 0);
  EXPECT_EQ(qel_port::current_thread_id(), mine);
  int32_t other = 0;
  std::thread t([&] { other = qel_port::current_thread_id(); });
  t.join();
  EXPECT_NE(other, 0);
  EXPECT_NE(other, mine);
}

TEST(Port, CachedProcessIdFollowsFork) {
  ASSERT_EQ(qel_port::current_pid(), static_cast<int32_t>(getpid()));
  pid_t child = fork();
  if (child == 0) {
    bool ok = qel_port::current_pid() == static_cast<int32_t>(getpid());
    char buf[64];
    qel_port::local_time_stamp(buf, sizeof(buf));  // the child's formatter
    ok = ok && std::string(buf).size() == 19;
    _exit(ok ? 0 : 1);
  }
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

}  // namespace
