// Which test ran what, through the real runtime under qelcollect: test cases
// of one process told apart by the windows its runtime announces, and the
// processes of a CTest run told apart by the names their connections carry,
// live and from the saved run.
#include <gtest/gtest.h>
#include <json/json.h>

#include <map>
#include <set>
#include <sstream>

#include "report_fixtures.h"

namespace {

using qeltest::readText;
using qeltest::runShell;

std::string collect(const std::string& args, int* rc) {
  std::string out;
  *rc = runShell("timeout -s KILL 120 " + std::string(QELCOLLECT_EXE) + " " + args, &out);
  return out;
}

Json::Value parseJson(const std::string& text) {
  Json::Value v;
  std::istringstream in(text);
  in >> v;
  return v;
}

class TestCasesOfOneProcess : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = qeltest::freshDir("cases");
    map_ = qeltest::mapDir("gate_map", "7.qelmap.json");
    log_ = collect("--map " + map_ + " --out " + dir_ + "/run.jsonl --json " + dir_ +
                       "/run.json --no-report --timeout 100 -- " + QEL_GATE_EXE + " cases",
                   &status_);
  }
  static std::string testsFor(const std::string& source, const std::string& line, int* rc) {
    return collect(
        "report --map " + map_ + " --tests-for " + source + ":" + line + " " + dir_ + "/run.jsonl",
        rc);
  }
  static inline int status_ = -1;
  static inline std::string dir_, map_, log_;
};

TEST_F(TestCasesOfOneProcess, EachTestCaseRanItsOwnLines) {
  ASSERT_EQ(status_, 0) << log_;
  int rc = 0;
  std::string out = testsFor("gate.c", "3", &rc);
  EXPECT_EQ(rc, 0) << out;
  EXPECT_NE(out.find("gate_open\n"), std::string::npos) << out;
  EXPECT_EQ(out.find("gate_closed\n"), std::string::npos) << out;
  EXPECT_NE(out.find("1 of 3 test(s) ran gate.c:3"), std::string::npos) << out;

  out = testsFor("gate.c", "4", &rc);
  EXPECT_NE(out.find("gate_closed\n"), std::string::npos) << out;
  EXPECT_EQ(out.find("gate_open\n"), std::string::npos) << out;
  EXPECT_NE(out.find("failed among them: gate_closed"), std::string::npos) << out;

  // Before any test case: the process itself, named by its command line.
  out = testsFor("gate.c", "8", &rc);
  EXPECT_NE(out.find(std::string(QEL_GATE_EXE) + " cases\n"), std::string::npos) << out;
  EXPECT_NE(out.find("1 of 3 test(s) ran gate.c:8"), std::string::npos) << out;

  // Both test cases went through the decision's first condition.
  out = testsFor("gate.c", "2", &rc);
  EXPECT_NE(out.find("2 of 3 test(s) ran gate.c:2"), std::string::npos) << out;
}

TEST_F(TestCasesOfOneProcess, JsonNamesTheTestsTheirProcessAndVerdicts) {
  ASSERT_EQ(status_, 0) << log_;
  const Json::Value j = parseJson(readText(dir_ + "/run.json"));
  const Json::Value& tests = j["tests"];
  ASSERT_EQ(tests.size(), 3u) << j.toStyledString();
  EXPECT_EQ(tests[0]["name"].asString(), std::string(QEL_GATE_EXE) + " cases");
  EXPECT_EQ(tests[1]["name"].asString(), "gate_open");
  EXPECT_EQ(tests[1]["failed_test_cases"].asInt(), 0);
  EXPECT_EQ(tests[1]["process"].asString(), std::string(QEL_GATE_EXE) + " cases");
  EXPECT_EQ(tests[2]["name"].asString(), "gate_closed");
  EXPECT_EQ(tests[2]["failed_test_cases"].asInt(), 1);
}

