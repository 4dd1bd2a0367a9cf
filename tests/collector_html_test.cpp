// The HTML report as a person uses it, in headless Chromium: line anchors,
// the walk through what is missing (keys and links), decision details
// opened on demand, the index's folders and sorting; and the page size
// bound of a file with 10,000 decisions.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "coverage.hpp"
#include "outputs.hpp"
#include "report_fixtures.h"
#include "runfile.hpp"

using namespace qelc;
using qeltest::readText;

namespace {

CoverageModel gateModel() {
  SourceMap map;
  std::string error;
  EXPECT_TRUE(loadMapDir(qeltest::mapDir("gate_map", "7.qelmap.json"), &map, &error)) << error;
  Collection run;
  EXPECT_TRUE(readRunFiles(
      {std::string(QEL_REPORT_FIXTURES) + "/gate_run.jsonl"}, [&](Message&& m) { run.add(m); },
      &error))
      << error;
  return buildCoverage(map, run);
}

// Loads `page` in a frame of a page that runs `script` against it (w: the
// frame's window, d: its document, out: lines to report) and returns what
// the script reported, read from the dumped DOM.
std::string driveInChromium(const std::string& dir, const std::string& page,
                            const std::string& script) {
  qeltest::writeText(dir + "/drive.html",
                     "<!DOCTYPE html><html><body><pre id=r>not run</pre><iframe id=f src=\"" +
                         page +
                         "\"></iframe><script>var f=document.getElementById('f');"
                         "f.onload=function(){var w=f.contentWindow,d=w.document,out=[];" +
                         script +
                         "setTimeout(function(){document.getElementById('r').textContent="
                         "'<<'+out.join('\\n')+'>>'},300)};</script></body></html>");
  std::string dom;
  qeltest::runShell(
      "timeout 60 chromium --headless --no-sandbox --disable-gpu "
      "--disable-background-networking --disable-component-update "
      "--no-first-run --allow-file-access-from-files --virtual-time-budget=5000 "
      "--user-data-dir=" +
          qeltest::freshDir("chromium") + " --dump-dom file://" + dir + "/drive.html 2>/dev/null",
      &dom);
  const auto a = dom.find("&lt;&lt;"), b = dom.find("&gt;&gt;");
  if (a == std::string::npos || b == std::string::npos) return "no result in: " + dom;
  return dom.substr(a + 8, b - a - 8);
}

}  // namespace

// Keys move the line anchor to the next and previous miss, wrapping round,
// and the bar names what is missing there; a decision line opened shows its
// vectors and conditions, built only then.
TEST(HtmlReport, KeysWalkTheMissesAndDetailsOpenOnDemand) {
  const CoverageModel m = gateModel();
  const std::string dir = qeltest::freshDir("html");
  std::string error;
  ASSERT_TRUE(writeHtml(dir, m, &error)) << error;
  const std::string page = readText(dir + "/1_gate.c.html");
  // Line 2 misses an MC/DC pair, line 8 never ran: the walk's two stops.
  EXPECT_NE(page.find("<span id=\"at\">2 to look at</span>"), std::string::npos) << page;
  EXPECT_NE(page.find("<a id=\"nx\" href=\"#L2\">"), std::string::npos);  // works without script
  // Details are not in the markup until opened.
  EXPECT_EQ(page.find("pair #1/#2"), std::string::npos);
  if (!qeltest::haveTool("chromium")) GTEST_SKIP() << "chromium not installed";

  const std::string r =
      driveInChromium(dir, "1_gate.c.html",
                      "function key(k){d.dispatchEvent(new KeyboardEvent('keydown',{key:k}));"
                      "out.push(k+' '+w.location.hash+' '+d.getElementById('at').textContent)}"
                      "key('n');key('j');key('n');key('p');key('k');"
                      "d.getElementById('nx').click();out.push('link '+w.location.hash);"
                      "var t=d.querySelector(':target');out.push('target '+(t&&t.id));"
                      "d.getElementById('L2').click();d.getElementById('L8').click();"
                      "out.push(d.getElementById('L2').nextSibling.textContent);"
                      "out.push(d.getElementById('L8').nextSibling.textContent);"
                      "d.getElementById('L8').click();"
                      "out.push('open '+d.getElementById('L8').nextSibling.open);");
  EXPECT_NE(r.find("n #L2 1 of 2: line 2, MC/DC pair missing\n"
                   "j #L8 2 of 2: line 8, line never run\n"
                   "n #L2 1 of 2: line 2, MC/DC pair missing\n"
                   "p #L8 2 of 2: line 8, line never run\n"
                   "k #L2 1 of 2: line 2, MC/DC pair missing\n"
                   "link #L8\n"
                   "target L8\n"),
            std::string::npos)
      << r;
  EXPECT_NE(r.find("decisions of line 2if a &amp;&amp; (b || c)  \u2014 true 1, false 1"),
            std::string::npos)
      << r;
  EXPECT_NE(r.find("MC/DC 1/3"), std::string::npos) << r;
  EXPECT_NE(r.find("#2  T T -  \u2192 T  x1"), std::string::npos) << r;
  EXPECT_NE(r.find("c0 a: true 1, false 1  pair #1/#2"), std::string::npos) << r;
  EXPECT_NE(r.find("c2 c: true 0, false 0  missing independence pair"), std::string::npos) << r;
  EXPECT_NE(r.find("ternary x  \u2014 true 0, false 0  never reached"), std::string::npos) << r;
  EXPECT_NE(r.find("open false"), std::string::npos) << r;  // a second click closes it
}

