// Which test ran what: each run file of "qelcollect report" is a test, the
// model keeps per line and per decision vector the tests that ran it, the
// stop event's verdict marks failing tests, and --tests-for lists the
// tests to rerun for a line.
#include <gtest/gtest.h>
#include <json/json.h>

#include <fstream>

#include "coverage.hpp"
#include "report_fixtures.h"
#include "runfile.hpp"

using namespace qelc;

namespace {

const char* kOpen =
    R"({"t_ms":1,"port":15560,"channel":"testcase","kind":"testcase","event":"created","name":"gate_open"}
{"t_ms":1,"port":15560,"channel":"testcase","kind":"testcase","event":"started","number":"0"}
{"t_ms":2,"port":15555,"channel":"node","kind":"node","unit":7,"node":1,"value":0,"count":1,"seq":1}
{"t_ms":2,"port":15555,"channel":"node","kind":"node","unit":7,"node":2,"value":0,"count":1,"seq":2}
{"t_ms":2,"port":15557,"channel":"mcdc","kind":"mcdc","unit":7,"decision":1,"outcome":true,"vector":"TT","codes":4294967135,"group":3,"count":1,"seq":1}
{"t_ms":3,"port":15560,"channel":"testcase","kind":"testcase","event":"stopped","number":"1"}
)";

// The gate closed, and its test case failed (verdict 2).
const char* kClosed =
    R"({"t_ms":1,"port":15560,"channel":"testcase","kind":"testcase","event":"created","name":"gate_closed"}
{"t_ms":1,"port":15560,"channel":"testcase","kind":"testcase","event":"started","number":"0"}
{"t_ms":2,"port":15555,"channel":"node","kind":"node","unit":7,"node":1,"value":0,"count":1,"seq":1}
{"t_ms":2,"port":15555,"channel":"node","kind":"node","unit":7,"node":3,"value":0,"count":1,"seq":2}
{"t_ms":2,"port":15557,"channel":"mcdc","kind":"mcdc","unit":7,"decision":1,"outcome":false,"vector":"F","codes":4294967103,"group":3,"count":1,"seq":1}
{"t_ms":3,"port":15560,"channel":"testcase","kind":"testcase","event":"stopped","number":"2"}
)";

class TwoTests : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = qeltest::freshDir("tests");
    maps_ = qeltest::mapDir("gate_map", "7.qelmap.json");
    qeltest::writeText(dir_ + "/open.jsonl", kOpen);
    qeltest::writeText(dir_ + "/closed.jsonl", kClosed);
  }
  std::string run(const std::string& args, int* rc) {
    std::string out;
    *rc = qeltest::runShell(std::string(QELCOLLECT_EXE) + " report --map " + maps_ + " " + args +
                                " " + dir_ + "/open.jsonl " + dir_ + "/closed.jsonl",
                            &out);
    return out;
  }
  std::string dir_, maps_;
};

}  // namespace

TEST_F(TwoTests, ModelKeepsWhichTestRanEachLineAndVector) {
  SourceMap map;
  std::string error;
  ASSERT_TRUE(loadMapDir(maps_, &map, &error)) << error;
  Collection c;
  for (const char* f : {"open.jsonl", "closed.jsonl"}) {
    c.beginTest(f);
    ASSERT_TRUE(readRunFiles(
        {dir_ + "/" + f}, [&](Message&& m) { c.add(m); }, &error))
        << error;
  }
  ASSERT_EQ(c.testCases().size(), 2u);
  EXPECT_EQ(c.testCases()[0].verdict, qel_wire::TestVerdict::Passed);
  EXPECT_EQ(c.testCases()[1].verdict, qel_wire::TestVerdict::Failed);
  const CoverageModel m = buildCoverage(map, c);
  ASSERT_EQ(m.tests.size(), 2u);
  EXPECT_EQ(m.tests[0].failedCases, 0);
  EXPECT_EQ(m.tests[1].failedCases, 1);
  const FileCov& f = m.files.at(0);
  EXPECT_EQ(f.lineTests.at(2), (TestSet{0, 1}));
  EXPECT_EQ(f.lineTests.at(3), (TestSet{0}));
  EXPECT_EQ(f.lineTests.at(4), (TestSet{1}));
  EXPECT_EQ(f.lineTests.count(8), 0u);
  const DecisionCov& d = f.decisions.at(0);
  ASSERT_EQ(d.vectors.size(), 2u);
  ASSERT_EQ(d.vectorTests.size(), 2u);
  for (std::size_t i = 0; i < 2; ++i)
    EXPECT_EQ(d.vectorTests[i], (TestSet{d.vectors[i].outcome ? 0u : 1u}));
  // Counts are those of both runs together, as without attribution.
  EXPECT_EQ(f.lines.at(2), 2u);
}

