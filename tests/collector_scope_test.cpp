// Which files a report covers and which lines a change touched: path
// spelling, --filter/--exclude, unified diffs, git and the gates on the
// changed lines, through the library and through qelcollect itself.
#include <gtest/gtest.h>
#include <json/json.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "changed_lines.hpp"
#include "coverage.hpp"
#include "report_fixtures.h"
#include "runfile.hpp"
#include "scope.hpp"

using namespace qelc;

namespace {

// One unit whose only node, on line 3 of `path`, ran `count` times.
UnitMap headerUnit(uint16_t unit, const std::string& path) {
  UnitMap u;
  u.unit = unit;
  u.files[0] = path;
  MapNode n;
  n.id = 1;
  n.line = 3;
  n.lines = {3};
  u.nodes.push_back(n);
  return u;
}

Message nodeHits(uint16_t unit, uint32_t count) {
  Message m;
  m.channel = Channel::Node;
  NodeMsg n;
  n.unit = unit;
  n.node = 1;
  n.count = count;
  n.seq = 1;
  m.body = n;
  return m;
}

Json::Value readJson(const std::string& path) {
  Json::Value v;
  std::ifstream in(path);
  Json::CharReaderBuilder b;
  std::string errors;
  EXPECT_TRUE(Json::parseFromStream(b, in, &v, &errors)) << errors;
  return v;
}

}  // namespace

TEST(PathSpelling, FoldsDotsAndResolvesLinks) {
  EXPECT_EQ(lexicallyNormal("/p/a/../inc//./x.h"), "/p/inc/x.h");
  EXPECT_EQ(lexicallyNormal("a/../../x.h"), "../x.h");
  EXPECT_EQ(lexicallyNormal("/../x.h"), "/x.h");
  EXPECT_EQ(relativeTo("/p/src/a.c", "/p"), "src/a.c");
  EXPECT_EQ(relativeTo("/p/src/a.c", "/p/test"), "../src/a.c");
  EXPECT_EQ(relativeTo("/pq/a.c", "/p"), "../pq/a.c");

  const std::string dir = canonicalPath(qeltest::freshDir("links"));
  mkdir((dir + "/inc").c_str(), 0777);
  qeltest::writeText(dir + "/inc/x.h", "int x;\n");
  ASSERT_EQ(symlink((dir + "/inc").c_str(), (dir + "/link").c_str()), 0);
  EXPECT_EQ(canonicalPath(dir + "/link/x.h"), dir + "/inc/x.h");
  // A file that is not here is folded by its text alone.
  EXPECT_EQ(canonicalPath(dir + "/gone/../inc/y.h"), dir + "/inc/y.h");
}

// A header reached as a/../inc/x.h, inc/x.h and through a link is one file
// whose counts add up, not three files that each dilute the totals.
TEST(PathSpelling, OneHeaderThroughThreePathsCountsOnce) {
  const std::string dir = canonicalPath(qeltest::freshDir("hdr"));
  mkdir((dir + "/inc").c_str(), 0777);
  mkdir((dir + "/a").c_str(), 0777);
  qeltest::writeText(dir + "/inc/x.h", "\n\nstatic inline int one(void) { return 1; }\n");
  ASSERT_EQ(symlink((dir + "/inc").c_str(), (dir + "/link").c_str()), 0);
  SourceMap map;
  map.units[1] = headerUnit(1, dir + "/a/../inc/x.h");
  map.units[2] = headerUnit(2, dir + "/inc/x.h");
  map.units[3] = headerUnit(3, dir + "/link/x.h");
  Collection run;
  run.add(nodeHits(1, 2));
  run.add(nodeHits(3, 5));
  const CoverageModel m = buildCoverage(map, run);
  ASSERT_EQ(m.files.size(), 1u);
  EXPECT_EQ(m.files[0].path, dir + "/inc/x.h");
  EXPECT_EQ(m.files[0].lines.at(3), 7u);
  EXPECT_EQ(m.totals.lines.total, 1u);
  EXPECT_EQ(m.totals.lines.covered, 1u);
}

TEST(PathScopeTest, FilterAndExcludeMatchFromTheStartOfTheRelativePath) {
  PathScope s;
  std::string error;
  ASSERT_TRUE(s.set("/p", {"src/", "include/"}, {".*_test\\.c$", "src/gen/"}, &error)) << error;
  EXPECT_TRUE(s.keeps("/p/src/a.c"));
  EXPECT_TRUE(s.keeps("/p/include/a.h"));
  EXPECT_FALSE(s.keeps("/p/examples/simple.c"));
  EXPECT_FALSE(s.keeps("/p/src/a_test.c"));
  EXPECT_FALSE(s.keeps("/p/src/gen/t.c"));
  EXPECT_FALSE(s.keeps("/p/test/src/a.c"));  // anchored at the start
  EXPECT_FALSE(s.keeps("/q/src/a.c"));       // "../q/src/a.c" from /p

  PathScope none;
  ASSERT_TRUE(none.set("/p", {}, {}, &error));
  EXPECT_TRUE(none.keeps("/anywhere/a.c"));
  PathScope bad;
  EXPECT_FALSE(bad.set("/p", {"src/("}, {}, &error));
  EXPECT_NE(error.find("--filter \"src/(\""), std::string::npos) << error;
}

