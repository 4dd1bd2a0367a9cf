// Source maps read against a run: the coverage model every report format
// is written from.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include "coverage.hpp"
#include "outputs.hpp"
#include "report_fixtures.h"
#include "srcmap.hpp"
#include "text_report.hpp"

using namespace qelc;

namespace {

Message msg(Channel c, Body b) { return Message{c, channelInfo(c).port, std::move(b)}; }
void node(Collection& c, uint16_t unit, uint16_t id, uint32_t n) {
  c.add(msg(Channel::Node, NodeMsg{unit, id, 0, n, 0}));
}
void cond(Collection& c, uint16_t unit, uint16_t id, bool held, uint32_t n) {
  c.add(msg(Channel::Cond, CondMsg{unit, id, held, 1, n, 0}));
}
void vec(Collection& c, uint16_t unit, uint16_t decision, const std::string& v, bool out) {
  c.add(msg(Channel::Mcdc, McdcMsg{unit, decision, out, codesFromText(v), 1, 1, 0}));
}

UnitMap parse(const std::string& json) {
  UnitMap u;
  std::string error;
  EXPECT_TRUE(parseUnitMap(json, "test", &u, &error)) << error;
  return u;
}

// A unit with a function f in main.c and a static inline g in the shared
// header h.h (line 3, decision "p && q" on line 4).
std::string unitJson(int unit, const std::string& main) {
  return R"({"format":"qelmap","version":1,"unit":)" + std::to_string(unit) +
         R"(,"files":[{"id":0,"path":")" + main + R"("},{"id":1,"path":"/src/h.h"}],
  "functions":[{"name":"f","file":0,"line":1,"end_line":6,"entry_node":1},
               {"name":"g","file":1,"line":2,"end_line":6,"entry_node":3}],
  "nodes":[{"id":1,"file":0,"line":2,"lines":[2,3]},{"id":2,"file":0,"line":3,"lines":[3]},
           {"id":5,"file":0,"line":5,"lines":[5]},
           {"id":3,"file":1,"line":3,"lines":[3]},{"id":4,"file":1,"line":5,"lines":[5]}],
  "decisions":[{"id":1,"cond_id":12,"file":1,"function":"g","kind":"if","line":4,"column":7,
    "end_line":4,"end_column":13,"text":"p && q","conditions":[
      {"id":10,"index":0,"text":"p","line":4,"column":7},{"id":11,"index":1,"text":"q","line":4,"column":12}]}]})";
}

}  // namespace

TEST(CollectorMap, RejectsWhatItCannotTrust) {
  UnitMap u;
  std::string e;
  EXPECT_FALSE(parseUnitMap("{", "m.json", &u, &e));
  EXPECT_NE(e.find("m.json: not valid JSON"), std::string::npos) << e;
  EXPECT_FALSE(parseUnitMap(R"({"format":"other","version":1,"unit":1})", "m", &u, &e));
  EXPECT_NE(e.find("not a source map"), std::string::npos) << e;
  EXPECT_FALSE(parseUnitMap(R"({"format":"qelmap","version":2,"unit":1})", "m", &u, &e));
  EXPECT_NE(e.find("version"), std::string::npos) << e;
  // Unit ids travel in 15 bits.
  e.clear();
  EXPECT_FALSE(parseUnitMap(R"({"format":"qelmap","version":1,"unit":40000})", "m", &u, &e));
  EXPECT_NE(e.find("\"unit\""), std::string::npos) << e;
  e.clear();
  EXPECT_FALSE(parseUnitMap(
      R"({"format":"qelmap","version":1,"unit":1,"nodes":[{"id":1,"file":3,"line":2}]})", "m", &u,
      &e));
  EXPECT_NE(e.find("file id 3"), std::string::npos) << e;
  e.clear();
  EXPECT_FALSE(
      parseUnitMap(R"({"format":"qelmap","version":1,"unit":1,"files":[{"id":0,"path":"a"}],
    "decisions":[{"id":1,"cond_id":3,"file":0,"line":1,"conditions":[{"id":1,"index":0},{"id":2,"index":2}]}]})",
                   "m", &u, &e));
  EXPECT_NE(e.find("condition indices"), std::string::npos) << e;

  SourceMap map;
  const std::string empty = qeltest::freshDir("empty");
  EXPECT_FALSE(loadMapDir(empty, &map, &e));
  EXPECT_NE(e.find("no *.qelmap.json"), std::string::npos) << e;
  EXPECT_FALSE(loadMapDir(empty + "/missing", &map, &e));
  const std::string a = qeltest::mapDir("gate_map", "7.qelmap.json");
  const std::string b = qeltest::mapDir("gate_map", "7.qelmap.json");
  ASSERT_TRUE(loadMapDir(a, &map, &e)) << e;
  EXPECT_FALSE(loadMapDir(b, &map, &e));
  EXPECT_NE(e.find("unit 7 is mapped twice"), std::string::npos) << e;
}