// Folders group the files under their own figures; a heading click sorts
// the files within each folder and the folders, and a second click reverses.
TEST(HtmlReport, IndexHasFoldersAndSorts) {
  CoverageModel m;
  const auto file = [&](const std::string& path, uint64_t covered) {
    FileCov f;
    f.path = path;
    for (int l = 1; l <= 4; ++l) f.lines[l] = l <= static_cast<int>(covered) ? 1 : 0;
    countFile(&f);
    m.totals.add(f.totals);
    m.files.push_back(f);
  };
  file("/p/lib/a.c", 1);
  file("/p/lib/b.c", 4);
  file("/p/src/c.c", 3);
  file("/p/src/d.c", 1);
  const std::string dir = qeltest::freshDir("index");
  std::string error;
  ASSERT_TRUE(writeHtml(dir, m, &error)) << error;
  const std::string index = readText(dir + "/index.html");
  EXPECT_NE(index.find("<tbody><tr class=\"f\"><td>lib/</td>"), std::string::npos) << index;
  EXPECT_NE(index.find("<tr class=\"f\"><td>src/</td><td class=\"\" data-v=\"-1.0\">-"),
            std::string::npos)
      << index;
  if (!qeltest::haveTool("chromium")) GTEST_SKIP() << "chromium not installed";
  const std::string order =
      "function order(){var s=[];Array.prototype.forEach.call(d.getElementById('files')"
      ".tBodies,function(b){Array.prototype.forEach.call(b.rows,function(r){"
      "s.push(r.cells[0].textContent.trim())})});return s.join(' ')}"
      "var h=d.getElementById('files').tHead.rows[0].cells;";
  const std::string r =
      driveInChromium(dir, "index.html",
                      order +
                          "out.push(order());h[2].click();out.push(order());"
                          "h[2].click();out.push(order());h[0].click();out.push(order());");
  EXPECT_EQ(r,
            "lib/ a.c b.c src/ c.c d.c\n"
            "src/ d.c c.c lib/ a.c b.c\n"
            "lib/ b.c a.c src/ c.c d.c\n"
            "lib/ a.c b.c src/ c.c d.c");
}