TEST_F(TwoTests, TestsForListsTheTestsToRerun) {
  int rc = 0;
  std::string out = run("--tests-for gate.c:3", &rc);
  EXPECT_EQ(rc, 0) << out;
  EXPECT_NE(out.find(dir_ + "/open.jsonl\n"), std::string::npos) << out;
  EXPECT_EQ(out.find(dir_ + "/closed.jsonl\n"), std::string::npos) << out;
  EXPECT_NE(out.find("1 of 2 test(s) ran gate.c:3"), std::string::npos) << out;
  EXPECT_EQ(out.find("-- Coverage by file"), std::string::npos) << out;  // no text report

  out = run("--tests-for " + std::string(QEL_REPORT_FIXTURES) + "/gate.c:2", &rc);
  EXPECT_EQ(rc, 0) << out;
  EXPECT_NE(out.find("2 of 2 test(s) ran"), std::string::npos) << out;
  EXPECT_NE(out.find("failed among them: " + dir_ + "/closed.jsonl"), std::string::npos) << out;

  out = run("--tests-for gate.c:6", &rc);  // a blank line
  EXPECT_EQ(rc, 2) << out;
  EXPECT_NE(out.find("gate.c:6 is not a code line"), std::string::npos) << out;
  out = run("--tests-for nothere.c:3", &rc);
  EXPECT_EQ(rc, 2) << out;
  EXPECT_NE(out.find("nothere.c is no source file of the maps"), std::string::npos) << out;
  out = run("--tests-for gate.c", &rc);
  EXPECT_EQ(rc, 2) << out;
}

TEST_F(TwoTests, JsonHtmlAndTextShowTestsAndVerdicts) {
  int rc = 0;
  const std::string out = run("--json " + dir_ + "/c.json --html " + dir_ + "/html", &rc);
  EXPECT_EQ(rc, 0) << out;
  EXPECT_NE(out.find("1. \"gate_open\"  started 1, stopped 1, passed"), std::string::npos) << out;
  EXPECT_NE(out.find("2. \"gate_closed\"  started 1, stopped 1, failed"), std::string::npos) << out;

  Json::Value j;
  std::ifstream in(dir_ + "/c.json");
  std::string errors;
  ASSERT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), in, &j, &errors)) << errors;
  ASSERT_EQ(j["tests"].size(), 2u);
  EXPECT_EQ(j["tests"][1]["name"].asString(), dir_ + "/closed.jsonl");
  EXPECT_EQ(j["tests"][1]["failed_test_cases"].asInt(), 1);
  const Json::Value& lines = j["files"][0]["line_tests"];
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0][0].asInt(), 2);
  EXPECT_EQ(lines[0][1].size(), 2u);
  EXPECT_EQ(lines[2][0].asInt(), 4);
  EXPECT_EQ(lines[2][1][0].asInt(), 1);
  EXPECT_EQ(j["files"][0]["decisions"][0]["vectors"][0]["tests"].size(), 1u);

  const std::string page = qeltest::readText(dir_ + "/html/1_gate.c.html");
  EXPECT_NE(page.find("T={2:[0,1],3:[0],4:[1]}"), std::string::npos) << page;
  EXPECT_NE(page.find("/closed.jsonl\",1]]"), std::string::npos) << page;  // failed
}

// One run alone has nothing to tell apart: its reports are those of the
// live run (no test lists), and --tests-for says what it needs.
TEST_F(TwoTests, OneRunNamesNoTests) {
  std::string out;
  const std::string base = std::string(QELCOLLECT_EXE) + " report --map " + maps_ + " ";
  int rc = qeltest::runShell(base + "--json " + dir_ + "/one.json " + dir_ + "/open.jsonl", &out);
  EXPECT_EQ(rc, 0) << out;
  const std::string json = qeltest::readText(dir_ + "/one.json");
  EXPECT_EQ(json.find("\"tests\""), std::string::npos);
  EXPECT_EQ(json.find("line_tests"), std::string::npos);
  rc = qeltest::runShell(base + "--tests-for gate.c:3 " + dir_ + "/open.jsonl", &out);
  EXPECT_EQ(rc, 2) << out;
  EXPECT_NE(out.find("one run file per test"), std::string::npos) << out;
}
