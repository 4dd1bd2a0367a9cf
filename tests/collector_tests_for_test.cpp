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

// ---- Processes and test cases of one collection ------------------------

namespace {

const std::string kA = "100/0000000000000001";
const std::string kB = "200/0000000000000002";

Message from(const std::string& origin, Channel channel, Body body) {
  Message m;
  m.channel = channel;
  m.origin = origin;
  m.body = std::move(body);
  return m;
}

Message node(const std::string& origin, uint16_t id, uint32_t seq) {
  return from(origin, Channel::Node, NodeMsg{7, id, 0, 1, seq});
}

Message vector(const std::string& origin, bool outcome, uint32_t seq) {
  McdcMsg d;
  d.unit = 7;
  d.decision = 1;
  d.outcome = outcome;
  d.codes = outcome ? 4294967135u : 4294967103u;
  d.count = 1;
  d.seq = seq;
  return from(origin, Channel::Mcdc, d);
}

Message event(const std::string& origin, TestCaseEvent::Kind kind, const std::string& arg) {
  return from(origin, Channel::TestCase, TestCaseEvent{kind, arg});
}

Message announced(const std::string& origin, const std::string& text) {
  PropertyMsg p;
  p.text = text;
  p.understood = false;
  recogniseAnnouncement(&p);
  return from(origin, Channel::Property, std::move(p));
}

Message window(const std::string& origin, bool start, uint32_t ordinal, uint32_t next) {
  qel_wire::TestCaseWindow w;
  w.start = start;
  w.ordinal = ordinal;
  w.next = {next, next, next};
  return announced(origin, qel_wire::test_case_window_text(w));
}

Message command(int32_t pid, uint64_t stream, const std::string& line) {
  return announced(qel_wire::origin_text(pid, stream),
                   qel_wire::process_command_text({pid, stream, line}));
}

using Kind = TestCaseEvent::Kind;

// Process A: node 4 before its test cases, "open" runs node 2 and the true
// vector, "closed" (failed) node 3 and the false vector, node 1 after.
std::vector<Message> twoTestCases(const std::string& origin) {
  return {command(100, 1, "./gate cases"),
          node(origin, 4, 1),
          event(origin, Kind::Created, "open"),
          window(origin, true, 1, 2),
          event(origin, Kind::Started, "0"),
          node(origin, 2, 2),
          vector(origin, true, 2),
          window(origin, false, 1, 3),
          event(origin, Kind::Stopped, "1"),
          event(origin, Kind::Created, "closed"),
          window(origin, true, 2, 3),
          event(origin, Kind::Started, "0"),
          node(origin, 3, 3),
          vector(origin, false, 3),
          window(origin, false, 2, 4),
          event(origin, Kind::Stopped, "2"),
          node(origin, 1, 4)};
}

TestSet testsOf(const Collection& c, uint16_t id) { return c.nodes().at({7, id}).tests; }

}  // namespace

// The windows split the counts whatever order the channels' messages took:
// counts, events and windows each arrive on their own socket.
TEST(TestCaseWindows, SplitTheCountsOfOneProcessInAnyArrivalOrder) {
  const std::vector<Message> inOrder = twoTestCases(kA);
  std::vector<std::vector<Message>> orders = {inOrder, {}, {}};
  // Counts last; then events last, windows first.
  for (const Message& m : inOrder)
    if (m.channel != Channel::Node && m.channel != Channel::Mcdc) orders[1].push_back(m);
  for (const Message& m : inOrder)
    if (m.channel == Channel::Node || m.channel == Channel::Mcdc) orders[1].push_back(m);
  for (const Message& m : inOrder)
    if (m.channel == Channel::Property) orders[2].push_back(m);
  for (const Message& m : inOrder)
    if (m.channel != Channel::Property) orders[2].push_back(m);
  for (std::size_t o = 0; o < orders.size(); ++o) {
    Collection c;
    for (const Message& m : orders[o]) c.add(m);
    ASSERT_EQ(c.tests().size(), 3u) << o;
    EXPECT_EQ(c.tests()[0].name, "./gate cases");
    EXPECT_EQ(c.tests()[1].name, "open");
    EXPECT_EQ(c.tests()[1].process, "./gate cases");
    EXPECT_EQ(c.tests()[1].failedCases, 0);
    EXPECT_EQ(c.tests()[2].name, "closed");
    EXPECT_EQ(c.tests()[2].failedCases, 1);
    EXPECT_EQ(testsOf(c, 4), (TestSet{0})) << o;
    EXPECT_EQ(testsOf(c, 1), (TestSet{0})) << o;
    EXPECT_EQ(testsOf(c, 2), (TestSet{1})) << o;
    EXPECT_EQ(testsOf(c, 3), (TestSet{2})) << o;
    const auto& vectors = c.vectorTests().at({7, 1});
    ASSERT_EQ(vectors.size(), 2u);
    for (const auto& [v, tests] : vectors) EXPECT_EQ(tests, (TestSet{v.second ? 1u : 2u})) << o;
    // The counts themselves are not touched by who ran them.
    EXPECT_EQ(c.nodes().at({7, 2}).hits, 1u);
  }
}

