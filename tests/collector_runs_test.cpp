// Saved runs: --out lines read back into the same messages, reports
// rebuilt from them, runs merged, and the thresholds' exit statuses.
#include <gtest/gtest.h>

#include <sstream>

#include "collection.hpp"
#include "report_fixtures.h"
#include "runfile.hpp"
#include "text_report.hpp"
#include "verbose_report.h"

using namespace qelc;

namespace {

Message msg(Channel c, Body b) { return Message{c, channelInfo(c).port, std::move(b)}; }

PropertyMsg leak(LeakLine::Kind kind) {
  PropertyMsg p;
  p.index = DataIndex::MemoryLeak;
  p.leak = LeakLine{
      kind, kind == LeakLine::Kind::Header ? "2026-01-02 03:04:05" : "", 48, "dir/m.c", "make", 17,
      4242};
  return p;
}

PropertyMsg crashLast(DataIndex index) {
  PropertyMsg p;
  p.index = index;
  p.last.name = "prog";
  p.last.testcase = "3";
  p.last.entries = {LastTextEntry{1, 5, index == DataIndex::CrashLastCond ? 204u : 0u,
                                  index == DataIndex::CrashLastMCDC ? "TF-" : ""}};
  return p;
}

// One message of every kind and variant the collector decodes.
std::vector<Message> everyKind() {
  std::vector<Message> v;
  v.push_back(msg(Channel::Node, NodeMsg{1, 2, 3, 40, 1}));
  v.push_back(msg(Channel::Node, NodeMsg{32767, 65535, 0, 4000000000u, 9}));
  v.push_back(msg(Channel::Cond, CondMsg{1, 4, true, 7, 2, 1}));
  v.push_back(msg(Channel::Cond, CondMsg{1, 4, false, 7, 1, 2}));
  v.push_back(msg(Channel::Mcdc, McdcMsg{1, 3, true, 0xFFFFFF5F, 7, 5, 1}));
  v.push_back(msg(Channel::Mcdc, McdcMsg{1, 3, false, 0xFFFFFF3F, 7, 1, 3}));
  // A decision of 40 conditions (counters in the program), and a unit's
  // announcement of its map's identity.
  v.push_back(
      msg(Channel::Mcdc,
          McdcMsg{1, 9, true, 0x5F5F5F5F, 7, 2, 4, 40, {{0x1B1B1B1B, 0xFFFF5555, 0xFFFFFFFF}}}));
  v.push_back(msg(Channel::Node, UnitMsg{1, 0x89ABCDEF01234567ull, 10}));
  v.push_back(msg(Channel::Property, leak(LeakLine::Kind::Header)));
  v.push_back(msg(Channel::Property, leak(LeakLine::Kind::Block)));
  v.push_back(msg(Channel::Property, leak(LeakLine::Kind::Nothing)));
  PropertyMsg crash;
  crash.index = DataIndex::Crash;
  crash.crash = CrashText{"prog", "3", "SIGSEGV", "null \"pointer\"\n"};
  v.push_back(msg(Channel::Property, crash));
  v.push_back(msg(Channel::Property, crashLast(DataIndex::CrashLastDD)));
  v.push_back(msg(Channel::Property, crashLast(DataIndex::CrashLastCond)));
  v.push_back(msg(Channel::Property, crashLast(DataIndex::CrashLastMCDC)));
  PropertyMsg odd;
  odd.index = DataIndex::Crash;
  odd.understood = false;
  odd.text = "half a crash";
  v.push_back(msg(Channel::Property, odd));
  v.push_back(msg(Channel::TestCase, TestCaseEvent{TestCaseEvent::Kind::Started, "0"}));
  v.push_back(msg(Channel::TestCase, TestCaseEvent{TestCaseEvent::Kind::Created, "case \xc3\xa9"}));
  v.push_back(msg(Channel::TestCase, TestCaseEvent{TestCaseEvent::Kind::Started, "1"}));
  v.push_back(msg(Channel::TestCase, TestCaseEvent{TestCaseEvent::Kind::Stopped, "1"}));
  v.push_back(
      msg(Channel::Value, ValueRecord{"f", {{"a", "QEL_INT", "-5"}, {"s", "QEL_STR", "x\ty"}}}));
  // Bytes that are not UTF-8 next to the same characters written as UTF-8.
  v.push_back(
      msg(Channel::Value, ValueRecord{"g", {{"c", "QEL_CHAR", "\xff\x80\xe9 \xc3\xa9\\u00e9"}}}));
  v.push_back(msg(Channel::Timing, TimingMsg{1, 2, -3}));
  v.push_back(msg(Channel::Timing, TimingMsg{1, 2, -3}));
  v.push_back(msg(Channel::LastData, LastDataMsg{1, {{1, 2, 3, 0, false, 0, 7}}}));
  v.push_back(msg(Channel::LastData, LastDataMsg{2, {{1, 4, 0xCC, 9, true, 0, 8}}}));
  v.push_back(msg(Channel::LastData, LastDataMsg{3, {{1, 3, 0, 9, true, 0xFFFFFF5F, 9}}}));
  v.push_back(msg(Channel::Node, Malformed{"short", {0x81, 0x02}}));
  return v;
}

std::string reportOf(const Collection& c) { return qeltest::verboseTextReport(c); }

std::string fixture(const std::string& name) {
  return std::string(QEL_REPORT_FIXTURES) + "/" + name;
}

}  // namespace