TEST_F(TestCasesOfOneProcess, SavedRunCarriesTheOrigin) {
  ASSERT_EQ(status_, 0) << log_;
  const std::string run = readText(dir_ + "/run.jsonl");
  EXPECT_NE(run.find(",\"origin\":\""), std::string::npos);
  EXPECT_NE(run.find("test-case-window start=1 node="), std::string::npos);
  EXPECT_NE(run.find("process-command pid="), std::string::npos);
}

// Two CTest tests, each a process reaching its own lines: each is a test
// named by its command line.
TEST(ProcessesOfACTestRun, EachProcessIsATest) {
  const std::string dir = qeltest::freshDir("ctest");
  const std::string map = qeltest::mapDir("gate_map", "7.qelmap.json");
  const std::string exe = QEL_GATE_EXE;
  qeltest::writeText(
      dir + "/CTestTestfile.cmake",
      "add_test(gate_open \"" + exe + "\" open)\nadd_test(gate_closed \"" + exe + "\" closed)\n");
  int rc = 0;
  std::string log = collect("--map " + map + " --out " + dir +
                                "/run.jsonl --no-report --timeout "
                                "100 --tests-for gate.c:3 -- " +
                                std::string(QEL_CTEST) + " --test-dir " + dir,
                            &rc);
  ASSERT_EQ(rc, 0) << log;
  EXPECT_NE(log.find(exe + " open\n"), std::string::npos) << log;
  EXPECT_EQ(log.find(exe + " closed\n"), std::string::npos) << log;
  EXPECT_NE(log.find("1 of 2 test(s) ran gate.c:3"), std::string::npos) << log;

  // The saved run tells the same.
  log = collect("report --map " + map + " --tests-for gate.c:4 " + dir + "/run.jsonl", &rc);
  EXPECT_EQ(rc, 0) << log;
  EXPECT_NE(log.find(exe + " closed\n"), std::string::npos) << log;
  EXPECT_EQ(log.find(exe + " open\n"), std::string::npos) << log;
  EXPECT_NE(log.find("1 of 2 test(s) ran gate.c:4"), std::string::npos) << log;
}

}  // namespace

#ifdef ORRIN_DRIVE_COV_EXE
// The driver reports each test vector as a test case: each is a test of its
// own, and the lines each ran are its function's, not everything the
// process ran.
TEST(TestCasesOfTheDriver, EachVectorRanItsOwnLines) {
  const std::string dir = qeltest::freshDir("drive");
  int rc = 0;
  const std::string log =
      collect("--map " + std::string(QEL_SAMPLE_MAPS) + " --json " + dir +
                  "/run.json --no-report --timeout 100 -- sh -c \"seq 1 20 | tr '\\\\n' ' ' | " +
                  ORRIN_DRIVE_COV_EXE + " >/dev/null\"",
              &rc);
  ASSERT_EQ(rc, 0) << log;
  const Json::Value j = parseJson(readText(dir + "/run.json"));
  const Json::Value& tests = j["tests"];
  std::set<int> cases;
  for (Json::ArrayIndex t = 0; t < tests.size(); ++t)
    if (tests[t].isMember("process")) cases.insert(static_cast<int>(t));
  ASSERT_GE(cases.size(), 10u) << j["tests"].toStyledString();
  // The lines each test case ran.
  std::map<int, std::set<std::string>> ran;
  for (const Json::Value& f : j["files"])
    for (const Json::Value& entry : f["line_tests"])
      for (const Json::Value& t : entry[1])
        ran[t.asInt()].insert(f["path"].asString() + ":" + entry[0].asString());
  std::set<std::set<std::string>> distinct;
  std::size_t empty = 0;  // a skipped vector (its list too short) calls nothing
  for (int t : cases) {
    empty += ran[t].empty() ? 1 : 0;
    distinct.insert(ran[t]);
  }
  EXPECT_LE(empty, cases.size() / 10);
  // Test vectors of different functions ran different lines, and none ran
  // every line the driver's process reached.
  EXPECT_GE(distinct.size(), cases.size() / 4);
  std::set<std::string> every;
  for (const auto& [t, lines] : ran) every.insert(lines.begin(), lines.end());
  for (int t : cases) EXPECT_LT(ran[t].size(), every.size()) << tests[t]["name"];
}
#endif
