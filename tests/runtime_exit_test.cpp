// The runtime as a program sees it when it ends and when several processes
// run at once: a bounded wait for a collector at exit, value floods that
// cannot hang the program, QELMQ_CONFIG / QELMQ_TRACE / QELMQ_COLLECTOR_WAIT_MS,
// configuration and bind-failure traces, delivery to a collector that
// connects to a program in bind mode, the spool, and every process's data
// collected exactly by `qelcollect -- COMMAND`, also on a loaded machine.
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
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <utility>

#include "cpu_hog.h"
#include "program_run.h"
#include "spool.hpp"
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

// Lines of a saved run that hold `needle`.
int lines_with(const std::string& jsonl, const std::string& needle) {
  int n = 0;
  std::istringstream in(jsonl);
  for (std::string line; std::getline(in, line);) n += line.find(needle) != std::string::npos;
  return n;
}

// The number after `"key":` in a JSON line, or -1.
long json_number(const std::string& line, const std::string& key) {
  std::size_t at = line.find("\"" + key + "\":");
  if (at == std::string::npos) return -1;
  at += key.size() + 3;
  while (at < line.size() && line[at] == ' ') ++at;
  return std::strtol(line.c_str() + at, nullptr, 10);
}

// Sets an environment variable for the programs a test starts, and puts the
// old value back.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old, had_ = true;
    setenv(name, value.c_str(), 1);
  }
  ~ScopedEnv() {
    if (had_)
      setenv(name_, old_.c_str(), 1);
    else
      unsetenv(name_);
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  const char* name_;
  std::string old_;
  bool had_ = false;
};

// Every byte value, lines of varying length: what a filter must pass on
// untouched. 10,000 bytes: two full blocks of filter_probe and one of 1,808.
std::string filter_input() {
  std::string s;
  for (int i = 0; s.size() < 10000; ++i) {
    s += static_cast<char>(i % 256);
    if (i % 97 == 0) s += '\n';
  }
  s.resize(10000);
  return s;
}
constexpr int kFilterBlocks = 3;

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