TEST(CollectorCoverage, LinesTakeTheBusiestNodeAndSharedHeadersAddUp) {
  SourceMap map;
  map.units[1] = parse(unitJson(1, "/src/a.c"));
  map.units[2] = parse(unitJson(2, "/src/b.c"));
  Collection run;
  node(run, 1, 1, 3);  // a.c lines 2 and 3
  node(run, 1, 2, 7);  // a.c line 3 again: the larger count stands
  node(run, 1, 3, 2);  // g through unit 1
  node(run, 2, 3, 5);  // g through unit 2
  node(run, 2, 4, 1);
  const CoverageModel m = buildCoverage(map, run);
  ASSERT_EQ(m.files.size(), 3u);
  const FileCov& a = m.files[0];
  const FileCov& h = m.files[2];
  EXPECT_EQ(a.path, "/src/a.c");
  EXPECT_EQ(a.lines, (std::map<int, uint64_t>{{2, 3}, {3, 7}, {5, 0}}));
  EXPECT_EQ(a.totals.lines.covered, 2u);
  EXPECT_EQ(a.totals.lines.total, 3u);
  EXPECT_EQ(m.files[1].totals.lines.covered, 0u);  // b.c: f never ran there
  // The header's lines, functions and decisions appear once, merged.
  EXPECT_EQ(h.path, "/src/h.h");
  EXPECT_EQ(h.lines, (std::map<int, uint64_t>{{3, 7}, {5, 1}}));
  ASSERT_EQ(h.functions.size(), 1u);
  EXPECT_EQ(h.functions[0].calls, 7u);
  ASSERT_EQ(h.decisions.size(), 1u);
  EXPECT_EQ(h.decisions[0].origins.size(), 2u);
  EXPECT_EQ(m.totals.functions.total, 3u);  // f in a.c, f in b.c, g
  EXPECT_EQ(m.totals.functions.covered, 2u);
  EXPECT_EQ(commonRoot(m), "/src/");
  EXPECT_EQ(displayPath("/src/h.h", commonRoot(m)), "h.h");
}

TEST(CollectorCoverage, VectorsOfOneHeaderDecisionFromTwoUnitsMakePairs) {
  SourceMap map;
  map.units[1] = parse(unitJson(1, "/src/a.c"));
  map.units[2] = parse(unitJson(2, "/src/b.c"));
  Collection run;
  vec(run, 1, 1, "TT", true);
  cond(run, 1, 12, true, 1);
  vec(run, 2, 1, "TF", false);
  vec(run, 2, 1, "F", false);
  cond(run, 2, 12, false, 2);
  cond(run, 1, 10, true, 1);
  cond(run, 2, 10, true, 1);
  cond(run, 2, 10, false, 1);
  const CoverageModel m = buildCoverage(map, run);
  const DecisionCov& d = m.files[2].decisions[0];
  EXPECT_EQ(d.trueCount, 1u);
  EXPECT_EQ(d.falseCount, 2u);
  EXPECT_EQ(d.vectors.size(), 3u);
  EXPECT_EQ(d.pairs, 2);
  EXPECT_EQ(d.conditions[0].trueCount, 2u);
  EXPECT_EQ(d.conditions[0].falseCount, 1u);
  EXPECT_TRUE(d.conditions[0].pair);
  EXPECT_TRUE(d.conditions[1].pair);
}

