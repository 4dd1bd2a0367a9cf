// Every output format of the coverage model, each checked by what reads it
// in practice: genhtml, xmllint against the Cobertura DTD, a JSON parser and
// a headless browser. A missing tool skips its test instead of failing it.
#include <gtest/gtest.h>
#include <json/json.h>

#include <fstream>
#include <map>
#include <memory>
#include <sstream>

#include "coverage.hpp"
#include "outputs.hpp"
#include "qeltools/json_io.hpp"
#include "report_fixtures.h"
#include "runfile.hpp"
#include "text_report.hpp"

using namespace qelc;
using qeltest::readText;

namespace {

// gate.c run once with its gate open and once closed: lines 3/4,
// branches 2/4, conditions 3/8, MC/DC 1/4, one decision never reached.
class GateReport : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(loadMapDir(qeltest::mapDir("gate_map", "7.qelmap.json"), &map_, &error)) << error;
    std::ifstream in(std::string(QEL_REPORT_FIXTURES) + "/gate_run.jsonl");
    for (std::string line; std::getline(in, line);) {
      Message m;
      ASSERT_TRUE(fromJson(line, &m, &error)) << error << ": " << line;
      run_.add(m);
    }
    model_ = buildCoverage(map_, run_);
    dir_ = qeltest::freshDir("out");
  }

  SourceMap map_;
  Collection run_;
  CoverageModel model_;
  std::string dir_;
};

std::string chromium(const std::string& args, std::string* out) {
  const std::string profile = qeltest::freshDir("chromium");
  qeltest::runShell(
      "timeout 60 chromium --headless --no-sandbox --disable-gpu "
      "--disable-background-networking --disable-component-update --disable-sync "
      "--no-first-run --user-data-dir=" +
          profile + " " + args,
      out);
  return *out;
}

}  // namespace

TEST_F(GateReport, TotalsOfTheFixture) {
  const Totals& t = model_.totals;
  EXPECT_EQ(t.lines.covered, 3u);
  EXPECT_EQ(t.lines.total, 4u);
  EXPECT_EQ(t.branches.covered, 2u);
  EXPECT_EQ(t.branches.total, 4u);
  EXPECT_EQ(t.conditions.covered, 3u);
  EXPECT_EQ(t.conditions.total, 8u);
  EXPECT_EQ(t.mcdc.covered, 1u);
  EXPECT_EQ(t.mcdc.total, 4u);
  EXPECT_EQ(t.functions.covered, 1u);
  EXPECT_EQ(t.unreachedDecisions, 1);
}

TEST_F(GateReport, TextSummaryAndAnnotatedSource) {
  std::ostringstream os;
  writeCoverageSummary(os, model_, false);
  writeAnnotated(os, model_);
  const std::string r = os.str();
  EXPECT_NE(r.find("gate.c                          1/2  50.0%          3/4  75.0%          2/4  "
                   "50.0%          3/8  37.5%          1/4  25.0%"),
            std::string::npos)
      << r;
  EXPECT_NE(r.find("-- Lines never run\n  gate.c: 8\n"), std::string::npos) << r;
  EXPECT_NE(r.find("-- Functions never called\n  gate.c:7  never\n"), std::string::npos) << r;
  EXPECT_NE(
      r.find("gate.c:8:10 (ternary in never): x\n    outcomes: true 0, false 0  NEVER REACHED"),
      std::string::npos)
      << r;
  EXPECT_NE(r.find("MC/DC: 0/1  [single condition]"), std::string::npos);
  EXPECT_NE(r.find("1 single-condition decision(s) (marked [single condition]; without them 1/3 "
                   "33.3%)"),
            std::string::npos)
      << r;
  EXPECT_NE(r.find("short-circuited in either evaluation does not matter"), std::string::npos);
  // Counts per line, ##### on code never run, - on lines that are not code.
  EXPECT_NE(r.find("        2:    2:  if (a && (b || c))\n"), std::string::npos) << r;
  EXPECT_NE(r.find("    #####:    8:  return x ? 1 : 2;\n"), std::string::npos);
  EXPECT_NE(r.find("        -:    5:}\n"), std::string::npos);
  EXPECT_NE(r.find("#1  F - -  -> F  x1"), std::string::npos);
  EXPECT_NE(r.find("c1 \"b\"           true 1     false 0     MISSING independence pair"),
            std::string::npos)
      << r;
}