TEST(CollectorRuns, EveryMessageReadsBackAsItWasWritten) {
  Collection live, rebuilt;
  for (const Message& m : everyKind()) {
    const std::string line = toJson(m, 12.5);
    Message back;
    std::string error;
    ASSERT_TRUE(fromJson(line, &back, &error)) << error << ": " << line;
    EXPECT_EQ(toJson(back, 12.5), line);
    if (const auto* r = std::get_if<ValueRecord>(&m.body)) {
      EXPECT_EQ(std::get<ValueRecord>(back.body).items[0].value, r->items[0].value);
    }
    EXPECT_EQ(back.port, m.port);
    live.add(m);
    rebuilt.add(back);
  }
  EXPECT_EQ(reportOf(rebuilt), reportOf(live));
  EXPECT_EQ(rebuilt.total(), live.total());

  // The saved run names the modules whose maps a later report reads, in
  // the bytes the system gave.
  PropertyMsg module;
  module.index = DataIndex::LoadedModule;
  module.text = "/opt/app/lib\xff/libx.so";
  Message back;
  std::string error;
  const std::string line = toJson(msg(Channel::Property, module), 1);
  ASSERT_TRUE(fromJson(line, &back, &error)) << error;
  EXPECT_NE(line.find(R"("kind":"module","path":"/opt/app/lib\u00ff/libx.so")"), std::string::npos)
      << line;
  rebuilt.add(back);
  rebuilt.add(back);
  EXPECT_EQ(rebuilt.modules(), (std::vector<std::string>{"/opt/app/lib\xff/libx.so"}));
}

TEST(CollectorRuns, LinesThatAreNotMessagesAreRejected) {
  Message m;
  std::string e;
  EXPECT_FALSE(fromJson("not json", &m, &e));
  EXPECT_FALSE(fromJson("[1,2]", &m, &e));
  EXPECT_FALSE(fromJson(R"({"channel":"nowhere","kind":"node"})", &m, &e));
  EXPECT_NE(e.find("unknown channel"), std::string::npos) << e;
  EXPECT_FALSE(fromJson(R"({"channel":"node","kind":"gossip"})", &m, &e));
  EXPECT_NE(e.find("unknown kind"), std::string::npos) << e;
  EXPECT_FALSE(fromJson(R"({"channel":"node","kind":"node","unit":"one"})", &m, &e));
  // Numbers out of their field's range are refused, never wrapped or cut.
  EXPECT_FALSE(fromJson(R"({"channel":"node","kind":"node","unit":70000})", &m, &e));
  EXPECT_NE(e.find("\"unit\""), std::string::npos) << e;
  EXPECT_FALSE(fromJson(R"({"channel":"node","kind":"node","unit":1,"count":-1})", &m, &e));
  EXPECT_NE(e.find("\"count\""), std::string::npos) << e;
  EXPECT_FALSE(fromJson(R"({"channel":"timing","kind":"timing","a":4294967296})", &m, &e));
  EXPECT_FALSE(
      fromJson(R"({"channel":"value","kind":"value","items":[{"name":"a","value":7}]})", &m, &e));
  EXPECT_NE(e.find("\"value\""), std::string::npos) << e;
  // A line of an older collector: three decimals and \u00XX for raw bytes.
  ASSERT_TRUE(
      fromJson(R"({"t_ms":12.500,"port":15560,"channel":"value","kind":"value",)"
               R"("header":"g","items":[{"name":"c","tag":"QEL_CHAR","value":"\u00ff\u00e9"}]})",
               &m, &e))
      << e;
  EXPECT_EQ(std::get<ValueRecord>(m.body).items[0].value, "\xff\xe9");
}

