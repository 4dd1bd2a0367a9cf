// Programs that crash, abort or leave at once still deliver their coverage,
// values, timings and a crash report, and still end as they would have.
// The programs are C (tests/programs), run as child processes against a
// loopback collector in this process.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "test_collector.h"

namespace {

using qel_test::be32;
using qel_test::Bytes;

constexpr int kNode = 15555, kCond = 15556, kProperty = 15559, kEvents = 15560, kValue = 15561,
              kLast = 15562, kTiming = 15564;

struct Outcome {
  int status = 0;
  std::string out;
  std::map<int, std::vector<Bytes>> got;  // port -> messages, in order
  double seconds = 0;
};

// Sanitizer runtimes catch SIGSEGV themselves and exit with a status of
// their own; the programs must die of the signal as a plain build does.
void plain_signal_handling() {
  for (const char* var : {"ASAN_OPTIONS", "TSAN_OPTIONS", "UBSAN_OPTIONS"}) {
    const char* old = std::getenv(var);
    std::string v = old ? old : "";
    if (v.find("handle_segv=0") == std::string::npos)
      setenv(var, (v + (v.empty() ? "" : ":") + "handle_segv=0:handle_abort=0").c_str(), 1);
  }
}

// A configuration that makes the runtime connect to a collector on
// loopback, as `qelcollect -- COMMAND` gives its program.
const std::string& connect_config() {
  static const std::string path = [] {
    std::string p = testing::TempDir() + "qel_crash_connect.cfg";
    FILE* f = std::fopen(p.c_str(), "w");
    if (f) {
      std::fputs("config_ip=127.0.0.1\nconfig_state=1\n", f);
      std::fclose(f);
    }
    return p;
  }();
  return path;
}

// Runs `argv` connected to a collector listening on every port, collecting
// until the program has ended and the ports are quiet.
Outcome run_collected(std::vector<std::string> args) {
  auto listening = qel_test::TestCollector::listening(
      {kNode, kCond, kProperty, kEvents, kValue, kLast, kTiming});
  qel_test::TestCollector& collector = *listening;
  plain_signal_handling();
  setenv("QELMQ_CONFIG", connect_config().c_str(), 1);
  Outcome r;
  int out[2];
  if (pipe(out) != 0) return r;
  auto t0 = std::chrono::steady_clock::now();
  pid_t child = fork();
  if (child == 0) {
    dup2(out[1], 1);
    dup2(out[1], 2);
    close(out[0]);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(out[1]);
  fcntl(out[0], F_SETFL, O_NONBLOCK);
  bool ended = false;
  auto quiet_since = std::chrono::steady_clock::now();
  for (;;) {
    bool any = false;
    for (int port : {kNode, kCond, kProperty, kEvents, kValue, kLast, kTiming}) {
      Bytes b;
      while (collector.recv(port, b, 0)) {
        r.got[port].push_back(b);
        any = true;
      }
    }
    char buf[4096];
    ssize_t n;
    while ((n = read(out[0], buf, sizeof(buf))) > 0) r.out.append(buf, static_cast<size_t>(n));
    if (!ended && waitpid(child, &r.status, WNOHANG) == child) {
      ended = true;
      r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    }
    auto now = std::chrono::steady_clock::now();
    if (any) quiet_since = now;
    if (ended && now - quiet_since > std::chrono::milliseconds(500)) break;
    if (now - t0 > std::chrono::seconds(60)) {
      kill(child, SIGKILL);
      waitpid(child, &r.status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  close(out[0]);
  return r;
}

// Total count per node of unit 7 (node messages: record, "0", count, ...).
std::map<int, uint64_t> node_counts(const std::vector<Bytes>& msgs) {
  std::map<int, uint64_t> counts;
  for (const Bytes& m : msgs) {
    if (m.size() < 13) continue;
    int unit = ((m[0] & 0x7F) << 8) | m[1];
    int node = (m[2] << 8) | m[3];
    if (unit == 7) counts[node] += be32(m, 9);
  }
  return counts;
}

// Property texts whose prefix is `index` ("Crash", "CrashLastDD", ...).
std::vector<std::string> property_texts(const Outcome& r, const std::string& index) {
  std::vector<std::string> texts;
  auto it = r.got.find(kProperty);
  if (it == r.got.end()) return texts;
  for (const Bytes& m : it->second) {
    std::string t(m.begin(), m.end());
    if (t.compare(0, index.size() + 4, index + ":///") == 0) texts.push_back(t);
  }
  return texts;
}

const std::vector<Bytes>& messages(const Outcome& r, int port) {
  static const std::vector<Bytes> none;
  auto it = r.got.find(port);
  return it == r.got.end() ? none : it->second;
}

std::string all_texts(const Outcome& r, int port) {
  std::string s;
  auto it = r.got.find(port);
  if (it != r.got.end())
    for (const Bytes& m : it->second) s += std::string(m.begin(), m.end()) + "\n";
  return s;
}

// What every abnormal end must deliver: each of the `calls` node hits, the
// condition, the value and timing records, and a crash report with `cause`
// and the latest node records.
void expect_everything_delivered(const Outcome& r, long calls, const std::string& cause,
                                 int distinct = 5) {
  std::map<int, uint64_t> counts = node_counts(messages(r, kNode));
  int wrong = 0;
  for (int node = 0; node < distinct; ++node)
    if (counts[node] != static_cast<uint64_t>(calls / distinct)) ++wrong;
  EXPECT_EQ(wrong, 0) << "nodes with a count other than " << calls / distinct << "; node 0 has "
                      << counts[0] << "\n"
                      << r.out;
  EXPECT_FALSE(messages(r, kCond).empty()) << "the condition record is lost";
  EXPECT_NE(all_texts(r, kValue).find("$x#QEL_INT#42"), std::string::npos) << all_texts(r, kValue);
  EXPECT_NE(all_texts(r, kTiming).find("7 9 1234"), std::string::npos);

  std::vector<std::string> crash = property_texts(r, "Crash");
  ASSERT_FALSE(crash.empty()) << "no crash report\n" << r.out;
  EXPECT_NE(crash[0].find("cause:///" + cause + "\n"), std::string::npos) << crash[0];
  std::vector<std::string> last = property_texts(r, "CrashLastDD");
  ASSERT_FALSE(last.empty()) << "no latest node records in the crash report";
  // The last call was the last node of unit 7 (calls is a multiple of it).
  EXPECT_NE(last[0].find("7 " + std::to_string(distinct - 1) + " 0 0 0 1 0;"), std::string::npos)
      << last[0];
  EXPECT_FALSE(messages(r, kLast).empty()) << "no binary last-data message";
}

// Runs crash_probe in `mode`; it must die of `sig` and deliver everything.
Outcome expect_death_after_flush(const char* mode, long calls, int sig) {
  Outcome r = run_collected({QEL_CRASH_PROBE, mode, std::to_string(calls)});
  EXPECT_TRUE(WIFSIGNALED(r.status)) << "status " << r.status << "\n" << r.out;
  if (WIFSIGNALED(r.status)) {
    EXPECT_EQ(WTERMSIG(r.status), sig);
  }
  EXPECT_NE(r.out.find("probed\n"), std::string::npos) << r.out;
  const char* name = sig == SIGSEGV ? "SIGSEGV" : "SIGABRT";
  expect_everything_delivered(r, calls,
                              std::string(name) + " (signal " + std::to_string(sig) + ")");
  return r;
}

TEST(CrashDelivery, SegvMidWorkDeliversCoverageAndReportAndDiesOfTheSignal) {
  expect_death_after_flush("segv", 1000000, SIGSEGV);
}

TEST(CrashDelivery, AbortDeliversAndDiesOfSigabrt) {
  expect_death_after_flush("abort", 200000, SIGABRT);
}

TEST(CrashDelivery, CrashInsideTheRuntimeStillFlushes) {
  Outcome r = expect_death_after_flush("in-probe", 200000, SIGSEGV);
  EXPECT_EQ(r.out.find("did not crash"), std::string::npos) << r.out;
}

TEST(CrashDelivery, AbortInsideFreeStillFlushes) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the sanitizer's allocator replaces the C library's and handles the double "
                  "free itself";
#endif
  expect_death_after_flush("in-free", 200000, SIGABRT);
}

TEST(CrashDelivery, ProgramsOwnHandlerStillRunsAfterTheFlush) {
  Outcome r = expect_death_after_flush("own", 200000, SIGSEGV);
  EXPECT_NE(r.out.find("own handler ran\n"), std::string::npos) << r.out;
}

TEST(CrashDelivery, OwnHandlerThatLeavesAndExitsKeepsItsStatus) {
  constexpr long kCalls = 200000;
  Outcome r = run_collected({QEL_CRASH_PROBE, "own-leave", std::to_string(kCalls)});
  ASSERT_TRUE(WIFEXITED(r.status)) << "status " << r.status << "\n" << r.out;
  EXPECT_EQ(WEXITSTATUS(r.status), 139);
  EXPECT_NE(r.out.find("own leave done\n"), std::string::npos) << r.out;
  expect_everything_delivered(r, kCalls, "SIGSEGV (signal 11)");
}

TEST(CrashDelivery, ProgramThatRecoversFromItsCrashKeepsDelivering) {
  // Half the calls before the crash, half after the handler's siglongjmp.
  constexpr long kCalls = 400000;
  Outcome r = run_collected({QEL_CRASH_PROBE, "recover", std::to_string(kCalls)});
  ASSERT_TRUE(WIFEXITED(r.status)) << "status " << r.status << "\n" << r.out;
  EXPECT_EQ(WEXITSTATUS(r.status), 0) << r.out;
  EXPECT_NE(r.out.find("crashing\nrecovered\n"), std::string::npos) << r.out;
  expect_everything_delivered(r, kCalls, "SIGSEGV (signal 11)");
}

TEST(LeaveDelivery, LeaveThenUnderscoreExitLosesNothing) {
  // Many distinct records: the leave operation has hundreds of kilobytes of messages to
  // get out of the process before _exit() ends it.
#if defined(__SANITIZE_THREAD__)
  // Ten times slower here: a bound of one second fits a tenth of the work.
  constexpr long kCalls = 200000;
  constexpr int kDistinct = 5000;
#else
  constexpr long kCalls = 2000000;
  constexpr int kDistinct = 20000;
#endif
  Outcome r =
      run_collected({QEL_CRASH_PROBE, "leave", std::to_string(kCalls), std::to_string(kDistinct)});
  ASSERT_TRUE(WIFEXITED(r.status)) << "status " << r.status << "\n" << r.out;
  EXPECT_EQ(WEXITSTATUS(r.status), 3);
  expect_everything_delivered(r, kCalls, "left on purpose", kDistinct);
  EXPECT_NE(property_texts(r, "Crash")[0].find("type:///assert\n"), std::string::npos);
}

TEST(LeaveDelivery, CxxLeaveOperationsThenUnderscoreExitLoseNothing) {
  Outcome r = run_collected({QEL_LEAVE_CXX_PROBE});
  ASSERT_TRUE(WIFEXITED(r.status)) << "status " << r.status << "\n" << r.out;
  EXPECT_EQ(WEXITSTATUS(r.status), 3) << r.out;
  std::map<int, uint64_t> counts = node_counts(messages(r, kNode));
  for (int node = 0; node < 5; ++node) EXPECT_EQ(counts[node], 400000u) << "node " << node;
  std::vector<std::string> crash = property_texts(r, "Crash");
  ASSERT_FALSE(crash.empty()) << "the crash report did not arrive\n" << r.out;
  EXPECT_NE(crash[0].find("cause:///SIGSEGV\n"), std::string::npos) << crash[0];
  std::vector<std::string> last = property_texts(r, "CrashLastDD");
  ASSERT_FALSE(last.empty());
  EXPECT_NE(last[0].find("7 4 0 0 0 1 0;"), std::string::npos) << last[0];
}

TEST(CApi, TestCaseEventsAndMethodTimingFromC) {
  Outcome r = run_collected({QEL_C_API_PROBE});
  ASSERT_TRUE(WIFEXITED(r.status)) << r.out;
  EXPECT_EQ(WEXITSTATUS(r.status), 0) << r.out;
  EXPECT_NE(r.out.find("create 1\nstart 1\nstop 1\ncreate 1\nstart 1\nstop 1\n"), std::string::npos)
      << r.out;
  std::vector<std::string> events;
  for (const Bytes& m : r.got[kEvents]) events.emplace_back(m.begin(), m.end());
  // A plain stop carries "0"; a stop with a verdict its digit (2 failed).
  EXPECT_EQ(events,
            (std::vector<std::string>{"0 tc_c", "1 0", "2 0", "0 tc_c_fails", "1 0", "2 2"}));
  EXPECT_NE(all_texts(r, kTiming).find("3 4 567"), std::string::npos) << all_texts(r, kTiming);
}

}  // namespace