TEST_F(GateReport, VerboseSummaryHasEveryFunctionAndDecision) {
  std::ostringstream os;
  writeCoverageSummary(os, model_, true);
  const std::string r = os.str();
  EXPECT_NE(
      r.find("gate.c:1 gate                            2          3/3 100.0%          2/2 100.0%"),
      std::string::npos)
      << r;
  EXPECT_NE(r.find("gate.c:7 never                           0          0/1   0.0%"),
            std::string::npos)
      << r;
  EXPECT_NE(r.find("-- Decisions\n"), std::string::npos);
}

TEST_F(GateReport, LcovIsAcceptedByGenhtml) {
  std::ostringstream os;
  writeLcov(os, model_);
  const std::string lcov = os.str();
  EXPECT_NE(lcov.find("SF:" + std::string(QEL_REPORT_FIXTURES) + "/gate.c\n"), std::string::npos);
  EXPECT_NE(lcov.find("FN:7,never\n"), std::string::npos);
  EXPECT_NE(lcov.find("FNDA:0,never\n"), std::string::npos);
  EXPECT_NE(lcov.find("BRDA:2,0,0,1\nBRDA:2,0,1,1\nBRDA:8,1,0,-\nBRDA:8,1,1,-\nBRF:4\nBRH:2\n"),
            std::string::npos)
      << lcov;
  EXPECT_NE(lcov.find("DA:8,0\nLF:4\nLH:3\nend_of_record\n"), std::string::npos) << lcov;
  if (!qeltest::haveTool("genhtml")) GTEST_SKIP() << "genhtml (Debian package lcov) not installed";
  qeltest::writeText(dir_ + "/run.info", lcov);
  std::string out;
  EXPECT_EQ(qeltest::runShell("genhtml --branch-coverage --function-coverage -o " + dir_ +
                                  "/genhtml " + dir_ + "/run.info",
                              &out),
            0)
      << out;
  EXPECT_EQ(out.find("WARNING"), std::string::npos) << out;
  EXPECT_EQ(out.find("ERROR"), std::string::npos) << out;
  EXPECT_NE(out.find("lines......: 75.0% (3 of 4 lines)"), std::string::npos) << out;
  EXPECT_NE(out.find("branches...: 50.0% (2 of 4 branches)"), std::string::npos) << out;
}

TEST_F(GateReport, CoberturaValidatesAgainstTheDtd) {
  std::ostringstream os;
  writeCobertura(os, model_, 1700000000);
  const std::string xml = os.str();
  EXPECT_NE(xml.find("line-rate=\"0.7500\" branch-rate=\"0.5000\" lines-covered=\"3\" "
                     "lines-valid=\"4\" branches-covered=\"2\" branches-valid=\"4\""),
            std::string::npos)
      << xml;
  EXPECT_NE(xml.find("<line number=\"2\" hits=\"2\" branch=\"true\" condition-coverage=\"100% "
                     "(2/2)\">"),
            std::string::npos)
      << xml;
  EXPECT_NE(
      xml.find("<line number=\"8\" hits=\"0\" branch=\"true\" condition-coverage=\"0% (0/2)\""),
      std::string::npos)
      << xml;
  EXPECT_NE(xml.find("<method name=\"never\" signature=\"\" line-rate=\"0.0000\""),
            std::string::npos);
  if (!qeltest::haveTool("xmllint")) GTEST_SKIP() << "xmllint (libxml2-utils) not installed";
  qeltest::writeText(dir_ + "/cov.xml", xml);
  std::string out;
  EXPECT_EQ(
      qeltest::runShell("xmllint --noout --nonet --dtdvalid " + std::string(QEL_REPORT_FIXTURES) +
                            "/coverage-04.dtd " + dir_ + "/cov.xml",
                        &out),
      0)
      << out << xml;
  EXPECT_EQ(out.find("validity error"), std::string::npos) << out;
}

