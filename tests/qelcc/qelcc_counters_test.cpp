// Counters in the program across threads and processes: programs built
// through qelcc (counters, the default) and run under the collector must
// deliver exactly what they ran: eight threads at once, threads that end
// and hand their blocks over, fork (each process sends only its own
// counts), exec (counts made before it, also when it fails), dlclose (a
// library's counts before it unloads) and a crash in the middle of a loop.
#include <gtest/gtest.h>

#include "qelcc_support.h"

using namespace qelcc_test;

namespace {

const std::string kQelcc = QELCC_EXE;
const std::string kCollect = QELCOLLECT_EXE;
const std::string kSan = QEL_FIXTURE_FLAGS;
const std::string kSources = std::string(QELCC_FIXTURES) + "/counters/";

class Counters : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = NewDir(std::string("counters_") +
                  ::testing::UnitTest::GetInstance()->current_test_info()->name());
  }
  void TearDown() override {
    if (!HasFailure()) Sh("rm -rf '" + dir_ + "'");
  }
  // Builds `source` (and more arguments) through qelcc into `out`.
  void Build(const std::string& args, const std::string& out, const std::string& cc = "gcc") {
    std::string log;
    ASSERT_EQ(Sh("cd '" + dir_ + "' && QELCC_STRICT=1 QELCC_MAP_DIR=maps " + kQelcc + " " + cc +
                     " -O2 -Wall -Wextra -Werror " + kSan + " " + args + " -o " + out,
                 &log),
              0)
        << log;
    EXPECT_EQ(log, "") << "the instrumented build printed diagnostics";
  }
  // Runs `command` under the collector; its exit status, output in *out.
  int Collect(const std::string& command, std::string* out) {
    return Sh("cd '" + dir_ + "' && " + kCollect + " --out run.jsonl --no-report --timeout 120 -- " +
                  command + " 2>err",
              out);
  }
  Counts Run() const { return ReadCounts(dir_ + "/run.jsonl"); }

  // The unit of the map whose source is `file`, and the map.
  std::pair<int, Json::Value> MapOf(const std::string& file) const {
    for (const auto& [unit, doc] : MapsIn(dir_ + "/maps"))
      if (doc["source"].asString().find(file) != std::string::npos) return {unit, doc};
    ADD_FAILURE() << "no map for " << file;
    return {0, Json::Value()};
  }
  // Calls of function `fn` of `file`.
  long Calls(const Counts& c, const std::string& file, const std::string& fn) const {
    auto [unit, doc] = MapOf(file);
    for (const Json::Value& f : doc["functions"])
      if (f["name"].asString() == fn) return c.Node(unit, f["entry_node"].asInt());
    ADD_FAILURE() << "no function " << fn << " in " << file;
    return -1;
  }
  // True and false counts of the decisions whose text is `text`, added up.
  std::pair<long, long> Outcomes(const Counts& c, const std::string& file,
                                 const std::string& text) const {
    auto [unit, doc] = MapOf(file);
    std::pair<long, long> sum{0, 0};
    bool found = false;
    for (const Json::Value& d : doc["decisions"]) {
      if (d["text"].asString() != text) continue;
      found = true;
      sum.first += c.Cond(unit, d["cond_id"].asInt(), true);
      sum.second += c.Cond(unit, d["cond_id"].asInt(), false);
    }
    if (!found) ADD_FAILURE() << "no decision " << text << " in " << file;
    return sum;
  }
  // Each counted unit announced its identity, the one its map carries.
  void IdentitiesAnnounced() const {
    std::istringstream run(ReadFile(dir_ + "/run.jsonl"));
    std::map<int, std::set<std::string>> seen;
    std::string line;
    while (std::getline(run, line)) {
      Json::Value m = ParseJson(line);
      if (m["kind"].asString() == "unit") seen[m["unit"].asInt()].insert(m["identity"].asString());
    }
    for (const auto& [unit, doc] : MapsIn(dir_ + "/maps")) {
      if (doc["functions"].empty()) continue;
      EXPECT_EQ(seen[unit], std::set<std::string>{doc["identity"].asString()}) << unit;
    }
  }

  // Builds threads.c with `flags`, runs it and checks every count exactly.
  void ThreadsCountExactly(const std::string& flags, const std::string& cc = "gcc") {
    Build(kSources + "threads.c -pthread " + flags, "threads", cc);
    std::string out;
    ASSERT_EQ(Collect("./threads", &out), 0) << out;
    EXPECT_NE(out.find("1200000"), std::string::npos) << out;
    const Counts c = Run();
    EXPECT_EQ(Calls(c, "threads.c", "work"), 3 * 8 * 200000);
    EXPECT_EQ(Calls(c, "threads.c", "run"), 24);
    EXPECT_EQ(Outcomes(c, "threads.c", "(i & 1) && (i & 2)"), std::make_pair(1200000L, 3600000L));
    EXPECT_EQ(Outcomes(c, "threads.c", "i < n"), std::make_pair(4800000L, 24L));
    IdentitiesAnnounced();
  }

  std::string dir_;
};

