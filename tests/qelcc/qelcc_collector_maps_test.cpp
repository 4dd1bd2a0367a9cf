// The collector finds the maps in the programs and libraries that ran (no
// map folder), reads each unit's counts against the map of the build they
// came from, lists what it cannot count (a run of a rebuilt program, units
// built without probes) with their own exit statuses, warns about sources
// edited since their build, and gives exact reports through a compiler cache
// in either order.
#include <gtest/gtest.h>

#include "qelcc_support.h"

using namespace qelcc_test;

namespace {

const std::string kQelcc = QELCC_EXE;
const std::string kCollect = QELCOLLECT_EXE;
const std::string kSan = QEL_FIXTURE_FLAGS;

// Builds leave no map folder (the build helpers remove the one qelcc
// writes), so only the maps in the binaries remain.
class CollectorMaps : public PickProject {
 protected:
  void Build(const std::string& cc, const std::string& link = "a.o main.o -o prog") {
    std::string out;
    ASSERT_EQ(Run(cc + " " + kSan + " -c a.c -o a.o && " + cc + " " + kSan +
                      " -c main.c -o main.o && " + cc + " " + kSan + " " + link +
                      " && rm -rf maps",
                  &out),
              0)
        << out;
  }
  // Runs `prog` under the collector with no map folder; the coverage JSON's
  // files, and the exit status in *rc.
  Json::Value Collect(const std::string& prog, const std::string& extra, int* rc,
                      std::string* out) {
    const std::string json = P(prog + ".cov.json");
    *rc = Run(kCollect + " --json " + json + " --out " + prog + ".jsonl --no-report " + extra +
                  " --timeout 60 -- ./" + prog,
              out);
    return ParseJson(ReadFile(json));
  }
  Json::Value Report(const std::string& args, int* rc, std::string* out) {
    const std::string json = P("report.cov.json");
    Run("rm -f report.cov.json");
    *rc = Run(kCollect + " report --no-report --json " + json + " " + args, out);
    return ParseJson(ReadFile(json));
  }
};

// The JSON file entry whose path ends in `name`.
Json::Value FileNamed(const Json::Value& doc, const std::string& name) {
  for (const Json::Value& f : doc["files"]) {
    const std::string p = f["path"].asString();
    if (p.size() >= name.size() && p.compare(p.size() - name.size(), name.size(), name) == 0 &&
        (p.size() == name.size() || p[p.size() - name.size() - 1] == '/'))
      return f;
  }
  return Json::Value();
}

// "line:count ..." of a file entry.
std::string Lines(const Json::Value& file) {
  std::string s;
  for (const Json::Value& l : file["lines"])
    s += (s.empty() ? "" : " ") + l[0].asString() + ":" + l[1].asString();
  return s;
}

}  // namespace

TEST_F(CollectorMaps, AProgramWhoseMapsAreOnlyInItsBinaryReportsExactly) {
  Build(kQelcc + " gcc");
  ASSERT_FALSE(Exists(P("maps")));
  int rc = 0;
  std::string out;
  const Json::Value live = Collect("prog", "", &rc, &out);
  ASSERT_EQ(rc, 0) << out;
  EXPECT_EQ(Lines(FileNamed(live, "a.c")), "1:2 2:2 3:1 4:1");
  EXPECT_EQ(Lines(FileNamed(live, "main.c")), "3:1");
  EXPECT_NE(ReadFile(P("prog.jsonl")).find("\"kind\":\"module\",\"path\":\"" + P("prog") + "\""),
            std::string::npos);
  // The saved run names the program: a report made later finds the same maps.
  const Json::Value later = Report("prog.jsonl", &rc, &out);
  ASSERT_EQ(rc, 0) << out;
  EXPECT_EQ(later["files"], live["files"]);
  EXPECT_EQ(later["totals"], live["totals"]);
}

