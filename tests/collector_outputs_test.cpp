// Every output format of the coverage model, each checked by what reads it
// in practice: genhtml, xmllint against the Cobertura DTD, a JSON parser and
// a headless browser. A missing tool skips its test instead of failing it.
#include <gtest/gtest.h>
#include <json/json.h>

#include <fstream>
#include <memory>
#include <sstream>

#include "coverage.hpp"
#include "outputs.hpp"
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
  // Self-contained: nothing fetched from anywhere.
  for (const std::string& p : {index, page}) {
    EXPECT_EQ(p.find("http"), std::string::npos);
    EXPECT_EQ(p.find("<script"), std::string::npos);
    EXPECT_EQ(p.find("<link"), std::string::npos);
  }
  if (!qeltest::haveTool("chromium")) GTEST_SKIP() << "chromium not installed";
  std::string dom;
  chromium("--dump-dom file://" + html + "/index.html", &dom);
  EXPECT_NE(dom.find("<a href=\"1_gate.c.html\">gate.c</a>"), std::string::npos) << dom;
  EXPECT_NE(dom.find("75.0% <span class=\"note\">(3/4)</span>"), std::string::npos) << dom;
  EXPECT_NE(dom.find("25.0% <span class=\"note\">(1/4)</span>"), std::string::npos) << dom;
  chromium("--dump-dom file://" + html + "/1_gate.c.html", &dom);
  EXPECT_NE(dom.find("<tr id=\"L8\" class=\"miss\">"), std::string::npos) << dom;
  EXPECT_NE(dom.find("<tr id=\"L2\" class=\"part\">"), std::string::npos) << dom;
  EXPECT_NE(dom.find("a &amp;&amp; (b || c)"), std::string::npos) << dom;
  EXPECT_NE(dom.find("missing independence pair"), std::string::npos);
  EXPECT_NE(dom.find("never reached"), std::string::npos);
  // And it paints: a screenshot of the file page is a real image.
  std::string out;
  chromium(
      "--window-size=1000,800 --screenshot=" + dir_ + "/page.png file://" + html + "/1_gate.c.html",
      &out);
  const std::string png = readText(dir_ + "/page.png");
  ASSERT_GT(png.size(), 5000u) << out;
  EXPECT_EQ(png.substr(1, 3), "PNG");
}
