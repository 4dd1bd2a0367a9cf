// The parcel demo under qelcollect, through the real runtime: the report
// and the JSON lines must show exactly what the five test cases exercise.
#include <gtest/gtest.h>
#include <json/json.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>

namespace {

std::string readFile(const std::string& path) {
  std::ifstream f(path);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

class DemoRun : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    const std::string base = ::testing::TempDir() + "qel_e2e_" + std::to_string(getpid());
    json_ = base + ".jsonl";
    const std::string report = base + ".txt";
    const std::string log = base + ".log";
    const std::string cmd = std::string("timeout -s KILL 120 ") + QELCOLLECT_EXE + " --out " +
                            json_ + " --report " + report + " --timeout 100 -- " + QEL_DEMO_EXE +
                            " >" + log + " 2>&1";
    const int rc = std::system(cmd.c_str());
    status_ = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    report_ = readFile(report);
    log_ = readFile(log);
    std::remove(report.c_str());
    std::remove(log.c_str());
  }
  static void TearDownTestSuite() { std::remove(json_.c_str()); }

  bool has(const std::string& s) const { return report_.find(s) != std::string::npos; }

  static inline int status_ = -1;
  static inline std::string report_, log_, json_;
};

TEST_F(DemoRun, ProgramPassesAndNothingIsGarbled) {
  EXPECT_EQ(status_, 0) << log_ << report_;
  EXPECT_NE(log_.find("5 of 5 test cases passed"), std::string::npos) << log_;
  EXPECT_TRUE(has("malformed 0")) << report_;
  EXPECT_FALSE(has("missing by sequence number"));
}

TEST_F(DemoRun, NodeHitCounts) {
  EXPECT_TRUE(has("unit 1: 17 nodes hit, 56 hits")) << report_;
  // Both failure paths, the surcharge, express doubling and the leaky branch.
  for (const char* line : {"node 13    hits 2\n", "node 7     hits 1\n", "node 9     hits 1\n",
                           "node 16    hits 1\n", "node 1     hits 5\n", "node 17    hits 3\n"})
    EXPECT_TRUE(has(line)) << line << "\n" << report_;
}

TEST_F(DemoRun, ConditionOutcomes) {
  EXPECT_TRUE(has("unit 1 cond 1    true 4     false 1     both seen")) << report_;
  EXPECT_TRUE(has("unit 1 cond 4    true 3     false 2     both seen"));
  // fragile is only reached when the weight does not decide, and then false.
  EXPECT_TRUE(has("unit 1 cond 6    true 0     false 1     MISSING true"));
  EXPECT_TRUE(has("conditions with both outcomes: 9/10 (90.0%)"));
}

TEST_F(DemoRun, McdcPairsAchievedAndMissed) {
  EXPECT_TRUE(has("decision 1 (group 1): 3 conditions, 4 vectors, MC/DC 3/3 (100.0%)")) << report_;
  EXPECT_TRUE(
      has("    #1  F - -  -> F  x1\n    #2  T F F  -> F  x1\n    #3  T F T  -> T  x1\n"
          "    #4  T T -  -> T  x2\n"));
  EXPECT_TRUE(has("decision 2 (group 1): 3 conditions, 3 vectors, MC/DC 2/3 (66.7%)"));
  EXPECT_TRUE(has("    #2  T - F  -> F  x1\n    #3  T - T  -> T  x1\n"));
  EXPECT_TRUE(has("    c1: true no   false yes  MISSING independence pair"));
  EXPECT_TRUE(
      has("decision 3 (group 1): 1 condition [single condition], 2 vectors, MC/DC 1/1 (100.0%)"));
  EXPECT_TRUE(has("MC/DC overall: 6/7 conditions (85.7%)"));
}