TEST(CollectorCoverage, UnreachedTooWideAndSwitchDecisions) {
  std::string wide;
  for (int i = 0; i < 17; ++i)
    wide += std::string(i ? "," : "") + R"({"id":)" + std::to_string(20 + i) + R"(,"index":)" +
            std::to_string(i) + R"(,"text":"c)" + std::to_string(i) + "\"}";
  SourceMap map;
  map.units[3] =
      parse(R"({"format":"qelmap","version":1,"unit":3,"files":[{"id":0,"path":"/p/x.c"}],
    "functions":[{"name":"f","file":0,"line":1,"end_line":20,"entry_node":1}],
    "nodes":[{"id":1,"file":0,"line":2}],
    "decisions":[
      {"id":1,"cond_id":1,"file":0,"function":"f","kind":"while","line":3,"text":"a || b",
       "conditions":[{"id":2,"index":0,"text":"a"},{"id":3,"index":1,"text":"b"}]},
      {"id":2,"cond_id":4,"file":0,"function":"f","kind":"if","line":5,"mcdc":false,
       "text":"c0 && ... && c16","conditions":[)" +
            wide + R"(]},
      {"id":3,"cond_id":5,"file":0,"function":"f","kind":"switch","line":9,"text":"k",
       "conditions":[{"id":6,"index":0,"text":"k"}]},
      {"id":4,"cond_id":7,"file":0,"function":"f","kind":"if","line":12,"text":"z",
       "conditions":[{"id":8,"index":0,"text":"z"}]}]})");
  Collection run;
  node(run, 3, 1, 1);
  cond(run, 3, 4, true, 1);
  cond(run, 3, 4, false, 1);
  cond(run, 3, 5, true, 1);
  cond(run, 3, 7, true, 1);
  cond(run, 3, 8, true, 1);
  vec(run, 3, 4, "T", true);
  const CoverageModel m = buildCoverage(map, run);
  ASSERT_EQ(m.files.size(), 1u);
  const auto& ds = m.files[0].decisions;
  ASSERT_EQ(ds.size(), 4u);
  // Never reached: listed, both outcomes and every condition missing.
  EXPECT_FALSE(ds[0].reached());
  EXPECT_EQ(ds[0].width(), 2);
  EXPECT_EQ(ds[0].conditions[1].text, "b");
  // Too wide: both outcomes seen, still 0 of its 17 conditions in MC/DC.
  EXPECT_FALSE(ds[1].mcdc);
  EXPECT_EQ(ds[1].width(), 17);
  const Totals& t = m.totals;
  EXPECT_EQ(t.mcdc.total, 2u + 17u + 1u);  // the switch is not an MC/DC decision
  EXPECT_EQ(t.mcdc.covered, 0u);
  EXPECT_EQ(t.branches.total, 8u);
  EXPECT_EQ(t.branches.covered, 4u);
  EXPECT_EQ(t.decisions.covered, 1u);
  EXPECT_EQ(t.conditions.total, 2u * (2 + 17 + 1 + 1));
  EXPECT_EQ(t.conditions.covered, 1u);
  EXPECT_EQ(t.tooWideDecisions, 1);
  EXPECT_EQ(t.unreachedDecisions, 1);
  EXPECT_EQ(t.singleConditionDecisions, 1);
  EXPECT_EQ(m.files[0].functions[0].totals.branches.total, 8u);
}