// A file of 10,000 decisions: its page stays within three times its source,
// since details are data the page expands, not markup per decision.
TEST(HtmlReport, PageSizeFollowsTheSourceNotTheDecisions) {
  const std::string dir = qeltest::freshDir("big");
  const std::string src = dir + "/gen.c";
  std::ostringstream text;
  FileCov f;
  f.path = src;
  // Functions as C is written: a comment, a local, one decision of two
  // conditions, a decision every eight lines.
  for (int i = 0; i < 10000; ++i) {
    const int l = 8 * i + 1;
    text << "/* Checks sample " << i << " against its limits. */\n"
         << "static int check_" << i << "(int value, int limit) {\n"
         << "  int result = 0;\n"
         << "  if (value > " << i << " && limit < 7) {\n"
         << "    result = value - limit;\n"
         << "  }\n"
         << "  return result;\n"
         << "}\n";
    for (int k = 2; k <= 6; ++k) f.lines[l + k] = k == 4 && i % 3 == 0 ? 0 : 3;
    FunctionCov fn;
    fn.name = "check_" + std::to_string(i);
    fn.line = l + 1;
    fn.endLine = l + 7;
    fn.calls = 3;
    f.functions.push_back(fn);
    DecisionCov d;
    d.function = fn.name;
    d.kind = "if";
    const int dl = l + 3;
    d.range = {dl, 7, dl, 34};
    d.trueCount = i % 3 ? 1 : 0;
    d.falseCount = 2;
    for (int c = 0; c < 2; ++c) {
      ConditionCov cc;
      cc.index = c;
      cc.range = {dl, c ? 24 : 7, dl, c ? 34 : 19};
      cc.trueCount = 1;
      cc.falseCount = 1;
      cc.pair = c == 0;
      cc.pairFirst = c == 0 ? 0 : -1;
      cc.pairSecond = c == 0 ? 1 : -1;
      d.conditions.push_back(cc);
    }
    d.vectors.resize(3);
    d.pairs = 1;
    f.decisions.push_back(d);
  }
  qeltest::writeText(src, text.str());
  countFile(&f);
  CoverageModel m;
  m.totals = f.totals;
  m.files.push_back(f);
  std::string error;
  ASSERT_TRUE(writeHtml(dir + "/html", m, &error)) << error;
  const std::size_t page = readText(dir + "/html/1_gen.c.html").size();
  const std::size_t source = text.str().size();
  EXPECT_LE(page, 3 * source) << "page " << page << " bytes, source " << source;
  EXPECT_EQ(m.totals.decisions.total, 10000u);
}

// With several tests, a click on a line says which tests ran it, failing
// ones marked, and each vector the tests that sent it.
TEST(HtmlReport, ALineClickedNamesTheTestsThatRanIt) {
  CoverageModel m = gateModel();
  m.tests = {TestRecord{"t_open", 0}, TestRecord{"t_closed", 1}};
  FileCov& f = m.files.at(0);
  f.lineTests = {{2, {0, 1}}, {3, {0}}, {4, {1}}};
  DecisionCov& d = f.decisions.at(0);
  d.vectorTests.assign(d.vectors.size(), TestSet{1});
  const std::string dir = qeltest::freshDir("tests");
  std::string error;
  ASSERT_TRUE(writeHtml(dir, m, &error)) << error;
  if (!qeltest::haveTool("chromium")) GTEST_SKIP() << "chromium not installed";
  const std::string r = driveInChromium(
      dir, "1_gate.c.html",
      "d.getElementById('L3').click();out.push(d.getElementById('L3').nextSibling.textContent);"
      "d.getElementById('L2').click();out.push(d.getElementById('L2').nextSibling.textContent);"
      "d.getElementById('L5').click();out.push(String(d.getElementById('L5').nextSibling.id));");
  EXPECT_NE(r.find("line 3run by 1 of 2 tests: t_open\n"), std::string::npos) << r;
  EXPECT_NE(r.find("run by 2 of 2 tests: t_open, t_closed (failed)"), std::string::npos) << r;
  EXPECT_NE(r.find("x1  by t_closed (failed)"), std::string::npos) << r;
  EXPECT_NE(r.find("\nL6"), std::string::npos) << r;  // a line no test ran opens nothing
}