TEST(CollectorRuns, LeakRecordsNameEachKeyOnce) {
  const std::string line = toJson(msg(Channel::Property, leak(LeakLine::Kind::Block)), 0);
  EXPECT_NE(line.find("\"entry\":\"block\""), std::string::npos) << line;
  EXPECT_EQ(line.find("\"line\":"), line.rfind("\"line\":")) << line;
  EXPECT_NE(line.find("\"line\":17"), std::string::npos) << line;
}

TEST(CollectorRuns, MalformedMessagesKeepABoundedPrefix) {
  Malformed big{"too long", std::vector<uint8_t>(1000, 0xAB)};
  const std::string line = toJson(msg(Channel::Value, big), 0);
  EXPECT_NE(line.find("\"size\":1000"), std::string::npos);
  EXPECT_LT(line.size(), 400u);
  Message back;
  std::string e;
  ASSERT_TRUE(fromJson(line, &back, &e)) << e;
  EXPECT_EQ(std::get<Malformed>(back.body).bytes.size(), kMalformedPrefix);
  EXPECT_NE(malformedText(big).find("too long [1000 bytes: ab ab"), std::string::npos);
  EXPECT_EQ(malformedText(big).substr(malformedText(big).size() - 4), " ..]");
}

TEST(CollectorRuns, MergedRunsSumExactly) {
  // Two shards, each written to its own file, against one collector that
  // saw both.
  const std::string dir = qeltest::freshDir("merge");
  Collection both;
  std::string files;
  for (int shard = 0; shard < 2; ++shard) {
    std::string text;
    for (Message m : everyKind()) {
      if (auto* n = std::get_if<NodeMsg>(&m.body)) n->count += static_cast<uint32_t>(shard);
      text += toJson(m, 1.0) + "\n";
      both.add(m);
    }
    const std::string f = dir + "/shard" + std::to_string(shard) + ".jsonl";
    qeltest::writeText(f, text);
    files += " " + f;
  }
  EXPECT_EQ(both.nodes().at({1, 2}).hits, 40u + 41u);
  int rc = 0;
  const std::string out = qeltest::runQelcollect("report --verbose" + files, &rc);
  EXPECT_EQ(rc, 3) << out;  // the runs hold a crash report
  EXPECT_EQ(out, reportOf(both));
}

TEST(CollectorRuns, ThresholdsPassAtTheFigureAndFailJustAbove) {
  const std::string map = " --map " + qeltest::mapDir("gate_map", "7.qelmap.json");
  const std::string run = " " + fixture("gate_run.jsonl");
  // gate.c: lines 75.0%, branches 50.0%, conditions 37.5%, MC/DC 25.0%.
  const struct {
    const char* option;
    const char* at;
    const char* above;
    int status;
    const char* name;
  } kCases[] = {{"--fail-under-line", "75", "75.1", 6, "line coverage 75.0%"},
                {"--fail-under-branch", "50.0", "50.1", 7, "branch coverage 50.0%"},
                {"--fail-under-condition", "37.5", "37.6", 8, "condition coverage 37.5%"},
                {"--fail-under-mcdc", "25", "25.1", 9, "MC/DC coverage 25.0%"}};
  int rc = 0;
  for (const auto& c : kCases) {
    std::string out =
        qeltest::runQelcollect("report --no-report" + map + " " + c.option + " " + c.at + run, &rc);
    EXPECT_EQ(rc, 0) << c.option << "\n" << out;
    out = qeltest::runQelcollect("report --no-report" + map + " " + c.option + " " + c.above + run,
                                 &rc);
    EXPECT_EQ(rc, c.status) << c.option << "\n" << out;
    EXPECT_NE(out.find(std::string(c.name) + " is below " + c.option), std::string::npos) << out;
  }
  // Several short: the first one's status, every one named.
  std::string out = qeltest::runQelcollect(
      "report --no-report" + map + " --fail-under-mcdc 90 --fail-under-branch 90" + run, &rc);
  EXPECT_EQ(rc, 7) << out;
  EXPECT_NE(out.find("--fail-under-mcdc"), std::string::npos) << out;
  out = qeltest::runQelcollect("report --fail-under-line 50" + run, &rc);
  EXPECT_EQ(rc, 2);
  EXPECT_NE(out.find("need the source maps"), std::string::npos) << out;
  out = qeltest::runQelcollect("report" + map + " --fail-under-line 101" + run, &rc);
  EXPECT_EQ(rc, 2);
}