TEST(CollectorCoverage, MessagesTheMapsDoNotKnowAreReportedApart) {
  SourceMap map;
  map.units[1] = parse(unitJson(1, "/src/a.c"));
  Collection run;
  node(run, 1, 99, 1);
  node(run, 9, 1, 1);
  cond(run, 9, 1, true, 1);
  const CoverageModel m = buildCoverage(map, run);
  EXPECT_EQ(m.unmappedUnits, (std::vector<uint16_t>{9}));
  EXPECT_EQ(m.unknownIds, (std::vector<std::string>{"unit 1 node 99"}));
}

TEST(CollectorCoverage, PercentagesAreTheFiguresShown) {
  EXPECT_DOUBLE_EQ((Counter{2, 3}).percent(), 66.7);
  EXPECT_DOUBLE_EQ((Counter{1, 3}).percent(), 33.3);
  EXPECT_DOUBLE_EQ((Counter{999, 1000}).percent(), 99.9);
  EXPECT_DOUBLE_EQ((Counter{0, 0}).percent(), 100.0);
}

TEST(CollectorCoverage, LinesNeverRunAsRanges) {
  SourceMap map;
  map.units[1] =
      parse(R"({"format":"qelmap","version":1,"unit":1,"files":[{"id":0,"path":"/s/r.c"}],
    "nodes":[{"id":1,"file":0,"line":1,"lines":[1,2]},{"id":2,"file":0,"line":3,"lines":[3,4,7]},
             {"id":3,"file":0,"line":9,"lines":[9]},{"id":4,"file":0,"line":12,"lines":[12]}]})");
  Collection run;
  node(run, 1, 1, 1);
  node(run, 1, 3, 1);
  std::ostringstream os;
  writeCoverageSummary(os, buildCoverage(map, run), false);
  EXPECT_NE(os.str().find("-- Lines never run\n  r.c: 3-7, 12\n"), std::string::npos) << os.str();
}

TEST(CollectorCoverage, ListingsOfAMapThatDoesNotMatchTheFileStaySmall) {
  // Line numbers far beyond the file (a stale or hostile map) are listed
  // alone, not as a run of empty lines up to them.
  const std::string src = std::string(QEL_REPORT_FIXTURES) + "/gate.c";
  SourceMap map;
  map.units[1] =
      parse(R"({"format":"qelmap","version":1,"unit":1,"files":[{"id":0,"path":")" + src +
            R"("}],"nodes":[{"id":1,"file":0,"line":2},{"id":2,"file":0,"line":1000000000}]})");
  Collection run;
  node(run, 1, 2, 1);
  const CoverageModel m = buildCoverage(map, run);
  std::ostringstream os;
  writeAnnotated(os, m);
  EXPECT_LT(os.str().size(), 2000u);
  EXPECT_NE(os.str().find("        1:1000000000:\n"), std::string::npos) << os.str();
  std::string error;
  ASSERT_TRUE(writeHtml(qeltest::freshDir("html"), m, &error)) << error;
}

// ---- maps of several builds: each unit's counts to its own build's map -----

namespace {

std::string withIdentity(const std::string& json, uint64_t identity) {
  std::string out = json;
  const std::size_t at = out.find(R"(,"files")");
  out.insert(at, R"(,"identity":")" + hashText(identity) + "\"");
  return out;
}

void identify(Collection& c, uint16_t unit, uint64_t identity) {
  c.add(msg(Channel::Node, UnitMsg{unit, identity, 0}));
}

std::vector<RunProblem> problemsOf(const CoverageModel& m, ProblemKind kind) {
  std::vector<RunProblem> out;
  for (const auto& p : m.problems)
    if (p.kind == kind) out.push_back(p);
  return out;
}

}  // namespace