// A window whose event never arrived, or a boundary the runtime could not
// place, would pair the rest wrongly: the process ran all of it, and its
// failed test case fails it.
TEST(TestCaseWindows, UnusableWindowsLeaveEverythingToTheProcess) {
  for (int fault = 0; fault < 2; ++fault) {
    Collection c;
    for (Message m : twoTestCases(kA)) {
      const auto* e = std::get_if<TestCaseEvent>(&m.body);
      if (fault == 0 && e && e->kind == Kind::Started && e->arg == "0" && c.testCases().size() == 1)
        continue;  // the first start event lost
      if (const auto* p = std::get_if<PropertyMsg>(&m.body);
          fault == 1 && p && p->index == DataIndex::TestCaseWindow && p->window.ordinal == 2 &&
          p->window.start)
        m = window(kA, true, 2, 0);  // boundary not known
      c.add(m);
    }
    c.add(node(kB, 2, 1));
    ASSERT_EQ(c.tests().size(), 2u) << fault;
    EXPECT_EQ(c.tests()[0].name, "./gate cases");
    EXPECT_EQ(c.tests()[0].failedCases, 1);
    EXPECT_EQ(c.tests()[1].name, "process 200");  // no announcement came
    EXPECT_EQ(testsOf(c, 2), (TestSet{0, 1}));
    EXPECT_EQ(testsOf(c, 3), (TestSet{0}));
  }
}

// Processes that share the collector: each is a test, named by its command
// line, else its program; messages without an origin name no test.
TEST(ProcessAttribution, EachOriginIsATestNamedByItsCommandLine) {
  Collection c;
  c.add(announced(kB, "process-start pid=200 stream=0000000000000002 protocol=2 program=/bin/b"));
  c.add(node(kA, 2, 1));
  c.add(node(kB, 3, 1));
  c.add(node("", 4, 1));
  c.add(command(100, 1, "./gate open"));
  ASSERT_EQ(c.tests().size(), 2u);
  EXPECT_EQ(c.tests()[0].name, "./gate open");
  EXPECT_EQ(c.tests()[1].name, "/bin/b");
  EXPECT_EQ(testsOf(c, 2), (TestSet{0}));
  EXPECT_EQ(testsOf(c, 3), (TestSet{1}));
  EXPECT_TRUE(testsOf(c, 4).empty());

  // A spool read before its stream was known names the pid alone: it joins
  // that pid's stream.
  c.add(node("100", 4, 2));
  EXPECT_EQ(testsOf(c, 4), (TestSet{0}));

  // One process alone has nothing to tell apart.
  Collection one;
  one.add(node(kA, 2, 1));
  one.add(node(kA, 3, 2));
  EXPECT_TRUE(one.tests().empty());
  EXPECT_TRUE(testsOf(one, 2).empty());
}

// Run files: a file of one process stays the file's test; a file of
// several processes (a saved `qelcollect -- ctest`) names each.
TEST(ProcessAttribution, RunFilesOfOneProcessKeepTheirName) {
  Collection c;
  c.beginTest("a.jsonl");
  c.add(node(kA, 2, 1));
  c.beginTest("b.jsonl");
  c.add(node(kB, 3, 1));
  c.add(node("300/0000000000000003", 4, 1));
  ASSERT_EQ(c.tests().size(), 3u);
  EXPECT_EQ(c.tests()[0].name, "a.jsonl");
  EXPECT_EQ(c.tests()[1].name, "process 200");
  EXPECT_EQ(c.tests()[2].name, "process 300");
}

// The saved run keeps each message's origin, in the count lines' fast
// reading as in the general one.
TEST(ProcessAttribution, SavedRunsKeepTheOrigin) {
  for (const std::string& origin : {kA, std::string("odd \"name\""), std::string()}) {
    for (const Message& m :
         {node(origin, 2, 5), vector(origin, true, 6), event(origin, Kind::Created, "t")}) {
      const std::string line = toJson(m, 1.0);
      EXPECT_EQ(line.find("origin") != std::string::npos, !origin.empty()) << line;
      Message back;
      std::string error;
      const std::string file = qeltest::freshDir("origin") + "/run.jsonl";
      qeltest::writeText(file, line + "\n");
      ASSERT_TRUE(readRunFiles(
          {file}, [&](Message&& r) { back = std::move(r); }, &error))
          << error;
      EXPECT_EQ(back.origin, origin) << line;
      EXPECT_EQ(toJson(back, 1.0), line);
    }
  }
}