TEST_F(Counters, EightThreadsAtOnceAndTheirSuccessorsCountExactly) { ThreadsCountExactly(""); }

TEST_F(Counters, EveryIncrementAndEntryFormCountsExactly) {
  // -masm=intel: the increments in Intel syntax (a path counter's index
  // register too) and the entry in C; -flto: the entry in C; -O0: the
  // increments as gcc leaves them unoptimised.
  for (const char* form : {"-masm=intel", "-flto", "-O0"}) {
    SCOPED_TRACE(form);
    ThreadsCountExactly(form);
    Sh("cd '" + dir_ + "' && rm -rf maps run.jsonl threads");
  }
  // clang at -O0: volatile increments, each a load and a store.
  if (kSan.empty() && Sh("command -v clang-19 >/dev/null") == 0) {
    SCOPED_TRACE("clang-19 -O0");
    ThreadsCountExactly("-O0", "clang-19");
  }
}

TEST_F(Counters, AThreadsFirstCallKeepsEveryArgumentAndCountsIt) {
  // Each thread enters registers_lib.c first through mix(): the thread's
  // counters are fetched while every argument register is live.
  Build(kSources + "registers.c " + kSources + "registers_lib.c -pthread -lm", "registers");
  std::string out;
  ASSERT_EQ(Collect("./registers", &out), 0) << out;
  EXPECT_NE(out.find("9 of 9 right"), std::string::npos) << out;
  const Counts c = Run();
  EXPECT_EQ(Calls(c, "registers_lib.c", "mix"), 9);
  EXPECT_EQ(Calls(c, "registers_lib.c", "dot"), 9);
  EXPECT_EQ(Outcomes(c, "registers_lib.c", "i < n"), std::make_pair(45L, 9L));
  IdentitiesAnnounced();
}

TEST_F(Counters, ForkedChildrenSendOnlyWhatTheyRun) {
  // gcc 12's AddressSanitizer does not make its allocator safe across
  // fork(): a child forked while another thread allocates hangs in it.
  if (kSan.find("address") != std::string::npos)
    GTEST_SKIP() << "AddressSanitizer's allocator is not fork-safe in gcc 12";
  if (kSan.find("thread") != std::string::npos)
    GTEST_SKIP() << "ThreadSanitizer cannot start threads in the child of a multi-threaded fork";
  // -O0: each function's entry written out in place of the helper's call.
  for (const char* level : {"-O2", "-O0"}) {
    SCOPED_TRACE(level);
    Sh("cd '" + dir_ + "' && rm -rf maps run.jsonl fork");
    Build(kSources + "fork.c " + level, "fork");
    std::string out;
    ASSERT_EQ(Collect("./fork", &out), 0) << out;
    const Counts c = Run();
    // 100 before the forks (the parent's alone), 10 in the first child, 1000
    // in the parent afterwards.
    EXPECT_EQ(Calls(c, "fork.c", "f"), 1110);
    EXPECT_EQ(Calls(c, "fork.c", "main"), 1);
    EXPECT_EQ(Outcomes(c, "fork.c", "i < 10"), std::make_pair(10L, 1L));
    // The second child entered no function after the fork.
    EXPECT_EQ(Outcomes(c, "fork.c", "i < 7"), std::make_pair(7L, 1L));
    // Two forks, each `if (p == 0)` true in its child and false in the parent.
    EXPECT_EQ(Outcomes(c, "fork.c", "p == 0"), std::make_pair(2L, 2L));
    EXPECT_EQ(Outcomes(c, "fork.c", "i < 100"), std::make_pair(100L, 1L));
    IdentitiesAnnounced();
  }
}