TEST_F(CollectorMaps, ASuiteOfProgramsCarryingTheSameMapsCountsEachRun) {
  Write("other.c", "int pick(int a, int b);\nint main(void) { return pick(2, 2) - 2; }\n");
  Build(kQelcc + " gcc");
  std::string out;
  ASSERT_EQ(Run(kQelcc + " gcc " + kSan + " other.c a.o -o other && rm -rf maps", &out), 0) << out;
  // Two programs, each with the map of a.c inside, one after the other
  // under one collector, as a test runner starts them.
  const int rc = Run(kCollect + " --json suite.cov.json --no-report --timeout 60 -- sh -c " +
                         "'./prog && ./other && ./prog'",
                     &out);
  ASSERT_EQ(rc, 0) << out;
  EXPECT_EQ(out.find("warning"), std::string::npos) << out;
  const Json::Value doc = ParseJson(ReadFile(P("suite.cov.json")));
  EXPECT_EQ(Lines(FileNamed(doc, "a.c")), "1:5 2:5 3:3 4:2");
  EXPECT_EQ(Lines(FileNamed(doc, "main.c")), "3:2");
  EXPECT_EQ(Lines(FileNamed(doc, "other.c")), "2:1");
}

TEST_F(CollectorMaps, ASharedLibrarysUnitsAreFoundInTheLibrary) {
  std::string out;
  ASSERT_EQ(Run(kQelcc + " gcc " + kSan + " -shared -fPIC a.c -o libpick.so && " + kQelcc +
                    " gcc " + kSan + " main.c -L. -lpick -Wl,-rpath,'" + dir_ +
                    "' -o prog && rm -rf maps",
                &out),
            0)
      << out;
  int rc = 0;
  const Json::Value doc = Collect("prog", "", &rc, &out);
  ASSERT_EQ(rc, 0) << out;
  EXPECT_EQ(Lines(FileNamed(doc, "a.c")), "1:2 2:2 3:1 4:1");
  EXPECT_EQ(Lines(FileNamed(doc, "main.c")), "3:1");
  EXPECT_NE(ReadFile(P("prog.jsonl")).find("\"path\":\"" + P("libpick.so") + "\""),
            std::string::npos);
}