TEST_F(GateReport, JsonDocumentHoldsTheModel) {
  std::ostringstream os;
  writeCoverageJson(os, model_);
  Json::Value v;
  std::istringstream in(os.str());
  Json::CharReaderBuilder b;
  std::string error;
  ASSERT_TRUE(Json::parseFromStream(b, in, &v, &error)) << error;
  EXPECT_EQ(v["format"], "qelcoverage");
  EXPECT_EQ(v["totals"]["lines"]["covered"].asInt(), 3);
  EXPECT_EQ(v["totals"]["mcdc"]["percent"].asDouble(), 25.0);
  const Json::Value& f = v["files"][0];
  EXPECT_EQ(f["lines"].size(), 4u);
  EXPECT_EQ(f["functions"][1]["name"], "never");
  const Json::Value& d = f["decisions"][0];
  EXPECT_EQ(d["text"], "a && (b || c)");
  EXPECT_EQ(d["vectors"][0]["conditions"], "F - -");
  EXPECT_EQ(d["conditions"][0]["independent"], true);
  EXPECT_EQ(d["conditions"][0]["pair"][1].asInt(), 1);
  EXPECT_EQ(f["decisions"][1]["reached"], false);
}

TEST_F(GateReport, HtmlShowsInABrowser) {
  std::string error;
  const std::string html = dir_ + "/html";
  ASSERT_TRUE(writeHtml(html, model_, &error)) << error;
  const std::string index = readText(html + "/index.html");
  const std::string page = readText(html + "/1_gate.c.html");
  ASSERT_FALSE(page.empty());
  // Self-contained: nothing fetched from anywhere (the scripts are inline).
  for (const std::string& p : {index, page}) {
    EXPECT_EQ(p.find("http"), std::string::npos);
    EXPECT_EQ(p.find("<script src"), std::string::npos);
    EXPECT_EQ(p.find("<link"), std::string::npos);
  }
  if (!qeltest::haveTool("chromium")) GTEST_SKIP() << "chromium not installed";
  std::string dom;
  chromium("--dump-dom file://" + html + "/index.html", &dom);
  EXPECT_NE(dom.find("<a href=\"1_gate.c.html\">gate.c</a>"), std::string::npos) << dom;
  EXPECT_NE(dom.find("75.0% <span class=\"note\">(3/4)</span>"), std::string::npos) << dom;
  EXPECT_NE(dom.find("25.0% <span class=\"note\">(1/4)</span>"), std::string::npos) << dom;
  chromium("--dump-dom file://" + html + "/1_gate.c.html", &dom);
  EXPECT_NE(dom.find("<p id=\"L8\" class=\"d\" data-c=\"0\">"), std::string::npos) << dom;
  EXPECT_NE(dom.find("<p id=\"L2\" class=\"p\" data-c=\"2\">"), std::string::npos) << dom;
  EXPECT_NE(dom.find("a &amp;&amp; (b || c)"), std::string::npos) << dom;
  // The decisions' details open on demand: collector_html_test opens them.
  // And it paints: a screenshot of the file page is a real image.
  std::string out;
  chromium(
      "--window-size=1000,800 --screenshot=" + dir_ + "/page.png file://" + html + "/1_gate.c.html",
      &out);
  const std::string png = readText(dir_ + "/page.png");
  ASSERT_GT(png.size(), 5000u) << out;
  EXPECT_EQ(png.substr(1, 3), "PNG");
}

// The run problems are one list that every report shows in full, and the
// exit status follows the kinds present unless their option makes them a
// warning.
TEST_F(GateReport, EveryOutputShowsTheSameRunProblems) {
  EXPECT_TRUE(model_.problems.empty());  // a finished old-style run: nothing to list
  model_.problems = {{ProblemKind::UnfinishedStream, "process 4711 (./prog <&>)", "no end"},
                     {ProblemKind::MissingMessages, "process 12 (./b)", "node 3 of 5 arrived"}};
  std::ostringstream text;
  TextReportOptions ro;
  ro.coverage = &model_;
  writeTextReport(text, run_, ro);
  EXPECT_NE(text.str().find("-- Run problems: 2\n"
                            "  Processes whose stream never finished (unfinished_stream):\n"
                            "    process 4711 (./prog <&>): no end\n"
                            "  Messages missing (missing_messages):\n"
                            "    process 12 (./b): node 3 of 5 arrived\n"),
            std::string::npos)
      << text.str();

  std::ostringstream json;
  std::string error;
  writeCoverageJson(json, model_);
  qeltools::Json doc;
  ASSERT_TRUE(qeltools::parseJson(json.str(), &doc, &error)) << error;
  ASSERT_EQ(doc["problems"].size(), 2u);
  EXPECT_EQ(doc["problems"][0]["kind"], "unfinished_stream");
  EXPECT_EQ(doc["problems"][0]["subject"], "process 4711 (./prog <&>)");
  EXPECT_EQ(doc["problems"][1]["kind"], "missing_messages");
  EXPECT_EQ(doc["problems"][1]["detail"], "node 3 of 5 arrived");

  ASSERT_TRUE(writeHtml(dir_ + "/html", model_, &error)) << error;
  const std::string index = readText(dir_ + "/html/index.html");
  EXPECT_NE(index.find("<h2>Run problems: 2</h2>"), std::string::npos);
  EXPECT_NE(index.find("<li>process 4711 (./prog &lt;&amp;&gt;): no end</li>"), std::string::npos)
      << index;
  EXPECT_NE(index.find("<li>process 12 (./b): node 3 of 5 arrived</li>"), std::string::npos);

  EXPECT_EQ(problemExitStatus(model_.problems, {}), 10);
  EXPECT_EQ(problemExitStatus(model_.problems, {"--loss-warning"}), 0);
  EXPECT_EQ(problemExitStatus({}, {}), 0);
  std::ostringstream err;
  announceProblems(err, model_.problems, {"--loss-warning"});
  EXPECT_NE(err.str().find("(a warning, --loss-warning)"), std::string::npos) << err.str();
}