TEST_F(Counters, ExecDeliversTheCountsMadeBeforeIt) {
  Build(kSources + "exec.c", "exec");
  std::string out;
  // The program ends as the shell it executes: status 0.
  ASSERT_EQ(Collect("./exec", &out), 0) << out;
  EXPECT_NE(out.find("exec failed: ENOENT"), std::string::npos) << out;
  const Counts c = Run();
  EXPECT_EQ(Calls(c, "exec.c", "f"), 55);
  EXPECT_EQ(Calls(c, "exec.c", "main"), 1);
}

TEST_F(Counters, DlcloseDeliversTheLibrarysCounts) {
  Build("-shared -fPIC " + kSources + "lib.c", "liblib.so");
  Build(kSources + "dlclose.c -ldl", "dlclose");
  std::string out;
  ASSERT_EQ(Collect("./dlclose ./liblib.so", &out), 0) << out;
  const Counts c = Run();
  EXPECT_EQ(Calls(c, "lib.c", "g"), 50);
  EXPECT_EQ(Outcomes(c, "lib.c", "x > 3"), std::make_pair(42L, 8L));
  EXPECT_EQ(Calls(c, "dlclose.c", "use"), 2);
  IdentitiesAnnounced();
}

TEST_F(Counters, CrashInTheMiddleOfALoopDeliversEveryCountBeforeIt) {
  // The null store is the crash: the undefined-behaviour sanitizer must not
  // stop the program before it happens.
  Build(kSources + "crash.c -fno-sanitize=null", "crash");
  std::string out;
  EXPECT_EQ(Collect(std::string(kPlainSignals) + "./crash", &out), 139) << out;
  const Counts c = Run();
  EXPECT_EQ(Calls(c, "crash.c", "h"), 654322);
  EXPECT_EQ(Outcomes(c, "crash.c", "i == 654321"), std::make_pair(1L, 654321L));
  EXPECT_EQ(Outcomes(c, "crash.c", "i < 1000000"), std::make_pair(654322L, 0L));
}

TEST_F(Counters, ACrashInALoadTheCompilerMovesUpArrivesAfterTheCountsBeforeIt) {
  // Both arms load *p, which gcc may do once before the branch; at -O2, at
  // -O0 and in a function asking for -O2 at -O0, the crash must still come
  // after the decision and the arm it took.
  for (const char* level : {"-O2", "-O0", "-O0 -DOPTIMIZED"}) {
    SCOPED_TRACE(level);
    Build(kSources + "crash_load.c -fno-sanitize=null " + level, "crash_load");
    std::string out;
    EXPECT_EQ(Collect(std::string(kPlainSignals) + "./crash_load", &out), 139) << out;
    const Counts c = Run();
    EXPECT_EQ(Calls(c, "crash_load.c", "at"), 654322);
    EXPECT_EQ(Outcomes(c, "crash_load.c", "c"), std::make_pair(1L, 654321L));
    Sh("cd '" + dir_ + "' && rm -rf maps run.jsonl crash_load");
  }
}

TEST_F(Counters, SetjmpAndVforkKeepTheBlockAtEveryLevel) {
  // -Wextra -Werror: no warning that the block's pointer may be clobbered.
  for (const char* level : {"-O0", "-O2"}) {
    SCOPED_TRACE(level);
    Build(kSources + "jumps.c " + level, "jumps");
    std::string out;
    ASSERT_EQ(Collect("./jumps", &out), 0) << out;
    EXPECT_NE(out.find("landed 10, odd 4"), std::string::npos) << out;
    const Counts c = Run();
    EXPECT_EQ(Calls(c, "jumps.c", "jumps"), 1);
    EXPECT_EQ(Calls(c, "jumps.c", "leave"), 30);
    EXPECT_EQ(Calls(c, "jumps.c", "spawn"), 8);
    EXPECT_EQ(Outcomes(c, "jumps.c", "setjmp(back) != 0"), std::make_pair(10L, 30L));
    EXPECT_EQ(Outcomes(c, "jumps.c", "i % 3 == 0"), std::make_pair(10L, 20L));
    Sh("cd '" + dir_ + "' && rm -rf maps run.jsonl jumps");
  }
}

}  // namespace