TEST_F(CollectorMaps, ARunOfARebuiltProgramIsListedPerUnitAndLeftOut) {
  Build(kQelcc + " gcc", "a.o main.o -o prog && cp -r maps maps.v1");
  int rc = 0;
  std::string out;
  Collect("prog", "", &rc, &out);
  ASSERT_EQ(rc, 0) << out;
  ASSERT_EQ(Run("mv prog.jsonl old.jsonl"), 0);
  // The edit moves pick one line down; main.c is the same build.
  Write("a.c", std::string("/* edited */\n") + kPickSource);
  Build(kQelcc + " gcc");
  Json::Value doc = Report("old.jsonl", &rc, &out);
  EXPECT_EQ(rc, 12) << out;
  EXPECT_NE(out.find("Units whose counts match no map (left out of the figures): 1"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("(" + P("a.c") + "): the run counted with map fnv1a64:"), std::string::npos)
      << out;
  // Nothing of the old counts lands on the new lines; main.c is counted.
  EXPECT_EQ(Lines(FileNamed(doc, "a.c")), "2:0 3:0 4:0 5:0");
  EXPECT_EQ(Lines(FileNamed(doc, "main.c")), "3:1");
  EXPECT_EQ(doc["problems"].size(), 1u);
  Report("--stale-map-warning old.jsonl", &rc, &out);
  EXPECT_EQ(rc, 0) << out;

  // With the old build's maps at hand, the old run and a run of the new
  // build each count against their own map (and the old map's a.c is not
  // the file on disk any more).
  Collect("prog", "", &rc, &out);
  ASSERT_EQ(rc, 0) << out;
  doc = Report("--map maps.v1 old.jsonl prog.jsonl", &rc, &out);
  EXPECT_EQ(rc, 0) << out;
  EXPECT_EQ(Lines(FileNamed(doc, "a.c")), "1:2 2:4 3:3 4:2 5:1");
  EXPECT_EQ(Lines(FileNamed(doc, "main.c")), "3:2");
  EXPECT_TRUE(FileNamed(doc, "a.c")["stale_source"].asBool());
  EXPECT_EQ(doc["problems"].size(), 0u);
}

TEST_F(CollectorMaps, AUnitBuiltWithoutProbesIsListedWithItsReasonAndStatus) {
  Write("extra.c", "int extra(int x) { return x ? 1 : 2; }\n");
  std::string out;
  // From standard input qelcc cannot instrument: it says so and compiles plain.
  ASSERT_EQ(Run(kQelcc + " gcc " + kSan + " -x c -c - -o extra.o < extra.c", &out), 0) << out;
  EXPECT_NE(out.find("compiled without instrumentation"), std::string::npos) << out;
  Build(kQelcc + " gcc", "a.o main.o extra.o -o prog");
  int rc = 0;
  Json::Value doc = Collect("prog", "--lcov prog.info --cobertura prog.xml", &rc, &out);
  EXPECT_EQ(rc, 11) << out;
  EXPECT_NE(out.find("Units built without probes: 1 (exit status 11"), std::string::npos) << out;
  EXPECT_NE(out.find("(<stdin>): built without probes: the source is read from standard input"),
            std::string::npos)
      << out;
  EXPECT_EQ(doc["problems"][0]["kind"].asString(), "unit_without_probes");
  EXPECT_EQ(FileNamed(doc, "<stdin>")["without_probes"].asString(),
            "the source is read from standard input");
  EXPECT_EQ(Lines(FileNamed(doc, "a.c")), "1:2 2:2 3:1 4:1");
  EXPECT_NE(ReadFile(P("prog.info")).find("TN:built_without_probes\nSF:<stdin>\n"),
            std::string::npos);
  EXPECT_NE(ReadFile(P("prog.xml")).find("filename=\"&lt;stdin&gt;\" line-rate=\"0.0000\" branch-rate=\"0.0000\""),
            std::string::npos)
      << ReadFile(P("prog.xml"));
  Collect("prog", "--uninstrumented-warning", &rc, &out);
  EXPECT_EQ(rc, 0) << out;
  // The saved run finds the same unit in the same program.
  Report("prog.jsonl", &rc, &out);
  EXPECT_EQ(rc, 11) << out;
}

TEST_F(CollectorMaps, ASourceEditedAfterItsBuildGetsAWarningAndAStaleListing) {
  Build(kQelcc + " gcc");
  int rc = 0;
  std::string out;
  Collect("prog", "", &rc, &out);
  ASSERT_EQ(rc, 0) << out;
  Write("a.c", std::string(kPickSource) + "/* edited, not rebuilt */\n");
  const Json::Value doc = Report("--annotate --html html prog.jsonl", &rc, &out);
  EXPECT_EQ(rc, 0) << out;
  EXPECT_NE(out.find("warning: " + P("a.c") + " has changed since it was built"),
            std::string::npos)
      << out;
  EXPECT_TRUE(FileNamed(doc, "a.c")["stale_source"].asBool());
  EXPECT_FALSE(FileNamed(doc, "main.c").isMember("stale_source"));
  std::string pages;
  Run("cat html/*a.c.html", &pages);
  EXPECT_NE(pages.find("Stale listing: this file changed since it was built"), std::string::npos);
  Run(kCollect + " report --annotate prog.jsonl", &out);
  EXPECT_NE(out.find("(stale listing: the file changed since it was built"), std::string::npos)
      << out;
}

TEST_F(CollectorMaps, CompilerCachesInBothOrdersGiveExactReportsFromTheBinaries) {
  if (Sh("command -v ccache >/dev/null") != 0) GTEST_SKIP() << "ccache is not installed";
  const std::string cache = "CCACHE_DIR=" + P("ccache") + " CCACHE_NOCOMPRESS=1 ";
  for (const std::string& cc : {"ccache " + kQelcc + " gcc", kQelcc + " ccache gcc"}) {
    SCOPED_TRACE(cc);
    Run("rm -rf ccache *.o prog*");
    int rc = 0;
    std::string out;
    Build(cache + cc);
    const Json::Value miss = Collect("prog", "", &rc, &out);
    ASSERT_EQ(rc, 0) << out;
    EXPECT_EQ(Lines(FileNamed(miss, "a.c")), "1:2 2:2 3:1 4:1");
    Run("rm -rf *.o prog*");
    Build(cache + cc);
    ASSERT_EQ(Sh(cache + "ccache --print-stats", &out), 0);
    long hits = 0;
    std::istringstream stats(out);
    std::string key;
    long value = 0;
    while (stats >> key >> value)
      if (key == "direct_cache_hit" || key == "preprocessed_cache_hit") hits += value;
    EXPECT_GE(hits, 2) << out;
    const Json::Value hit = Collect("prog", "", &rc, &out);
    ASSERT_EQ(rc, 0) << out;
    EXPECT_EQ(hit["files"], miss["files"]);
    EXPECT_EQ(hit["totals"], miss["totals"]);
  }
}