TEST(PathScopeTest, TotalsAreThoseOfTheFilesKept) {
  SourceMap map;
  map.units[1] = headerUnit(1, "/p/src/a.c");
  map.units[2] = headerUnit(2, "/p/tests/t.c");
  Collection run;
  run.add(nodeHits(1, 1));
  CoverageModel m = buildCoverage(map, run);
  EXPECT_EQ(m.totals.lines.total, 2u);
  PathScope s;
  std::string error;
  ASSERT_TRUE(s.set("/p", {}, {"tests/"}, &error));
  applyScope(s, &m);
  ASSERT_EQ(m.files.size(), 1u);
  EXPECT_EQ(m.totals.lines.covered, 1u);
  EXPECT_EQ(m.totals.lines.total, 1u);
}

TEST(UnifiedDiff, AddedLinesOfGitAndContextDiffs) {
  const std::string diff =
      "diff --git a/src/a.c b/src/a.c\n"
      "--- a/src/a.c\n"
      "+++ b/src/a.c\n"
      "@@ -3 +3,2 @@ int f(void)\n"
      "-old\n"
      "+new one\n"
      "+new two\n"
      "@@ -10,0 +12 @@\n"
      "+++ an added line that starts like a header\n"
      "@@ -20,2 +22,0 @@\n"
      "-gone\n"
      "-gone\n"
      "--- a/old.c\n"
      "+++ /dev/null\n"
      "@@ -1 +0,0 @@\n"
      "-x\n"
      "--- lib/b.c\t2026-01-01 10:00:00\n"
      "+++ lib/b.c\t2026-01-02 10:00:00\n"
      "@@ -1,4 +1,5 @@\n"
      " keep\n"
      "-was\n"
      "+is\n"
      "+and\n"
      "\n"
      " keep\n"
      "\\ No newline at end of file\n";
  ChangedLines c;
  std::string error;
  ASSERT_TRUE(parseUnifiedDiff(diff, "/p", &c, &error)) << error;
  EXPECT_EQ(c["/p/src/a.c"], (std::set<int>{3, 4, 12}));
  EXPECT_EQ(c["/p/lib/b.c"], (std::set<int>{2, 3}));
  EXPECT_EQ(c.count("/p/old.c"), 0u);

  ChangedLines bad;
  EXPECT_FALSE(parseUnifiedDiff("+++ b/a.c\n@@ -1 +x @@\n", "/p", &bad, &error));
  EXPECT_NE(error.find("line 2"), std::string::npos) << error;
}

// gate.c in a fresh repository, its lines 3 and 8 changed since HEAD: line
// 3 ran, line 8 (and the decision on it) never did.
class ChangedGate : public ::testing::Test {
 protected:
  void SetUp() override {
    repo_ = canonicalPath(qeltest::freshDir("repo"));
    const std::string fixtures = QEL_REPORT_FIXTURES;
    const std::string gate = qeltest::readText(fixtures + "/gate.c");
    qeltest::writeText(repo_ + "/gate.c", gate);
    std::string out;
    ASSERT_EQ(qeltest::runShell("cd " + repo_ +
                                    " && git init -q . && git add gate.c && git -c "
                                    "user.name=t -c user.email=t@t commit -qm base",
                                &out),
              0)
        << out;
    std::string changed = qeltest::replaceAll(gate, "    return 1;", "    return 1; /* now */");
    changed = qeltest::replaceAll(changed, "x ? 1 : 2", "x ? 2 : 1");
    qeltest::writeText(repo_ + "/gate.c", changed);
    maps_ = qeltest::freshDir("maps");
    qeltest::writeText(maps_ + "/7.qelmap.json",
                       qeltest::replaceAll(qeltest::readText(fixtures + "/gate_map/7.qelmap.json"),
                                           "@SRC@", repo_));
    run_ = fixtures + "/gate_run.jsonl";
  }
  std::string repo_, maps_, run_;
};

