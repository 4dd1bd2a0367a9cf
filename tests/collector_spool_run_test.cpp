// `qelcollect -- COMMAND` with processes that never open a socket and reach
// the run through their spool files only (qelcollect_testfeed's spool
// modes): the run ends as soon as the spool accounts for everything, not
// before a process still writing has been read, and by the quiet period
// when nothing is announced.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

namespace {

struct Outcome {
  int code = -1;
  std::string out;
  double ms = 0;
};

// qelcollect with `args` (and the environment assignments `env`), its
// report and messages in `out`.
Outcome collect(const std::string& args, const std::string& env = std::string()) {
  const std::string file = testing::TempDir() + "qelc_spoolrun_" + std::to_string(getpid());
  const auto start = std::chrono::steady_clock::now();
  const int rc = std::system((env + " timeout -s KILL 60 " + std::string(QELCOLLECT_EXE) + " " +
                              args + " >" + file + " 2>&1")
                                 .c_str());
  Outcome o;
  o.ms =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  o.code = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
  std::ifstream in(file);
  std::stringstream text;
  text << in.rdbuf();
  o.out = text.str();
  std::remove(file.c_str());
  return o;
}

const std::string kFeed = QELCOLLECT_FEED;

TEST(SpoolOnlyRun, EndsOnceTheSpoolAccountsForEverything) {
  // Three short processes one after the other, as a test suite runs them.
  const Outcome o = collect("--quiet-ms 20000 -- sh -c '" + kFeed + " spool 0 /a; " + kFeed +
                            " spool 0 /b; " + kFeed + " spool 0 /c'");
  EXPECT_LT(o.ms, 15000) << "waited for the quiet period\n" << o.out;
  EXPECT_NE(o.out.find("unit 1: 1 nodes hit, 3 hits"), std::string::npos) << o.out;
  EXPECT_EQ(o.out.find("Run problems"), std::string::npos) << o.out;
  EXPECT_EQ(o.out.find("were not read"), std::string::npos) << o.out;
}

TEST(SpoolOnlyRun, AProcessStillWritingItsSpoolIsWaitedFor) {
  // The command ends at once; its child announced itself in the spool and
  // writes the rest a second later, cut inside a record for a second more:
  // longer than the quiet period, which a process announced and alive
  // outlasts.
  const Outcome o = collect("--quiet-ms 1500 -- sh -c '" + kFeed + " spool 1000 /a /b & exit 0'");
  EXPECT_EQ(o.code, 0) << o.out;
  EXPECT_GE(o.ms, 1900) << o.out;
  EXPECT_NE(o.out.find("unit 1: 2 nodes hit, 2 hits"), std::string::npos) << o.out;
  EXPECT_EQ(o.out.find("Run problems"), std::string::npos) << o.out;
  EXPECT_EQ(o.out.find("were not read"), std::string::npos) << o.out;
}

TEST(SpoolOnlyRun, WithoutAnnouncementsTheQuietPeriodEndsTheRun) {
  const Outcome o = collect("--quiet-ms 700 -- " + kFeed + " spool-silent");
  EXPECT_EQ(o.code, 0) << o.out;
  EXPECT_GE(o.ms, 700) << o.out;
  EXPECT_NE(o.out.find("unit 1: 2 nodes hit, 2 hits"), std::string::npos) << o.out;
}

TEST(SpoolOnlyRun, AKilledProcessIsListedWithOrWithoutTheReport) {
  // Announced in its spool, killed before its end: the stream is listed
  // and the status is that of a loss, also when no report is written
  // (which builds less at the end of the run). The steps of the end are
  // traced on request, in order.
  const std::string killed =
      "--quiet-ms 300 -- sh -c '" + kFeed + " spool 5000 /a & p=$!; sleep 0.3; kill -9 $p; wait'";
  const Outcome report = collect(killed);
  EXPECT_EQ(report.code, 10) << report.out;
  EXPECT_NE(report.out.find("Processes whose stream never finished: 1"), std::string::npos)
      << report.out;
  const Outcome quiet = collect("--no-report " + killed);
  EXPECT_EQ(quiet.code, 10) << quiet.out;
  EXPECT_NE(quiet.out.find("Processes whose stream never finished: 1"), std::string::npos)
      << quiet.out;
  EXPECT_EQ(quiet.out.find("-- Run problems"), std::string::npos) << quiet.out;

  const Outcome traced = collect("--no-report " + killed, "QELCOLLECT_TRACE_TIMES=1");
  std::size_t at = 0;
  for (const char* step : {"ms main", "ms sockets ready", "ms command started",
                           "ms command's end seen", "ms collection ended", "ms spool read"}) {
    const std::size_t next = traced.out.find(step, at);
    ASSERT_NE(next, std::string::npos) << step << "\n" << traced.out;
    at = next;
  }
  EXPECT_EQ(quiet.out.find("ms main"), std::string::npos) << "traced unasked\n" << quiet.out;
}

}  // namespace