TEST(CollectorMapIdentity, MapsOfOneBuildFoundTwiceAreOneAndOtherBuildsKeptApart) {
  SourceMap map;
  std::string e;
  ASSERT_TRUE(map.add(parse(withIdentity(unitJson(1, "/src/a.c"), 0xA1)), &e)) << e;
  ASSERT_TRUE(map.add(parse(withIdentity(unitJson(1, "/src/a.c"), 0xA1)), &e)) << e;
  EXPECT_EQ(map.all(1).size(), 1u);
  ASSERT_TRUE(map.add(parse(withIdentity(unitJson(1, "/src/a.c"), 0xA2)), &e)) << e;
  EXPECT_EQ(map.all(1).size(), 2u);
  ASSERT_NE(map.find(1, 0xA2), nullptr);
  EXPECT_EQ(map.find(1, 0xA2)->identity, 0xA2u);
  EXPECT_EQ(map.find(1, 0xA3), nullptr);
  // A map without identity cannot be told from another build's.
  EXPECT_FALSE(map.add(parse(unitJson(1, "/src/a.c")), &e));
  EXPECT_NE(e.find("unit 1 is mapped twice"), std::string::npos) << e;

  uint64_t v = 0;
  EXPECT_TRUE(parseHashText("fnv1a64:89abcdef01234567", &v));
  EXPECT_EQ(v, 0x89abcdef01234567u);
  EXPECT_EQ(hashText(v), "fnv1a64:89abcdef01234567");
  for (const char* bad : {"fnv1a64:89abcdef0123456", "fnv1a64:89abcdef012345678",
                          "fnv1a32:89abcdef01234567", "fnv1a64:89abcdef0123456g"})
    EXPECT_FALSE(parseHashText(bad, &v)) << bad;
  UnitMap u;
  EXPECT_FALSE(
      parseUnitMap(R"({"format":"qelmap","version":1,"unit":1,"identity":"x"})", "m", &u, &e));
  EXPECT_NE(e.find("\"identity\""), std::string::npos) << e;
}

TEST(CollectorMapIdentity, ARunOfARebuiltUnitIsListedPerUnitAndLeftOut) {
  SourceMap map;
  std::string e;
  ASSERT_TRUE(map.add(parse(withIdentity(unitJson(1, "/src/a.c"), 0xA2)), &e)) << e;
  ASSERT_TRUE(map.add(parse(withIdentity(unitJson(2, "/src/b.c"), 0xB1)), &e)) << e;
  Collection run;
  identify(run, 1, 0xA1);  // built before the edit: no map has it now
  identify(run, 2, 0xB1);
  node(run, 1, 1, 3);
  node(run, 1, 77, 3);  // a node the new map does not have: not "unknown", left out
  node(run, 2, 1, 4);
  const CoverageModel m = buildCoverage(map, run);
  const auto stale = problemsOf(m, ProblemKind::UnitWithoutMap);
  ASSERT_EQ(stale.size(), 1u);
  EXPECT_EQ(stale[0].subject, "unit 1 (/src/a.c)");
  EXPECT_NE(stale[0].detail.find("fnv1a64:00000000000000a1"), std::string::npos) << stale[0].detail;
  EXPECT_NE(stale[0].detail.find("left out"), std::string::npos);
  // a.c shows what it contains, counted by no one; b.c its own counts.
  ASSERT_EQ(m.files.size(), 3u);
  EXPECT_EQ(m.files[0].lines, (std::map<int, uint64_t>{{2, 0}, {3, 0}, {5, 0}}));
  EXPECT_EQ(m.files[1].lines, (std::map<int, uint64_t>{{2, 4}, {3, 4}, {5, 0}}));
  EXPECT_TRUE(m.unknownIds.empty());
  EXPECT_TRUE(m.unmappedUnits.empty());
  EXPECT_EQ(problemExitStatus(m.problems, {}), 12);
  EXPECT_EQ(problemExitStatus(m.problems, {"--stale-map-warning"}), 0);
}