namespace {

// One decision of each kind the coverage rules tell apart, each on a line
// that ran (but the last): every output must agree on which of them are
// fully covered and on every figure.
class RulesReport : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = qeltest::freshDir("rules");
    src_ = dir_ + "/rules.c";
    std::string text;
    for (int l = 1; l <= 16; ++l) text += "  line" + std::to_string(l) + ";\n";
    qeltest::writeText(src_, text);
    std::string wide;
    for (int i = 0; i < 17; ++i)
      wide += std::string(i ? "," : "") + R"({"id":)" + std::to_string(40 + i) + R"(,"index":)" +
              std::to_string(i) + R"(,"text":"w)" + std::to_string(i) + "\"}";
    const std::string map = R"({"format":"qelmap","version":1,"unit":5,"files":[{"id":0,"path":")" +
                            src_ + R"("}],
      "functions":[{"name":"f","file":0,"line":1,"end_line":16,"entry_node":1}],
      "nodes":[{"id":1,"file":0,"line":1,"lines":[1,3,5,7,9,11]},{"id":2,"file":0,"line":13}],
      "decisions":[
        {"id":1,"cond_id":10,"file":0,"function":"f","kind":"if","line":3,"column":7,
         "text":"a && b","conditions":[{"id":11,"index":0,"text":"a"},{"id":12,"index":1,"text":"b"}]},
        {"id":2,"cond_id":20,"file":0,"function":"f","kind":"switch","line":5,"column":3,
         "text":"k","conditions":[{"id":21,"index":0,"text":"k"}]},
        {"id":3,"cond_id":30,"file":0,"function":"f","kind":"if","line":7,"column":7,"mcdc":false,
         "text":"w0 && ... && w16","conditions":[)" +
                            wide + R"(]},
        {"id":4,"cond_id":60,"file":0,"function":"f","kind":"if","line":9,"column":7,
         "text":"c || d","conditions":[{"id":61,"index":0,"text":"c"},{"id":62,"index":1,"text":"d"}]},
        {"id":5,"cond_id":70,"file":0,"function":"f","kind":"if","line":11,"column":7,
         "text":"e","conditions":[{"id":71,"index":0,"text":"e"}]},
        {"id":6,"cond_id":80,"file":0,"function":"f","kind":"while","line":13,"column":10,
         "text":"g","conditions":[{"id":81,"index":0,"text":"g"}]}]})";
    std::string error;
    UnitMap unit;
    ASSERT_TRUE(parseUnitMap(map, "rules", &unit, &error)) << error;
    map_.units[5] = unit;

    Collection run;
    const auto add = [&](Channel c, Body b) { run.add(Message{c, channelInfo(c).port, b}); };
    const auto both = [&](uint16_t cond) {
      add(Channel::Cond, CondMsg{5, cond, true, 1, 1, 0});
      add(Channel::Cond, CondMsg{5, cond, false, 1, 1, 0});
    };
    const auto vec = [&](uint16_t d, const char* v, bool out) {
      add(Channel::Mcdc, McdcMsg{5, d, out, codesFromText(v), 1, 1, 0});
    };
    add(Channel::Node, NodeMsg{5, 1, 0, 4, 0});
    // Line 3: a && b, everything seen: fully covered.
    for (uint16_t c : {10, 11, 12}) both(c);
    vec(1, "TT", true), vec(1, "TF", false), vec(1, "F", false);
    // Line 5: a switch with both outcomes: branch coverage only, so fully
    // covered although it has no MC/DC pair.
    for (uint16_t c : {20, 21}) both(c);
    // Line 7: too wide to record: never fully covered, whatever ran.
    for (uint16_t c = 30; c <= 56; ++c) both(c);
    // Line 9: c || d with both pairs, but d's false outcome never counted.
    both(60), both(61);
    add(Channel::Cond, CondMsg{5, 62, true, 1, 1, 0});
    vec(4, "T", true), vec(4, "FT", true), vec(4, "FF", false);
    // Line 11: a single condition, both ways: fully covered.
    both(70), both(71);
    vec(5, "T", true), vec(5, "F", false);
    // Line 13 never ran.
    model_ = buildCoverage(map_, run);
  }

  SourceMap map_;
  CoverageModel model_;
  std::string dir_, src_;
};

}  // namespace