// The pids that the node messages of each unit came from, read from their
// origin (the connection's name; the pid alone for a spooled message).
std::map<int, std::set<std::string>> node_origin_pids(const std::string& jsonl) {
  std::map<int, std::set<std::string>> pids;
  std::istringstream in(jsonl);
  const std::string key = "\"origin\":\"";
  for (std::string line; std::getline(in, line);) {
    const std::size_t at = line.find(key);
    if (line.find("\"kind\":\"node\"") == std::string::npos || at == std::string::npos) continue;
    const std::size_t from = at + key.size();
    pids[static_cast<int>(json_number(line, "unit"))].insert(
        line.substr(from, line.find_first_of("/\"", from) - from));
  }
  return pids;
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

// Where the traces go: standard error by default, never standard output
// unless asked for, a file when QELMQ_TRACE names one.
TEST(RuntimeTrace, TracesGoToStandardErrorToAFileOrWhereAsked) {
  ScopedEnv no_wait("QELMQ_COLLECTOR_WAIT_MS", "0");
  const std::string hello = "hello from an instrumented program\n";
  qel_test::ProgramResult plain = qel_test::RunProgram(QEL_HELLO, {});
  EXPECT_EQ(plain.out, hello);
  EXPECT_NE(plain.err.find("renew thread_ins::v0::"), std::string::npos) << plain.err;
  EXPECT_NE(plain.err.find("~~~~QelExit_end()::"), std::string::npos) << plain.err;

  const std::string file = scratch("traces.txt");
  std::remove(file.c_str());
  {
    ScopedEnv to_file("QELMQ_TRACE", file);
    qel_test::ProgramResult r = qel_test::RunProgram(QEL_HELLO, {});
    EXPECT_EQ(r.out, hello);
    EXPECT_EQ(r.err, "") << "every trace went to the file";
    // A second process appends to the same file.
    qel_test::RunProgram(QEL_HELLO, {});
  }
  const std::string traced = read_file(file);
  std::size_t first = traced.find("renew thread_ins::v0::");
  ASSERT_NE(first, std::string::npos) << traced;
  EXPECT_NE(traced.find("renew thread_ins::v0::", first + 1), std::string::npos) << traced;
  EXPECT_NE(traced.find("~~~~QelExit_end()::"), std::string::npos) << traced;
  std::remove(file.c_str());

  {
    ScopedEnv old_channel("QELMQ_TRACE", "stdout");
    qel_test::ProgramResult r = qel_test::RunProgram(QEL_HELLO, {});
    EXPECT_NE(r.out.find("renew thread_ins::v0::"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(hello), std::string::npos) << r.out;
    EXPECT_EQ(r.err, "");
  }
  {
    ScopedEnv unwritable("QELMQ_TRACE", "/nonexistent-dir/traces.txt");
    qel_test::ProgramResult r = qel_test::RunProgram(QEL_HELLO, {});
    EXPECT_EQ(r.out, hello);
    EXPECT_NE(r.err.find("QELMQ_TRACE file cannot be opened, traces go to standard error: "
                         "/nonexistent-dir/traces.txt: "),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("renew thread_ins::v0::"), std::string::npos) << r.err;
  }
}

// A filter (cat) instrumented and run under the collector passes its input
// on byte for byte, and its data arrives.
TEST(RuntimeTrace, AFilterUnderTheCollectorGivesByteIdenticalOutput) {
  const std::string input = filter_input();
  const std::string out = scratch("filter.jsonl");
  qel_test::ProgramResult r = qel_test::RunProgram(
      QELCOLLECT, {"--no-report", "--out", out, "--", QEL_FILTER_PROBE}, input);
  ASSERT_TRUE(r.exited) << r.err;
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_TRUE(r.out == input) << "output differs from the input: " << r.out.size() << " bytes of "
                              << input.size();
  auto counts = node_counts(read_file(out));
  EXPECT_EQ((counts[{9, 1}]), kFilterBlocks);
  EXPECT_EQ((counts[{9, 2}]), 1);
  std::remove(out.c_str());
}

// Bind mode, no collector: the exit waits for one at most the bound, counted
// from the runtime's start, and names what it dropped.
TEST(CollectorWait, WithoutCollectorTheBoundHoldsAndTheDropIsNamed) {
  struct Case {
    const char* env;          // QELMQ_COLLECTOR_WAIT_MS, or null
    const char* file_key;     // a collector_wait_ms line, or null
    const char* bound_shown;  // as the trace gives it
    bool env_rejected;
  };
  const Case cases[] = {
      {"0", nullptr, "0", false},
      {"300", nullptr, "300", false},
      {nullptr, "collector_wait_ms = 250", "250", false},
      {"120", "collector_wait_ms=900", "120", false},  // the variable wins
      {"soon", nullptr, "500", true},                  // rejected: the default
  };
  const std::string cfg = scratch("wait.cfg");
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string("env ") + (c.env ? c.env : "-") + ", file " +
                 (c.file_key ? c.file_key : "-"));
    write_file(cfg, std::string("no_mcdc=0\n") + (c.file_key ? c.file_key : "") + "\n");
    ScopedEnv config("QELMQ_CONFIG", cfg);
    std::unique_ptr<ScopedEnv> wait;
    if (c.env) wait.reset(new ScopedEnv("QELMQ_COLLECTOR_WAIT_MS", c.env));
    const auto t0 = Clock::now();
    qel_test::ProgramResult r = qel_test::RunProgram(QEL_HELLO, {});
    const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    ASSERT_TRUE(r.exited) << r.err;
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "hello from an instrumented program\n");
    // qel_hello records two nodes, one condition and its decision.
    EXPECT_NE(r.err.find(std::string("messages dropped, no collector connected within ") +
                         c.bound_shown + " ms of the start: node 2, condition 1, mcdc 1"),
              std::string::npos)
        << r.err;
    const std::size_t rejected = r.err.find(
        "QELMQ_COLLECTOR_WAIT_MS ignored: not a number of milliseconds from 0 to 60000::");
    EXPECT_EQ(rejected != std::string::npos, c.env_rejected) << r.err;
    // Bounded: a hang would run into seconds.
    EXPECT_LT(seconds, 3.0 * kSlow) << r.err;
  }
  std::remove(cfg.c_str());
}

// Values and timings a sender had taken from its queue when the shutdown
// gave up on the collector are counted too, not lost without a word.
TEST(CollectorWait, EveryKindOfRecordDroppedIsCounted) {
  ScopedEnv no_wait("QELMQ_COLLECTOR_WAIT_MS", "0");
  const std::string input = filter_input();
  qel_test::ProgramResult r = qel_test::RunProgram(QEL_FILTER_PROBE, {}, input);
  ASSERT_TRUE(r.exited) << r.err;
  EXPECT_TRUE(r.out == input);
  EXPECT_NE(r.err.find("value records dropped, no collector connected: 3::"), std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("timing records dropped, no collector connected: 3::"), std::string::npos)
      << r.err;
  const std::size_t line = r.err.find("messages dropped, no collector connected within 0 ms");
  ASSERT_NE(line, std::string::npos) << r.err;
  const std::string listing = r.err.substr(line, r.err.find('\n', line) - line);
  for (const char* kind : {"node 2", "condition 1", "mcdc 1", "value 3", "timing 3"})
    EXPECT_NE(listing.find(kind), std::string::npos) << kind << " in " << listing;
}