TEST(CollectorRuns, ReportModeErrorsAndEmptyRuns) {
  const std::string dir = qeltest::freshDir("bad");
  int rc = 0;
  std::string out = qeltest::runQelcollect("report " + dir + "/missing.jsonl", &rc);
  EXPECT_EQ(rc, 2);
  EXPECT_NE(out.find("cannot read"), std::string::npos) << out;
  qeltest::writeText(dir + "/bad.jsonl",
                     toJson(msg(Channel::Node, NodeMsg{1, 1, 0, 1, 1}), 0) + "\n{oops\n");
  out = qeltest::runQelcollect("report " + dir + "/bad.jsonl", &rc);
  EXPECT_EQ(rc, 2);
  EXPECT_NE(out.find("bad.jsonl:2:"), std::string::npos) << out;
  qeltest::writeText(dir + "/empty.jsonl", "");
  out = qeltest::runQelcollect("report " + dir + "/empty.jsonl", &rc);
  EXPECT_EQ(rc, 5) << out;
  EXPECT_NE(out.find("hold no message"), std::string::npos) << out;
  out = qeltest::runQelcollect("report", &rc);
  EXPECT_EQ(rc, 2);
  const std::string map = qeltest::mapDir("gate_map", "7.qelmap.json");
  out = qeltest::runQelcollect(
      "report --map " + map + " --lcov " + dir + "/no/such/dir/x.info " + fixture("gate_run.jsonl"),
      &rc);
  EXPECT_EQ(rc, 2);
  EXPECT_NE(out.find("cannot write " + dir + "/no/such/dir/x.info"), std::string::npos) << out;
  out = qeltest::runQelcollect("report --map " + dir + " " + fixture("gate_run.jsonl"), &rc);
  EXPECT_EQ(rc, 2);
  EXPECT_NE(out.find("no *.qelmap.json"), std::string::npos) << out;
}

TEST(CollectorRuns, CommandLineOfReport) {
  const std::string run = " " + fixture("gate_run.jsonl");
  int rc = 0;
  // Options of collecting have no place in report, whichever side of it.
  for (const char* args : {"report --bind", "report --port-offset 3", "--timeout 5 report",
                           "report --out x.jsonl", "report --no-such-option"}) {
    const std::string out = qeltest::runQelcollect(std::string(args) + run, &rc);
    EXPECT_EQ(rc, 2) << args << "\n" << out;
    EXPECT_NE(out.find("qelcollect --help for more"), std::string::npos) << out;
  }
  // Every --map is read, before or after "report": the second copy of the
  // same unit is refused.
  const std::string a = qeltest::mapDir("gate_map", "7.qelmap.json");
  const std::string b = qeltest::mapDir("gate_map", "7.qelmap.json");
  std::string out =
      qeltest::runQelcollect("--map " + a + " report --no-report --map " + b + run, &rc);
  EXPECT_EQ(rc, 2) << out;
  EXPECT_NE(out.find("unit 7 is mapped twice"), std::string::npos) << out;
  // Numbers are decimal: 010 values is ten.
  out = qeltest::runQelcollect("report --max-values 010" + run, &rc);
  EXPECT_EQ(rc, 0) << out;
  out = qeltest::runQelcollect("report --max-values 0x10" + run, &rc);
  EXPECT_EQ(rc, 2) << out;
  out = qeltest::runQelcollect("report --help", &rc);
  EXPECT_EQ(rc, 0);
  EXPECT_NE(out.find("Usage: qelcollect"), std::string::npos) << out;
}