TEST(CollectorMapIdentity, RunsOfDifferentBuildsEachCountAgainstTheirOwnMap) {
  // Build 1 has the function on lines 1-6; build 2 (an edit later) lists
  // node 1 on other lines. Both maps are at hand.
  std::string edited = unitJson(1, "/src/a.c");
  edited.replace(edited.find(R"("lines":[2,3])"), 13, R"("lines":[8,9])");
  SourceMap map;
  std::string e;
  ASSERT_TRUE(map.add(parse(withIdentity(unitJson(1, "/src/a.c"), 0xA1)), &e)) << e;
  ASSERT_TRUE(map.add(parse(withIdentity(edited, 0xA2)), &e)) << e;
  Collection first, second, merged;
  for (Collection* c : {&first, &merged}) {
    identify(*c, 1, 0xA1);
    node(*c, 1, 1, 3);
  }
  for (Collection* c : {&second, &merged}) {
    identify(*c, 1, 0xA2);
    node(*c, 1, 1, 5);
  }
  const CoverageModel m = buildCoverage(map, merged, {&first, &second});
  EXPECT_TRUE(m.problems.empty());
  ASSERT_FALSE(m.files.empty());
  EXPECT_EQ(m.files[0].lines, (std::map<int, uint64_t>{{2, 3}, {3, 3}, {5, 0}, {8, 5}, {9, 5}}));

  // Read as one run, the unit announced two identities: nothing can be
  // told apart, so nothing of it is counted.
  const CoverageModel one = buildCoverage(map, merged);
  const auto conflict = problemsOf(one, ProblemKind::UnitWithoutMap);
  ASSERT_EQ(conflict.size(), 1u);
  EXPECT_NE(conflict[0].detail.find("different map identities"), std::string::npos);
  EXPECT_EQ(one.totals.lines.covered, 0u);
}

TEST(CollectorMapIdentity, RunsWithoutIdentitiesMatchByUnitIdWhenOneBuildHasIt) {
  // A build with the call-per-event probes (or a run saved before units
  // announced identities) names none: the unit id decides when only one
  // build has it, and nothing is guessed when several do.
  SourceMap map;
  std::string e;
  ASSERT_TRUE(map.add(parse(withIdentity(unitJson(1, "/src/a.c"), 0xA1)), &e)) << e;
  ASSERT_TRUE(map.add(parse(unitJson(2, "/src/b.c")), &e)) << e;
  Collection run;
  node(run, 1, 1, 2);
  node(run, 2, 1, 6);
  CoverageModel m = buildCoverage(map, run);
  EXPECT_TRUE(m.problems.empty());
  EXPECT_EQ(m.files[0].lines.at(2), 2u);
  EXPECT_EQ(m.files[1].lines.at(2), 6u);

  ASSERT_TRUE(map.add(parse(withIdentity(unitJson(1, "/src/a.c"), 0xA2)), &e)) << e;
  m = buildCoverage(map, run);
  const auto ambiguous = problemsOf(m, ProblemKind::UnitWithoutMap);
  ASSERT_EQ(ambiguous.size(), 1u);
  EXPECT_EQ(ambiguous[0].subject, "unit 1 (/src/a.c)");
  EXPECT_NE(ambiguous[0].detail.find("2 builds"), std::string::npos) << ambiguous[0].detail;
  EXPECT_EQ(m.files[0].lines.at(2), 0u);

  // A unit no map has at all is listed as well, and its counts left out.
  Collection other;
  node(other, 9, 1, 1);
  m = buildCoverage(map, other);
  EXPECT_EQ(m.unmappedUnits, (std::vector<uint16_t>{9}));
  ASSERT_EQ(problemsOf(m, ProblemKind::UnitWithoutMap).size(), 1u);
  EXPECT_EQ(problemsOf(m, ProblemKind::UnitWithoutMap)[0].subject, "unit 9");
}