TEST_F(ChangedGate, LibraryFiguresOfTheChangedLines) {
  ChangedLines c;
  std::string error;
  ASSERT_TRUE(gitChangedLines(repo_, "HEAD", &c, &error)) << error;
  EXPECT_EQ(c[repo_ + "/gate.c"], (std::set<int>{3, 8}));

  SourceMap map;
  ASSERT_TRUE(loadMapDir(maps_, &map, &error)) << error;
  Collection run;
  ASSERT_TRUE(readRunFiles(
      {run_}, [&](Message&& m) { run.add(m); }, &error))
      << error;
  const CoverageModel d = restrictToChanged(buildCoverage(map, run), c);
  ASSERT_EQ(d.files.size(), 1u);
  EXPECT_EQ(d.totals.lines.covered, 1u);
  EXPECT_EQ(d.totals.lines.total, 2u);
  ASSERT_EQ(d.files[0].decisions.size(), 1u);  // the ternary of line 8, not line 2's
  EXPECT_EQ(d.files[0].decisions[0].range.line, 8);
  EXPECT_EQ(d.totals.mcdc.covered, 0u);
  EXPECT_EQ(d.totals.mcdc.total, 1u);
  EXPECT_EQ(d.totals.functions.total, 2u);  // both functions hold a changed line

  ChangedLines none;
  EXPECT_FALSE(gitChangedLines(repo_, "no-such-revision", &none, &error));
  EXPECT_NE(error.find("no-such-revision"), std::string::npos) << error;
}

TEST_F(ChangedGate, ReportGatesAndShowsTheChangedLines) {
  const std::string out = qeltest::freshDir("out");
  int rc = 0;
  std::string text = qeltest::runQelcollect(
      "report --map " + maps_ + " --root " + repo_ +
          " --diff-base HEAD --fail-under-diff-line 60 --json " + out +
          "/c.json --cobertura-diff " + out + "/d.xml --html " + out + "/html " + run_,
      &rc);
  EXPECT_EQ(rc, 6) << text;
  EXPECT_NE(text.find("-- Changed lines (git diff HEAD)"), std::string::npos) << text;
  EXPECT_NE(text.find("Changed lines never run:\n    gate.c: 8\n"), std::string::npos) << text;
  EXPECT_NE(text.find("changed-line coverage 50.0% is below --fail-under-diff-line 60%"),
            std::string::npos)
      << text;

  const Json::Value j = readJson(out + "/c.json");
  const Json::Value& c = j["changed_lines"];
  EXPECT_EQ(c["against"].asString(), "git diff HEAD");
  EXPECT_EQ(c["totals"]["lines"]["covered"].asInt(), 1);
  ASSERT_EQ(c["files"].size(), 1u);
  EXPECT_EQ(c["files"][0]["uncovered_lines"][0].asInt(), 8);
  EXPECT_EQ(c["files"][0]["covered_lines"][0].asInt(), 3);

  const std::string index = qeltest::readText(out + "/html/index.html");
  EXPECT_NE(index.find("#L8\">8</a>"), std::string::npos);

  if (qeltest::haveTool("xmllint")) {
    std::string lint;
    EXPECT_EQ(qeltest::runShell("xmllint --noout --dtdvalid " + std::string(QEL_REPORT_FIXTURES) +
                                    "/coverage-04.dtd " + out + "/d.xml",
                                &lint),
              0)
        << lint;
    EXPECT_NE(qeltest::readText(out + "/d.xml").find("lines-valid=\"2\""), std::string::npos);
  }

  // A diff given as a file, and MC/DC of the changed lines below its gate.
  std::string diff;
  qeltest::runShell("cd " + repo_ + " && git diff HEAD", &diff);
  qeltest::writeText(out + "/change.diff", diff);
  text = qeltest::runQelcollect("report --map " + maps_ + " --root " + repo_ + " --diff " + out +
                                    "/change.diff --fail-under-diff-mcdc 1 " + run_,
                                &rc);
  EXPECT_EQ(rc, 9) << text;
  EXPECT_NE(text.find("-- Changed lines (diff "), std::string::npos) << text;
}

TEST_F(ChangedGate, ScopeAndDiffOptionsAreChecked) {
  int rc = 0;
  std::string text =
      qeltest::runQelcollect("report --map " + maps_ + " --fail-under-diff-line 50 " + run_, &rc);
  EXPECT_EQ(rc, 2);
  EXPECT_NE(text.find("need --diff-base or --diff"), std::string::npos) << text;
  text = qeltest::runQelcollect("report --map " + maps_ + " --diff-base HEAD --diff x.diff " + run_,
                                &rc);
  EXPECT_EQ(rc, 2) << text;
  text = qeltest::runQelcollect("report --map " + maps_ + " --filter '(' " + run_, &rc);
  EXPECT_EQ(rc, 2);
  EXPECT_NE(text.find("is not a regular expression"), std::string::npos) << text;
  text = qeltest::runQelcollect(
      "report --map " + maps_ + " --root " + repo_ + " --diff-base nope " + run_, &rc);
  EXPECT_EQ(rc, 2);
  EXPECT_NE(text.find("git diff nope failed"), std::string::npos) << text;
  // Everything left out: the totals are those of no file.
  text = qeltest::runQelcollect(
      "report --map " + maps_ + " --root " + repo_ + " --exclude gate " + run_, &rc);
  EXPECT_EQ(rc, 0) << text;
  EXPECT_EQ(text.find("gate.c "), std::string::npos) << text;
}