TEST_F(RulesReport, EveryOutputMarksTheSameDecisionsNotFullyCovered) {
  ASSERT_EQ(model_.files.size(), 1u);
  const auto& ds = model_.files[0].decisions;
  ASSERT_EQ(ds.size(), 6u);
  const std::map<int, bool> expected = {{3, true},  {5, true},  {7, false},
                                        {9, false}, {11, true}, {13, false}};
  for (const DecisionCov& d : ds) EXPECT_EQ(d.fullyCovered(), expected.at(d.range.line)) << d.text;

  std::ostringstream text;
  writeCoverageSummary(text, model_, false);
  const std::string listed = text.str().substr(text.str().find("-- Decisions not fully covered"));
  std::ostringstream json;
  writeCoverageJson(json, model_);
  Json::Value doc;
  std::string error;
  std::istringstream in(json.str());
  ASSERT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), in, &doc, &error)) << error;
  ASSERT_TRUE(writeHtml(dir_ + "/html", model_, &error)) << error;
  const std::string page = readText(dir_ + "/html/1_rules.c.html");

  for (const DecisionCov& d : ds) {
    const int line = d.range.line;
    const bool full = expected.at(line);
    const std::string where = "rules.c:" + std::to_string(line) + ":";
    EXPECT_EQ(listed.find(where) == std::string::npos, full) << "text, line " << line << "\n"
                                                             << listed;
    const Json::Value* j = nullptr;
    for (const auto& x : doc["files"][0]["decisions"])
      if (x["line"].asInt() == line) j = &x;
    ASSERT_NE(j, nullptr);
    EXPECT_EQ((*j)["fully_covered"].asBool(), full) << "JSON, line " << line;
    const std::string row = "<p id=L" + std::to_string(line) + " class=";
    const std::string cls = line == 13 ? "d data-c=0>" : full ? "d data-c=" : "p data-c=";
    EXPECT_NE(page.find(row + cls), std::string::npos) << "HTML, line " << line;
  }
}