TEST(CollectorMapIdentity, UnitsWithoutProbesAreListedWithTheirReasonInEveryReport) {
  SourceMap map;
  std::string e;
  ASSERT_TRUE(map.add(parse(unitJson(1, "/src/a.c")), &e)) << e;
  ASSERT_TRUE(map.add(parse(R"({"format":"qelmap","version":1,"unit":4,"source":"/src/load.c",
    "identity":"fnv1a64:0000000000000004","instrumented":false,
    "reason":"libclang could not parse it","files":[{"id":0,"path":"/src/load.c"}]})"),
                      &e))
      << e;
  Collection run;
  node(run, 1, 1, 1);
  const CoverageModel m = buildCoverage(map, run);
  const auto without = problemsOf(m, ProblemKind::UnitWithoutProbes);
  ASSERT_EQ(without.size(), 1u);
  EXPECT_EQ(without[0].subject, "unit 4 (/src/load.c)");
  EXPECT_EQ(without[0].detail, "built without probes: libclang could not parse it");
  EXPECT_EQ(problemExitStatus(m.problems, {}), 11);
  EXPECT_EQ(problemExitStatus(m.problems, {"--uninstrumented-warning"}), 0);

  const auto load = std::find_if(m.files.begin(), m.files.end(),
                                 [](const FileCov& f) { return f.path == "/src/load.c"; });
  ASSERT_NE(load, m.files.end());
  EXPECT_EQ(load->withoutProbes, "libclang could not parse it");
  EXPECT_EQ(load->totals.lines.covered, 0u);

  std::ostringstream text, lcov, json;
  TextReportOptions ro;
  ro.coverage = &m;
  ro.annotate = true;
  writeTextReport(text, run, ro);
  EXPECT_NE(text.str().find("unit 4 (/src/load.c): built without probes: libclang could not"),
            std::string::npos)
      << text.str();
  EXPECT_NE(text.str().find("(built without probes: libclang could not parse it"),
            std::string::npos);
  writeLcov(lcov, m);
  EXPECT_NE(lcov.str().find("TN:built_without_probes\nSF:/src/load.c\n"), std::string::npos)
      << lcov.str();
  writeCoverageJson(json, m);
  EXPECT_NE(json.str().find(R"("without_probes":"libclang could not parse it")"),
            std::string::npos);
  EXPECT_NE(json.str().find(R"("kind":"unit_without_probes")"), std::string::npos);
}

TEST(CollectorMapIdentity, ASourceEditedSinceItsBuildMakesTheListingStale) {
  char tmpl[] = "/tmp/qel_stale_XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  const std::string path = std::string(tmpl) + "/a.c";
  std::ofstream(path) << "int f(void) { return 1; }\n";
  uint64_t built = 0;
  ASSERT_TRUE(hashFile(path, &built));
  std::string json = unitJson(1, path);
  json.replace(json.find(R"("path":")" + path + "\""), 9 + path.size(),
               R"("path":")" + path + R"(","hash":")" + hashText(built) + "\"");
  SourceMap map;
  std::string e;
  ASSERT_TRUE(map.add(parse(json), &e)) << e;
  Collection run;
  node(run, 1, 1, 1);
  EXPECT_TRUE(buildCoverage(map, run).staleSources.empty());

  std::ofstream(path) << "int f(void) { return 2; }\n";
  const CoverageModel m = buildCoverage(map, run);
  EXPECT_EQ(m.staleSources, (std::vector<std::string>{path}));
  ASSERT_EQ(m.files.size(), 2u);
  ASSERT_EQ(m.files.back().path, path);
  EXPECT_TRUE(m.files.back().staleSource);
  EXPECT_FALSE(m.files.front().staleSource);  // h.h has no hash in this map
  std::ostringstream text;
  TextReportOptions ro;
  ro.coverage = &m;
  ro.annotate = true;
  writeTextReport(text, run, ro);
  EXPECT_NE(text.str().find("(stale listing: the file changed since it was built"),
            std::string::npos)
      << text.str();
  // A stale listing is a warning, not a problem of the run.
  EXPECT_EQ(problemExitStatus(m.problems, {}), 0);
  unlink(path.c_str());
  rmdir(tmpl);
}