TEST_F(DemoRun, EventsValuesTimingsAndTheLeak) {
  EXPECT_TRUE(has("-- Test cases: 5 created\n  1. \"ship_paid\"  started 1, stopped 1\n"))
      << report_;
  EXPECT_TRUE(has("  5. \"heavy_fragile\"  started 1, stopped 1\n"));
  EXPECT_TRUE(
      has("-- Values: 8 records\n  can_ship: in_stock=1 (QEL_INT) paid=1 (QEL_INT) express=0 "
          "(QEL_INT)\n"));
  EXPECT_TRUE(has("-- Timings: 5 records\n"));
  EXPECT_TRUE(has("1 block(s) live in the last leak report"));
  EXPECT_NE(report_.find("32 bytes  parcel.c:"), std::string::npos);
  EXPECT_NE(report_.find(" in ship  pid "), std::string::npos);
  EXPECT_TRUE(has("-- Crash reports: 0"));
}

TEST_F(DemoRun, JsonLinesCarryEveryMessage) {
  std::ifstream in(json_);
  std::string line;
  std::map<std::string, int> kinds;
  long nodeHits = 0, mcdcEvaluations = 0;
  Json::CharReaderBuilder b;
  const std::unique_ptr<Json::CharReader> reader(b.newCharReader());
  while (std::getline(in, line)) {
    Json::Value v;
    std::string err;
    ASSERT_TRUE(reader->parse(line.data(), line.data() + line.size(), &v, &err)) << err << line;
    ++kinds[v["kind"].asString()];
    if (v["kind"] == "node") {
      EXPECT_EQ(v["port"].asInt(), 15555);
      nodeHits += v["count"].asInt();
    }
    if (v["kind"] == "mcdc") mcdcEvaluations += v["count"].asInt();
  }
  EXPECT_EQ(nodeHits, 56);
  EXPECT_EQ(mcdcEvaluations, 11);  // D1 in every ship(), D2 and D3 in the three that ship
  EXPECT_EQ(kinds["testcase"], 15);
  EXPECT_EQ(kinds["value"], 8);
  EXPECT_EQ(kinds["timing"], 5);
  EXPECT_GE(kinds["leak"], 2);
  EXPECT_EQ(kinds["malformed"], 0);
}

// The end of a run. Every process of the demo announces its start and its
// end: once they all arrived with everything they announced, the collection
// ends without waiting out the quiet period (a minute here). A command whose
// processes announce nothing is waited for as before.
struct TimedRun {
  int status = -1;
  double seconds = 0;
  std::string report;
};

TimedRun collectWith(const std::string& args) {
  const std::string base = ::testing::TempDir() + "qel_end_" + std::to_string(getpid());
  const std::string report = base + ".txt";
  const std::string cmd = std::string("timeout -s KILL 170 ") + QELCOLLECT_EXE + " --report " +
                          report + " --timeout 150 " + args + " >" + base + ".log 2>&1";
  TimedRun r;
  const auto t0 = std::chrono::steady_clock::now();
  const int rc = std::system(cmd.c_str());
  r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  r.status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
  r.report = readFile(report);
  std::remove(report.c_str());
  std::remove((base + ".log").c_str());
  return r;
}

TEST(CollectorRunEnd, EndsAtOnceWhenEverythingAnnouncedArrived) {
  const TimedRun r = collectWith(std::string("--quiet-ms 60000 -- ") + QEL_DEMO_EXE);
  EXPECT_EQ(r.status, 0) << r.report;
  EXPECT_LT(r.seconds, 40.0);
  // Nothing was cut short by ending early.
  EXPECT_NE(r.report.find("unit 1: 17 nodes hit, 56 hits"), std::string::npos) << r.report;
  EXPECT_NE(r.report.find("-- Timings: 5 records\n"), std::string::npos);
}

TEST(CollectorRunEnd, WaitsTheQuietPeriodWhenNothingWasAnnounced) {
  const TimedRun r = collectWith("--quiet-ms 1500 -- true");
  EXPECT_EQ(r.status, 5);  // nothing received
  EXPECT_GE(r.seconds, 1.5);
}

}  // namespace
