// The runtime as a program sees it when it ends and when several processes
// run at once: exit without waiting for an absent collector, value floods
// that cannot hang the program, QELMQ_CONFIG / QELMQ_TRACE, configuration
// and bind-failure traces, and every process's data collected exactly by
// `qelcollect -- COMMAND`.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zmq.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <utility>

#include "test_collector.h"

namespace {

using Clock = std::chrono::steady_clock;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr double kSlow = 6.0;  // sanitizer builds run several times slower
#else
constexpr double kSlow = 1.0;
#endif

struct Outcome {
  std::string out;
  int status = -1;
};

Outcome run(const std::string& cmd) {
  Outcome r;
  FILE* p = popen((cmd + " 2>&1 </dev/null").c_str(), "r");
  if (!p) return r;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof(buf), p)) > 0) r.out.append(buf, n);
  r.status = pclose(p);
  return r;
}

std::string scratch(const std::string& name) {
  return testing::TempDir() + "qel_exit_" + std::to_string(getpid()) + "_" + name;
}

void write_file(const std::string& path, const std::string& text) { std::ofstream(path) << text; }

std::string read_file(const std::string& path) {
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// The number after `"key":` in a JSON line, or -1.
long json_number(const std::string& line, const std::string& key) {
  std::size_t at = line.find("\"" + key + "\":");
  if (at == std::string::npos) return -1;
  at += key.size() + 3;
  while (at < line.size() && line[at] == ' ') ++at;
  return std::strtol(line.c_str() + at, nullptr, 10);
}

// Hit counts per (unit, node) summed over every node message of a --out file.
std::map<std::pair<int, int>, long> node_counts(const std::string& jsonl) {
  std::map<std::pair<int, int>, long> counts;
  std::istringstream in(jsonl);
  std::string line;
  while (std::getline(in, line)) {
    if (line.find("\"kind\":\"node\"") == std::string::npos &&
        line.find("\"kind\": \"node\"") == std::string::npos)
      continue;
    counts[{static_cast<int>(json_number(line, "unit")),
            static_cast<int>(json_number(line, "node"))}] += json_number(line, "count");
  }
  return counts;
}

// Runs `program args` with its standard error on a pipe; returns the exit
// status and the seconds from its "last-probe" line to its exit.
struct Flood {
  int status = -1;
  double after_last_probe = -1;
  std::string err;
};

Flood run_flood(const std::string& program, long records, pid_t collector, int kill_after_ms) {
  Flood f;
  int fds[2];
  if (pipe(fds) != 0) return f;
  pid_t pid = fork();
  if (pid == 0) {
    dup2(fds[1], 2);
    close(fds[0]);
    close(fds[1]);
    if (!freopen("/dev/null", "w", stdout)) _exit(126);
    execl(program.c_str(), program.c_str(), std::to_string(records).c_str(), nullptr);
    _exit(127);
  }
  close(fds[1]);
  auto started = Clock::now();
  bool killed = collector <= 0;
  Clock::time_point last_probe{};
  std::string text;
  char buf[4096];
  for (;;) {
    if (!killed && Clock::now() - started > std::chrono::milliseconds(kill_after_ms)) {
      kill(collector, SIGKILL);
      killed = true;
    }
    fd_set set;
    FD_ZERO(&set);
    FD_SET(fds[0], &set);
    timeval tv{0, 20000};
    if (select(fds[0] + 1, &set, nullptr, nullptr, &tv) <= 0) continue;
    ssize_t n = read(fds[0], buf, sizeof(buf));
    if (n <= 0) break;
    text.append(buf, static_cast<size_t>(n));
    if (last_probe == Clock::time_point{} && text.find("last-probe\n") != std::string::npos)
      last_probe = Clock::now();
  }
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  auto ended = Clock::now();
  if (!killed) kill(collector, SIGKILL);
  f.status = status;
  f.err = text;
  if (last_probe != Clock::time_point{})
    f.after_last_probe = std::chrono::duration<double>(ended - last_probe).count();
  return f;
}

TEST(RuntimeTrace, QelmqTraceZeroLeavesTheProgramsOwnOutputAlone) {
  Outcome r = run(std::string("QELMQ_TRACE=0 ") + QEL_HELLO);
  ASSERT_TRUE(WIFEXITED(r.status)) << r.out;
  EXPECT_EQ(WEXITSTATUS(r.status), 0);
  EXPECT_EQ(r.out, "hello from an instrumented program\n");
  // Any other value keeps the traces, as by default.
  Outcome on = run(std::string("QELMQ_TRACE=1 ") + QEL_HELLO);
  EXPECT_NE(on.out.find("renew thread_ins::v0::"), std::string::npos) << on.out;
}

TEST(RuntimeConfig, EnvironmentNamesTheFileAndUnusableLinesAreTraced) {
  const std::string cfg = scratch("bad.cfg");
  write_file(cfg,
             "# a comment line, not a key: config_ip=1.2.3.4\n"
             "   # indented comment\n"
             "\n"
             "colour=blue\n"
             "config_state 1\n"
             "no_mcdc=\n"
             "config_ip=127.0.0.1   # collector address\n"
             "no_mcdc=1\n");
  Outcome r = run("QELMQ_CONFIG=" + cfg + " " + QEL_HELLO);
  ASSERT_TRUE(WIFEXITED(r.status)) << r.out;
  EXPECT_NE(r.out.find("Current EXEPAth:" + cfg + "\n"), std::string::npos) << r.out;
  for (const std::string& line :
       {cfg + ":4: unknown key", cfg + ":5: no \"=\" in the line", cfg + ":6: no value after \"=\"",
        cfg + ":7: address longer than 15 characters"})
    EXPECT_NE(r.out.find("Server.cfg line ignored: " + line), std::string::npos) << line << "\n"
                                                                                 << r.out;
  // Comment lines are not reported, and reading stopped at the long address.
  EXPECT_EQ(r.out.find(":1: "), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find(":8: "), std::string::npos) << r.out;
  std::remove(cfg.c_str());
}

TEST(RuntimeConfig, APortTakenByAnotherProcessIsNamedWithTheReason) {
  void* ctx = zmq_ctx_new();
  void* holder = zmq_socket(ctx, ZMQ_PULL);
  ASSERT_EQ(zmq_bind(holder, "tcp://*:15555"), 0);
  Outcome r = run(QEL_HELLO);
  zmq_close(holder);
  zmq_ctx_term(ctx);
  EXPECT_EQ(WEXITSTATUS(r.status), 0) << r.out;
  EXPECT_NE(r.out.find("bind tcp://*:15555 failed: Address already in use::"), std::string::npos)
      << r.out;
  EXPECT_EQ(r.out.find("bind tcp://*:15556 failed"), std::string::npos) << r.out;
}

TEST(RuntimeNeverHangs, FiveMillionValueRecordsWithoutCollector) {
  Flood f = run_flood(QEL_VALUE_FLOOD, 5000000, -1, 0);
  ASSERT_TRUE(WIFEXITED(f.status)) << f.err;
  EXPECT_EQ(WEXITSTATUS(f.status), 0) << f.err;
  ASSERT_GE(f.after_last_probe, 0) << "the program never got past its probes\n" << f.err;
  EXPECT_LT(f.after_last_probe, 1.0 * kSlow) << f.err;
  std::printf("5,000,000 value records, no collector: exit %.3f s after the last probe\n",
              f.after_last_probe);
}

TEST(RuntimeNeverHangs, CollectorKilledInTheMiddleOfTheRun) {
  // qelcollect without a program connects to the ports the runtime binds.
  pid_t collector = fork();
  if (collector == 0) {
    if (!freopen("/dev/null", "w", stdout) || !freopen("/dev/null", "w", stderr)) _exit(126);
    execl(QELCOLLECT, QELCOLLECT, "--no-report", nullptr);
    _exit(127);
  }
  Flood f = run_flood(QEL_VALUE_FLOOD, 5000000, collector, 1000);
  waitpid(collector, nullptr, 0);
  ASSERT_TRUE(WIFEXITED(f.status)) << f.err;
  EXPECT_EQ(WEXITSTATUS(f.status), 0) << f.err;
  ASSERT_GE(f.after_last_probe, 0) << f.err;
  EXPECT_LT(f.after_last_probe, 1.0 * kSlow) << f.err;
  std::printf("collector killed after 1 s: exit %.3f s after the last probe\n", f.after_last_probe);
}

TEST(RuntimeNeverHangs, ACollectorThatConnectsLaterIsToldHowManyTextsWereDropped) {
  // 100 texts more than the queue and the stuck first send hold.
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(fds[1], 2);
    close(fds[0]);
    close(fds[1]);
    if (!freopen("/dev/null", "w", stdout)) _exit(126);
    execl(QEL_VALUE_FLOOD, QEL_VALUE_FLOOD, "3000100", "20000", nullptr);
    _exit(127);
  }
  close(fds[1]);
  std::string err;
  char buf[256];
  ssize_t n;
  while (err.find("last-probe\n") == std::string::npos && (n = read(fds[0], buf, sizeof(buf))) > 0)
    err.append(buf, static_cast<size_t>(n));
  ASSERT_NE(err.find("last-probe\n"), std::string::npos) << err;
  // Now a collector comes: the first text that goes out brings the count.
  std::string told;
  {
    qel_test::TestCollector c({15559, 15561});
    std::string text;
    auto until = Clock::now() + std::chrono::seconds(static_cast<int>(10 * kSlow));
    while (told.empty() && Clock::now() < until)
      if (c.recv_text(15559, text, 200) && text.find("records dropped") != std::string::npos)
        told = text;
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  close(fds[0]);
  ASSERT_EQ(told.substr(0, 4), ":///") << told;
  const std::string prefix = ":///value records dropped, no collector connected: ";
  ASSERT_EQ(told.compare(0, prefix.size(), prefix), 0) << told;
  long dropped = std::strtol(told.c_str() + prefix.size(), nullptr, 10);
  EXPECT_GE(dropped, 100) << told;
  EXPECT_LE(dropped, 101) << told;
}

TEST(ParallelProcesses, FourProcessesAtOnceUnderQelcollectCountExactly) {
  const std::string out = scratch("four.jsonl");
  const std::string p = QEL_NODE_COUNTER;
  const std::string cmd = std::string(QELCOLLECT) + " --no-report --out " + out + " -- sh -c '" +
                          p + " 1 40000 8 & " + p + " 2 40000 8 & " + p + " 3 40000 8 & " + p +
                          " 4 40000 8 & wait'";
  Outcome r = run(cmd);
  ASSERT_TRUE(WIFEXITED(r.status)) << r.out;
  EXPECT_EQ(WEXITSTATUS(r.status), 0) << r.out;
  EXPECT_EQ(r.out.find("failed"), std::string::npos) << "no process may lose its ports\n" << r.out;
  auto counts = node_counts(read_file(out));
  ASSERT_EQ(counts.size(), 4u * 8u) << r.out;
  for (int unit = 1; unit <= 4; ++unit)
    for (int node = 0; node < 8; ++node)
      EXPECT_EQ((counts[{unit, node}]), 5000) << "unit " << unit << " node " << node;
  std::remove(out.c_str());
}

TEST(ParallelProcesses, FiftyForkedChildrenUnderQelcollectCountExactly) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "ThreadSanitizer cannot start threads in the child of a multi-threaded fork";
#elif defined(__SANITIZE_ADDRESS__)
  // gcc 12's ASan allocator takes no lock across fork(): a child forked while
  // one of the parent's threads allocates waits for that lock for ever.
  GTEST_SKIP() << "AddressSanitizer's allocator is not fork-safe in a multi-threaded parent";
#endif
  const std::string out = scratch("fifty.jsonl");
  Outcome r = run(std::string(QELCOLLECT) + " --no-report --out " + out + " -- " +
                  QEL_NODE_COUNTER + " fork 50 3000 3");
  ASSERT_TRUE(WIFEXITED(r.status)) << r.out;
  EXPECT_EQ(WEXITSTATUS(r.status), 0) << r.out;
  auto counts = node_counts(read_file(out));
  EXPECT_EQ(counts.size(), 50u * 3u) << r.out;
  for (int child = 0; child < 50; ++child)
    for (int node = 0; node < 3; ++node)
      EXPECT_EQ((counts[{100 + child, node}]), 1000) << "child " << child << " node " << node;
  std::remove(out.c_str());
}

}  // namespace