// Bind mode, the runtime's default: a collector written apart from
// qelcollect (Python), whose sockets connect before the program starts and
// retry at ZeroMQ's default interval, gets everything of three short runs.
TEST(CollectorWait, ACollectorConnectingBeforeTheProgramGetsEverything) {
  unsetenv("QELMQ_CONFIG");
  int to_child[2], from_child[2];
  ASSERT_EQ(pipe(to_child), 0);
  ASSERT_EQ(pipe(from_child), 0);
  pid_t collector = fork();
  if (collector == 0) {
    dup2(to_child[0], 0);
    dup2(from_child[1], 1);
    close(to_child[1]);
    close(from_child[0]);
    execl(QEL_PYTHON3, QEL_PYTHON3, QEL_BIND_COLLECTOR, nullptr);
    _exit(127);
  }
  close(to_child[0]);
  close(from_child[1]);
  FILE* results = fdopen(from_child[0], "r");
  ASSERT_NE(results, nullptr);
  char line[256];
  ASSERT_NE(std::fgets(line, sizeof(line), results), nullptr)
      << "the Python collector did not start";
  ASSERT_STREQ(line, "ready\n");
  // Its connections are refused now and retried every 100-200 ms.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const std::string input = filter_input();
  for (int run = 0; run < 3; ++run) {
    qel_test::ProgramResult r = qel_test::RunProgram(QEL_FILTER_PROBE, {}, input);
    ASSERT_TRUE(r.exited) << r.err;
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_TRUE(r.out == input);
    EXPECT_EQ(r.err.find("messages dropped"), std::string::npos) << "run " << run << "\n" << r.err;
  }
  close(to_child[1]);  // end of the collection
  std::map<std::string, long> got;
  while (std::fgets(line, sizeof(line), results)) {
    std::istringstream in(line);
    std::string kind, a, b, c;
    in >> kind >> a >> b >> c;
    got[kind + " " + a + (c.empty() ? "" : " " + b)] =
        std::strtol((c.empty() ? b : c).c_str(), nullptr, 10);
  }
  std::fclose(results);
  int status = 0;
  waitpid(collector, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  const long blocks = 3 * kFilterBlocks;
  EXPECT_EQ(got["node 9 1"], blocks);
  EXPECT_EQ(got["node 9 2"], 3);
  EXPECT_EQ(got["sum node"], blocks + 3);
  EXPECT_EQ(got["sum condition"], blocks);
  EXPECT_EQ(got["sum mcdc"], blocks);
  EXPECT_EQ(got["messages value"], blocks);
  EXPECT_EQ(got["messages timing"], blocks);
  // Each run's leak report at exit: a header line and "no block" line, at least.
  EXPECT_GE(got["messages property"], 3 * 2);
}

// Connect mode with a spool (as qelcollect configures the programs it
// starts) and nobody listening: after a short grace everything the process
// recorded is in its spool file, counts exact.
TEST(Spool, WhatNoSocketTookIsInTheSpoolExactly) {
  const std::string dir = scratch("spool");
  ASSERT_EQ(system(("rm -rf '" + dir + "' && mkdir -p '" + dir + "'").c_str()), 0);
  const std::string cfg = scratch("spool.cfg");
  // 127.0.0.2: loopback, but nobody listens there.
  write_file(cfg, "config_ip=127.0.0.2\nconfig_state=1\nspool_dir=" + dir + "\n");
  ScopedEnv config("QELMQ_CONFIG", cfg);
  const std::string input = filter_input();
  qel_test::ProgramResult r = qel_test::RunProgram(QEL_FILTER_PROBE, {}, input);
  ASSERT_TRUE(r.exited) << r.err;
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_TRUE(r.out == input);
  EXPECT_NE(r.err.find("messages spooled for the collector ("), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("messages dropped"), std::string::npos) << r.err;

  std::map<std::pair<int, int>, long> nodes;
  long cond = 0, mcdc = 0, values = 0, timings = 0, leak = 0, bad = 0;
  qelc::SpoolResult s = qelc::readSpool(
      dir, 1 << 20,
      [&](qelc::Message&& m) {
        if (auto* n = std::get_if<qelc::NodeMsg>(&m.body)) nodes[{n->unit, n->node}] += n->count;
        if (auto* c = std::get_if<qelc::CondMsg>(&m.body)) cond += c->count;
        if (auto* d = std::get_if<qelc::McdcMsg>(&m.body)) mcdc += d->count;
        if (std::holds_alternative<qelc::ValueRecord>(m.body)) ++values;
        if (std::holds_alternative<qelc::TimingMsg>(m.body)) ++timings;
        if (std::holds_alternative<qelc::PropertyMsg>(m.body)) ++leak;
        if (std::holds_alternative<qelc::Malformed>(m.body)) ++bad;
      },
      true);
  EXPECT_EQ(s.files, 1u);
  EXPECT_EQ(s.damaged, 0u);
  EXPECT_EQ(bad, 0);
  EXPECT_EQ((nodes[{9, 1}]), kFilterBlocks);
  EXPECT_EQ((nodes[{9, 2}]), 1);
  EXPECT_EQ(cond, kFilterBlocks);
  EXPECT_EQ(mcdc, kFilterBlocks);
  EXPECT_EQ(values, kFilterBlocks);
  EXPECT_EQ(timings, kFilterBlocks);
  EXPECT_GE(leak, 2);
  std::remove(cfg.c_str());
  ASSERT_EQ(system(("rm -rf '" + dir + "'").c_str()), 0);
}

// Under qelcollect: processes that cannot reach it (here told another
// address) spool, and the collector adds the spool to the run, exactly,
// leaving no file behind.
TEST(Spool, QelcollectAddsTheSpoolOfProcessesThatCouldNotReachIt) {
  const std::string tmp = scratch("tmpdir");
  const std::string out = scratch("spooled.jsonl");
  ASSERT_EQ(system(("rm -rf '" + tmp + "' && mkdir -p '" + tmp + "'").c_str()), 0);
  ScopedEnv tmpdir("TMPDIR", tmp);
  const std::string cfg = tmp + "/elsewhere.cfg";
  const std::string p = QEL_NODE_COUNTER;
  Outcome r = run(std::string(QELCOLLECT) + " --no-report --out " + out +
                  " -- sh -c 'sed s/127.0.0.1/127.0.0.2/ \"$QELMQ_CONFIG\" > " + cfg +
                  " && QELMQ_CONFIG=" + cfg + " " + p + " 5 3000 3 && " + p + " 6 300 3'");
  ASSERT_TRUE(WIFEXITED(r.status)) << r.out;
  EXPECT_EQ(WEXITSTATUS(r.status), 0) << r.out;
  auto counts = node_counts(read_file(out));
  for (int node = 0; node < 3; ++node) {
    EXPECT_EQ((counts[{5, node}]), 1000) << "spooled, node " << node;
    EXPECT_EQ((counts[{6, node}]), 100) << "reached the collector, node " << node;
  }
  std::remove(cfg.c_str());
  // The run's directory, its configuration and spool are gone.
  Outcome left = run("ls -A '" + tmp + "'");
  EXPECT_EQ(left.out, "") << left.out;
  std::remove(out.c_str());
  ASSERT_EQ(system(("rm -rf '" + tmp + "'").c_str()), 0);
}

// A short process under qelcollect opens no socket: everything, its start
// and end included, reaches the collector through its spool, counts exact,
// and ZeroMQ is never loaded into it. One that wanted a socket while it ran
// (a leak report) keeps its sockets, and its counts are as exact.
TEST(ShortProcess, UnderQelcollectCountsArriveExactlyWithoutZeroMQ) {
  const std::string out = scratch("short.jsonl");
  const std::string p = QEL_SHORT_PROBE;
  Outcome r = run(std::string(QELCOLLECT) + " --no-report --out " + out + " -- sh -c '" + p +
                  " 31 300 && " + p + " 32 300 leak'");
  ASSERT_TRUE(WIFEXITED(r.status)) << r.out;
  EXPECT_EQ(WEXITSTATUS(r.status), 0) << r.out;
  const std::size_t first = r.out.find("zeromq not loaded\n");
  EXPECT_NE(first, std::string::npos) << r.out;
  EXPECT_NE(r.out.find("zeromq loaded\n"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("messages dropped"), std::string::npos) << r.out;
  const std::string saved = read_file(out);
  auto counts = node_counts(saved);
  for (int node = 0; node < 3; ++node) {
    EXPECT_EQ((counts[{31, node}]), 100) << "spooled only, node " << node;
    EXPECT_EQ((counts[{32, node}]), 100) << "with sockets, node " << node;
  }
  EXPECT_EQ(lines_with(saved, "\"process-start pid="), 2);
  EXPECT_EQ(lines_with(saved, "\"process-end pid="), 2);
  std::remove(out.c_str());
}

// Killed a few milliseconds in, long before its senders would start: the
// start it put in its spool at its bootstrap is all there is of it, and the
// run names it as a process that never finished.
TEST(ShortProcess, KilledBeforeItsFirstSendIsStillNamed) {
  const std::string p = QEL_SHORT_PROBE;
  Outcome r = run(std::string(QELCOLLECT) + " --no-report -- sh -c '" + p + " 33 30 kill; true'");
  ASSERT_TRUE(WIFEXITED(r.status)) << r.out;
  EXPECT_EQ(WEXITSTATUS(r.status), 10) << r.out;
  EXPECT_NE(r.out.find("its end never arrived"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("short_probe"), std::string::npos) << r.out;
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

// Every test of several processes at once runs beside busy loops, one per
// core: counts must be exact on a loaded machine too.
class ParallelProcesses : public testing::Test {
 protected:
  qel_test::CpuHog hog_;
};

TEST_F(ParallelProcesses, FourProcessesAtOnceUnderQelcollectCountExactly) {
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

TEST_F(ParallelProcesses, FiftyForkedChildrenUnderQelcollectCountExactly) {
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
  const std::string saved = read_file(out);
  auto counts = node_counts(saved);
  EXPECT_EQ(counts.size(), 50u * 3u) << r.out;
  for (int child = 0; child < 50; ++child)
    for (int node = 0; node < 3; ++node)
      EXPECT_EQ((counts[{100 + child, node}]), 1000) << "child " << child << " node " << node;
  // Each child is a stream of its own beside the parent's, each announced
  // and ended (the exit status 0 above says nothing of them went missing).
  EXPECT_EQ(lines_with(saved, "\"process-start pid="), 51);
  EXPECT_EQ(lines_with(saved, "\"process-end pid="), 51);
  // And each child's connections name the child, not the parent whose
  // runtime it inherited.
  std::set<std::string> children;
  for (const auto& [unit, pids] : node_origin_pids(saved)) {
    EXPECT_EQ(pids.size(), 1u) << "unit " << unit;
    children.insert(pids.begin(), pids.end());
  }
  EXPECT_EQ(children.size(), 50u);
  std::remove(out.c_str());
}

// 200 processes started at once on the shared machine, beside the busy
// loops: each connects, or spools what its connections could not take in
// time, and the collector counts every hit.
TEST_F(ParallelProcesses, TwoHundredProcessesAtOnceUnderQelcollectCountExactly) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  constexpr int kProcesses = 40;  // a sanitized process costs ten times more
#else
  constexpr int kProcesses = 200;
#endif
  const std::string out = scratch("two_hundred.jsonl");
  const std::string cmd = std::string(QELCOLLECT) + " --no-report --out " + out +
                          " -- sh -c 'i=0; while [ $i -lt " + std::to_string(kProcesses) +
                          " ]; do " + QEL_NODE_COUNTER +
                          " $((1000 + i)) 2000 4 & i=$((i + 1)); done; wait'";
  const auto t0 = Clock::now();
  Outcome r = run(cmd);
  const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
  ASSERT_TRUE(WIFEXITED(r.status)) << r.out;
  EXPECT_EQ(WEXITSTATUS(r.status), 0) << r.out.substr(0, 4000);
  EXPECT_EQ(r.out.find("messages dropped"), std::string::npos) << r.out.substr(0, 4000);
  auto counts = node_counts(read_file(out));
  EXPECT_EQ(counts.size(), static_cast<std::size_t>(kProcesses) * 4u);
  long wrong = 0;
  for (int i = 0; i < kProcesses; ++i)
    for (int node = 0; node < 4; ++node)
      if (counts[{1000 + i, node}] != 500) ++wrong;
  EXPECT_EQ(wrong, 0) << "of " << kProcesses * 4 << " nodes";
  std::printf("%d processes at once under qelcollect beside %ld busy loops: %.2f s\n", kProcesses,
              hog_.loops(), seconds);
  std::remove(out.c_str());
}

}  // namespace