TEST(CollectorMapIdentity, TheProblemsOnlyModelListsWhatTheFullOneDoes) {
  // Every way a unit can be a problem or a file can be listed, in one run:
  // a unit counted with its map, one rebuilt since, one without probes, one
  // with no map at all, a source edited since its build, and a file the map
  // names that nothing of the unit lies in (listed by neither).
  char tmpl[] = "/tmp/qel_small_XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  const std::string path = std::string(tmpl) + "/a.c";
  std::ofstream(path) << "int f(void) { return 1; }\n";
  std::string json = unitJson(1, path);
  json.replace(json.find(R"("path":")" + path + "\""), 9 + path.size(),
               R"("path":")" + path + R"(","hash":"fnv1a64:0000000000000001"})" +
                   R"(,{"id":7,"path":"/src/unused.h")");
  SourceMap map;
  std::string e;
  ASSERT_TRUE(map.add(parse(withIdentity(json, 0xA1)), &e)) << e;
  ASSERT_TRUE(map.add(parse(withIdentity(unitJson(2, "/src/b.c"), 0xB2)), &e)) << e;
  ASSERT_TRUE(map.add(parse(R"({"format":"qelmap","version":1,"unit":4,"source":"/src/load.c",
    "identity":"fnv1a64:0000000000000004","instrumented":false,
    "reason":"libclang could not parse it","files":[{"id":0,"path":"/src/load.c"}]})"),
                      &e))
      << e;
  Collection run;
  identify(run, 1, 0xA1);
  identify(run, 2, 0xB1);  // a build no map has now
  node(run, 1, 1, 3);
  node(run, 1, 99, 1);  // an id its map does not list
  node(run, 2, 1, 4);
  node(run, 9, 1, 1);  // no map at all
  cond(run, 1, 10, true, 2);
  vec(run, 1, 1, "TT", true);

  const CoverageModel full = buildCoverage(map, run);
  const CoverageModel small = buildCoverage(map, run, {}, CoverageDetail::kProblemsOnly);
  ASSERT_EQ(small.problems.size(), full.problems.size());
  ASSERT_GE(full.problems.size(), 3u);  // two without map, one without probes
  for (std::size_t i = 0; i < full.problems.size(); ++i) {
    EXPECT_EQ(small.problems[i].kind, full.problems[i].kind) << i;
    EXPECT_EQ(small.problems[i].subject, full.problems[i].subject) << i;
    EXPECT_EQ(small.problems[i].detail, full.problems[i].detail) << i;
  }
  EXPECT_EQ(problemExitStatus(small.problems, {}), problemExitStatus(full.problems, {}));
  ASSERT_EQ(small.files.size(), full.files.size());
  for (std::size_t i = 0; i < full.files.size(); ++i) {
    EXPECT_EQ(small.files[i].path, full.files[i].path);
    EXPECT_EQ(small.files[i].staleSource, full.files[i].staleSource) << full.files[i].path;
    EXPECT_EQ(small.files[i].withoutProbes, full.files[i].withoutProbes) << full.files[i].path;
    EXPECT_NE(small.files[i].path, "/src/unused.h");
  }
  EXPECT_EQ(small.staleSources, (std::vector<std::string>{path}));
  EXPECT_EQ(small.staleSources, full.staleSources);
  EXPECT_EQ(small.withoutProbes, full.withoutProbes);
  EXPECT_EQ(small.unmappedUnits, (std::vector<uint16_t>{9}));
  EXPECT_EQ(small.unmappedUnits, full.unmappedUnits);
  // What it leaves out: the counts and what is made of them.
  EXPECT_FALSE(full.unknownIds.empty());
  EXPECT_TRUE(small.unknownIds.empty());
  EXPECT_GT(full.totals.lines.covered, 0u);
  EXPECT_EQ(small.totals.lines.total, 0u);
  unlink(path.c_str());
  rmdir(tmpl);
}