TEST_F(RulesReport, EveryOutputShowsTheSameFigures) {
  const Totals& t = model_.totals;
  // The switch is not an MC/DC decision; the too-wide one counts 0 of 17.
  EXPECT_EQ(t.mcdc.covered, 2u + 0u + 2u + 1u);
  EXPECT_EQ(t.mcdc.total, 2u + 17u + 2u + 1u + 1u);
  EXPECT_EQ(t.branches.covered, 10u);
  EXPECT_EQ(t.branches.total, 12u);
  EXPECT_EQ(t.lines.covered, 6u);
  EXPECT_EQ(t.lines.total, 7u);
  const auto figure = [](const Counter& c) {
    return std::to_string(c.covered) + "/" + std::to_string(c.total);
  };

  std::ostringstream text;
  writeCoverageSummary(text, model_, false);
  const std::string total = text.str().substr(text.str().find("\nTOTAL"));
  std::string error;
  ASSERT_TRUE(writeHtml(dir_ + "/html", model_, &error)) << error;
  const std::string index = readText(dir_ + "/html/index.html");
  const std::string totalRow = index.substr(index.find("<b>Total</b>"));
  std::ostringstream json, lcov, cob;
  writeCoverageJson(json, model_);
  writeLcov(lcov, model_);
  writeCobertura(cob, model_, 0);
  Json::Value doc;
  std::istringstream in(json.str());
  ASSERT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), in, &doc, &error)) << error;

  const std::pair<const char*, const Counter*> figures[] = {{"functions", &t.functions},
                                                            {"lines", &t.lines},
                                                            {"branches", &t.branches},
                                                            {"conditions", &t.conditions},
                                                            {"mcdc", &t.mcdc}};
  for (const auto& [name, c] : figures) {
    EXPECT_NE(total.find(" " + figure(*c) + " "), std::string::npos) << name << total;
    EXPECT_NE(totalRow.find("(" + figure(*c) + ")"), std::string::npos) << name << totalRow;
    EXPECT_EQ(doc["totals"][name]["covered"].asUInt64(), c->covered) << name;
    EXPECT_EQ(doc["totals"][name]["total"].asUInt64(), c->total) << name;
  }
  for (const std::string& line :
       {"FNF:" + std::to_string(t.functions.total), "FNH:" + std::to_string(t.functions.covered),
        "BRF:" + std::to_string(t.branches.total), "BRH:" + std::to_string(t.branches.covered),
        "LF:" + std::to_string(t.lines.total), "LH:" + std::to_string(t.lines.covered)})
    EXPECT_NE(lcov.str().find("\n" + line + "\n"), std::string::npos) << line;
  EXPECT_NE(cob.str().find("lines-covered=\"6\" lines-valid=\"7\" branches-covered=\"10\" "
                           "branches-valid=\"12\""),
            std::string::npos)
      << cob.str();
}

TEST(CollectorOutputs, NamesOfAnyBytesKeepEveryFileValid) {
  // A file name and a function in Latin-1, a control character in a
  // decision's text: the XML stays well formed and valid, the JSON parses
  // and gives the bytes back.
  const std::string dir = qeltest::freshDir("bytes");
  const std::string path = dir + "/caf\xe9.c";
  qeltest::writeText(path, "int f(void) {\n  return x\x01 ? 1 : 2;\n}\n");
  SourceMap map;
  UnitMap u;
  u.unit = 1;
  u.files[0] = path;
  u.functions.push_back(MapFunction{"gr\xfc\xdf", 0, 1, 1, 3, 1});
  u.nodes.push_back(MapNode{1, 0, 2, 3, "gr\xfc\xdf", {2}, "stmt"});
  MapDecision d;
  d.id = 1;
  d.condId = 2;
  d.function = "gr\xfc\xdf";
  d.kind = "ternary";
  d.text = "x\x01";
  d.range = {2, 10, 2, 12};
  d.conditions.push_back(MapCondition{3, 0, "x\x01 <\xff>", d.range});
  u.decisions.push_back(d);
  map.units[1] = u;
  Collection run;
  run.add(Message{Channel::Node, channelInfo(Channel::Node).port, NodeMsg{1, 1, 0, 2, 0}});
  const CoverageModel m = buildCoverage(map, run);

  std::ostringstream cob, json;
  writeCobertura(cob, m, 0);
  writeCoverageJson(json, m);
  EXPECT_NE(cob.str().find("name=\"gr\\xfc\\xdf\""), std::string::npos) << cob.str();
  qeltools::Json doc;
  std::string error;
  ASSERT_TRUE(qeltools::parseJson(json.str(), &doc, &error, qeltools::ByteEscapes::AreBytes))
      << error;
  EXPECT_EQ(qeltools::bytesOf(doc["files"][0]["path"]), path);
  EXPECT_EQ(qeltools::bytesOf(doc["files"][0]["decisions"][0]["conditions"][0]["text"]),
            "x\x01 <\xff>");
  ASSERT_TRUE(writeHtml(dir + "/html", m, &error)) << error;
  if (!qeltest::haveTool("xmllint")) GTEST_SKIP() << "xmllint (libxml2-utils) not installed";
  qeltest::writeText(dir + "/cov.xml", cob.str());
  std::string out;
  EXPECT_EQ(
      qeltest::runShell("xmllint --noout --nonet --dtdvalid " + std::string(QEL_REPORT_FIXTURES) +
                            "/coverage-04.dtd " + dir + "/cov.xml",
                        &out),
      0)
      << out << cob.str();
  // The HTML pages as XML: whatever the names, the markup holds.
  EXPECT_EQ(qeltest::runShell("xmllint --noout --html " + dir + "/html/1_caf_.c.html", &out), 0)
      << out;
  EXPECT_EQ(out.find("encoding error"), std::string::npos) << out;
}
