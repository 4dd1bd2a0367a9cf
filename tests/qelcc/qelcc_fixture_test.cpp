// Each C fixture is built plain and through qelcc with the same strict
// warning flags, both are run, and the instrumented run under the collector
// must print what the plain run prints and give exactly the counts that the
// fixture's annotations state, with counters in the program (the default)
// and with the call-per-event probes (--events) alike:
//   //@line N          the line's count (largest count of the nodes listing it)
//   //@dec T F [T F]   true/false counts of the decisions starting on the line,
//                      in column order
//   //@conds T F ...   true/false counts of the first decision's conditions
//   //@nodec           no decision starts on the line
// (/*@...*/ in C90 fixtures.)
#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "qelcc_support.h"

using namespace qelcc_test;

namespace {

struct Fixture {
  const char* name;
  const char* compiler;
  const char* flags;
  const char* qelcc_options = "";
};

void PrintTo(const Fixture& f, std::ostream* os) { *os << f.name << " (" << f.compiler << ")"; }

struct Map {
  int unit = 0;
  Json::Value doc;
  int file = -1;  // file id of the fixture
};

struct Annotation {
  std::string what;
  std::vector<long> nums;
};

// "//@word n n ..." or "/*@word n n ...*/" on one line of a fixture.
std::vector<Annotation> Annotations(const std::string& line) {
  std::vector<Annotation> out;
  for (size_t at = 0; (at = line.find('@', at)) != std::string::npos; ++at) {
    if (at < 2 || !(line.compare(at - 2, 2, "//") == 0 || line.compare(at - 2, 2, "/*") == 0)) {
      continue;
    }
    size_t p = at + 1;
    Annotation a;
    while (p < line.size() && isalpha(static_cast<unsigned char>(line[p]))) a.what += line[p++];
    if (a.what != "line" && a.what != "dec" && a.what != "conds" && a.what != "nodec") continue;
    while (true) {
      size_t q = p;
      while (q < line.size() && line[q] == ' ') ++q;
      if (q == p || q >= line.size() || !isdigit(static_cast<unsigned char>(line[q]))) break;
      size_t e = q;
      while (e < line.size() && isdigit(static_cast<unsigned char>(line[e]))) ++e;
      a.nums.push_back(std::stol(line.substr(q, e - q)));
      p = e;
    }
    out.push_back(a);
  }
  return out;
}

class FixtureTest : public ::testing::TestWithParam<Fixture> {};

TEST_P(FixtureTest, SameOutputExactCounts) {
  const Fixture& fx = GetParam();
  if (Sh(std::string("command -v ") + fx.compiler + " >/dev/null") != 0) {
    GTEST_SKIP() << fx.compiler << " not installed";
  }
  if (std::string(QEL_FIXTURE_FLAGS) != "" && std::string(fx.compiler) != "gcc") {
    GTEST_SKIP() << "the runtime is built with gcc's sanitizer runtime";
  }
  const std::string src = std::string(QELCC_FIXTURES) + "/" + fx.name;
  const std::string dir = NewDir(std::string(fx.name) + "_" + fx.compiler);
  const std::string maps = dir + "/maps";
  const std::string flags = std::string(fx.flags) + " " + QEL_FIXTURE_FLAGS;
  std::string out;

  ASSERT_EQ(Sh(std::string(fx.compiler) + " " + flags + " " + src + " -o " + dir + "/plain", &out),
            0)
      << out;
  ASSERT_EQ(Sh("QELCC_STRICT=1 QELCC_MAP_DIR=" + maps + " " + QELCC_EXE + " " +
                   fx.qelcc_options + " " + fx.compiler +
                   " " + flags + " " + src + " -o " + dir + "/inst",
               &out),
            0)
      << out;
  EXPECT_EQ(out, "") << "the instrumented build printed diagnostics";

  std::string plain_out;
  ASSERT_EQ(Sh(dir + "/plain", &plain_out), 0);
  ASSERT_EQ(Sh(std::string("cd ") + dir + " && " + QELCOLLECT_EXE + " --out " + dir +
                   "/run.jsonl --report " + dir + "/report.txt --timeout 60 -- ./inst 2>" + dir + "/err",
               &out),
            0)
      << out;
  EXPECT_EQ(ProgramOutput(out), ProgramOutput(plain_out));

  // The unit's map.
  Json::Value reg = ParseJson(ReadFile(maps + "/units.json"));
  ASSERT_EQ(reg["units"].size(), 1u);
  Map m;
  m.unit = reg["units"][0]["unit"].asInt();
  m.doc = ParseJson(ReadFile(maps + "/" + std::to_string(m.unit) + ".qelmap.json"));
  ASSERT_EQ(m.doc["format"].asString(), "qelmap");
  for (const Json::Value& f : m.doc["files"]) {
    if (f["path"].asString() == src) m.file = f["id"].asInt();
  }
  ASSERT_GE(m.file, 0) << "fixture not among the map's files";
  Counts counts = ReadCounts(dir + "/run.jsonl");

  // Every MC/DC decision: one vector per evaluation; wide ones none at all.
  // Wide is more than a condition string's 16 conditions for the
  // call-per-event probes, more than 64 for path counters; a decision with
  // too many paths for path counters is counted by the probes ("form":
  // "events").
  const bool events = std::string(fx.qelcc_options).find("--events") != std::string::npos;
  int by_events = 0;
  for (const Json::Value& d : m.doc["decisions"]) {
    long evaluations = counts.Cond(m.unit, d["cond_id"].asInt(), true) +
                       counts.Cond(m.unit, d["cond_id"].asInt(), false);
    long vectors = counts.Vectors(m.unit, d["id"].asInt());
    const bool probes = events || d.get("form", "").asString() == "events";
    by_events += !events && probes;
    if (events) {
      EXPECT_FALSE(d.isMember("form"));
    }
    const unsigned widest = probes ? 16u : 64u;
    if (d["mcdc"].asBool()) {
      EXPECT_EQ(vectors, evaluations) << "decision " << d["text"].asString();
      EXPECT_LE(d["conditions"].size(), widest);
    } else {
      EXPECT_EQ(vectors, 0) << "decision " << d["text"].asString();
      EXPECT_GT(d["conditions"].size(), widest);
    }
  }
  if (std::string(fx.name) == "wide.c" && !events) {
    EXPECT_EQ(by_events, 1);
  }

  // With --values: one value record per call of a function with scalar
  // parameters, carrying each of them.
  if (std::string(fx.qelcc_options).find("--values") != std::string::npos) {
    int functions_with_values = 0;
    for (const Json::Value& f : m.doc["functions"]) {
      auto it = counts.values.find(f["name"].asString());
      if (it == counts.values.end()) continue;
      ++functions_with_values;
      EXPECT_EQ(static_cast<long>(it->second.size()), counts.Node(m.unit, f["entry_node"].asInt()))
          << f["name"].asString();
      for (const Json::Value& items : it->second) EXPECT_GE(items.size(), 1u);
    }
    EXPECT_GE(functions_with_values, 1);
    auto bits = counts.values.find("bits");  // conditions.c: bits(3, 5) among the calls
    if (bits != counts.values.end()) {
      bool seen = false;
      for (const Json::Value& items : bits->second) {
        ASSERT_EQ(items.size(), 2u);
        EXPECT_EQ(items[0]["name"].asString(), "a");
        EXPECT_EQ(items[0]["tag"].asString(), "QEL_INT");
        seen = seen || (items[0]["value"].asString() == "3" && items[1]["value"].asString() == "5");
      }
      EXPECT_TRUE(seen);
    }
    auto widen = counts.values.find("widen");  // c89.c: widen(4000000000u, -3L)
    if (std::string(fx.name) == "c89.c") {
      EXPECT_NE(widen, counts.values.end());
    }
    if (widen != counts.values.end()) {
      ASSERT_EQ(widen->second.size(), 1u);
      const Json::Value& items = widen->second.at(0);
      ASSERT_EQ(items.size(), 2u);
      EXPECT_EQ(items[0]["tag"].asString(), "QEL_ULONG");
      EXPECT_EQ(items[0]["value"].asString(), "4000000000");
      EXPECT_EQ(items[1]["tag"].asString(), "QEL_LONGLONG");
      EXPECT_EQ(items[1]["value"].asString(), "-3");
    }
    auto pick = counts.values.find("pick");  // double and _Bool, the pointer left out
    if (pick != counts.values.end()) {
      ASSERT_EQ(pick->second.at(0).size(), 2u);
      EXPECT_EQ(pick->second.at(0)[0]["tag"].asString(), "QEL_DOUBLE");
      EXPECT_EQ(pick->second.at(0)[1]["name"].asString(), "flag");
    }
  } else {
    EXPECT_TRUE(counts.values.empty());
  }

  // With --memory: the block left allocated on purpose ("never freed"), and
  // only it, is in the last leak report, with its file and line.
  if (std::string(fx.qelcc_options).find("--memory") != std::string::npos) {
    std::istringstream lines(ReadFile(src));
    std::string l;
    unsigned leak_line = 0;
    for (unsigned n = 1; std::getline(lines, l); ++n) {
      if (l.find("never freed") != std::string::npos) leak_line = n;
    }
    ASSERT_GT(leak_line, 0u);
    std::istringstream run(ReadFile(dir + "/run.jsonl"));
    std::vector<Json::Value> last;  // blocks of the last report
    while (std::getline(run, l)) {
      Json::Value m = ParseJson(l);
      if (m["kind"].asString() != "leak") continue;
      if (m["entry"].asString() == "header") last.clear();
      if (m["entry"].asString() == "block") last.push_back(m);
    }
    ASSERT_EQ(last.size(), 1u);
    EXPECT_EQ(last[0]["file"].asString(), src);
    EXPECT_EQ(last[0]["line"].asUInt(), leak_line);
    EXPECT_EQ(last[0]["size"].asUInt(), 24u);
    EXPECT_EQ(last[0]["function"].asString(), "main");
  }

  // The annotations.
  std::istringstream in(ReadFile(src));
  std::string line;
  unsigned lineno = 0;
  int checked = 0;
  while (std::getline(in, line)) {
    ++lineno;
    for (const Annotation& a : Annotations(line)) {
      const std::string& what = a.what;
      const std::vector<long>& nums = a.nums;
      if (what != "nodec" && nums.empty()) continue;  // prose mentioning the syntax
      SCOPED_TRACE(std::string(fx.name) + ":" + std::to_string(lineno) + ": " + line);
      ++checked;
      std::vector<Json::Value> decs;
      for (const Json::Value& d : m.doc["decisions"]) {
        if (d["file"].asInt() == m.file && d["line"].asUInt() == lineno) decs.push_back(d);
      }
      std::sort(decs.begin(), decs.end(), [](const Json::Value& a, const Json::Value& b) {
        return a["column"].asUInt() < b["column"].asUInt();
      });
      if (what == "line") {
        long best = -1;
        for (const Json::Value& n : m.doc["nodes"]) {
          if (n["file"].asInt() != m.file) continue;
          for (const Json::Value& l : n["lines"]) {
            if (l.asUInt() == lineno) best = std::max(best, counts.Node(m.unit, n["id"].asInt()));
          }
        }
        EXPECT_EQ(best, nums[0]);
      } else if (what == "nodec") {
        EXPECT_TRUE(decs.empty()) << decs.size() << " decisions, first: "
                                  << decs[0]["text"].asString();
      } else if (what == "dec") {
        ASSERT_EQ(decs.size() * 2, nums.size());
        for (size_t i = 0; i < decs.size(); ++i) {
          int id = decs[i]["cond_id"].asInt();
          EXPECT_EQ(counts.Cond(m.unit, id, true), nums[2 * i]) << decs[i]["text"].asString();
          EXPECT_EQ(counts.Cond(m.unit, id, false), nums[2 * i + 1]) << decs[i]["text"].asString();
        }
      } else if (what == "conds") {
        ASSERT_FALSE(decs.empty());
        const Json::Value& conds = decs[0]["conditions"];
        ASSERT_EQ(conds.size() * 2, nums.size());
        for (Json::ArrayIndex i = 0; i < conds.size(); ++i) {
          EXPECT_EQ(conds[i]["index"].asUInt(), i);
          int id = conds[i]["id"].asInt();
          EXPECT_EQ(counts.Cond(m.unit, id, true), nums[2 * i]) << conds[i]["text"].asString();
          EXPECT_EQ(counts.Cond(m.unit, id, false), nums[2 * i + 1]) << conds[i]["text"].asString();
        }
      }
    }
  }
  EXPECT_GT(checked, 3);
  Sh("rm -rf '" + dir + "'");
}

const char* const kStrict = "-Wall -Wextra -Werror";
const char* const kC90 =
    "-std=c89 -pedantic -Wall -Wextra -Werror -Wdeclaration-after-statement -Wc++-compat "
    "-Wjump-misses-init -Wshadow -Wstrict-prototypes -Wmissing-prototypes -O2";
// The same at -O0, where gcc gets the decisions' unoptimised form.
const char* const kC90AtO0 =
    "-std=c89 -pedantic -Wall -Wextra -Werror -Wdeclaration-after-statement -Wc++-compat "
    "-Wjump-misses-init -Wshadow -Wstrict-prototypes -Wmissing-prototypes -O0";

INSTANTIATE_TEST_SUITE_P(
    Fixtures, FixtureTest,
    ::testing::Values(Fixture{"flow.c", "gcc", kStrict}, Fixture{"flow.c", "gcc", "-O2 -Wall -Wextra -Werror"},
                      Fixture{"conditions.c", "gcc", kStrict},
                      Fixture{"macros.c", "gcc", kStrict},
                      Fixture{"memory.c", "gcc", kStrict, "--memory"},
                      Fixture{"memory.c", "gcc", kC90, "--memory"},
                      Fixture{"constants.c", "gcc", "-std=gnu11 -Wall -Wextra -Werror"},
                      Fixture{"c89.c", "gcc", kC90},
                      Fixture{"c89.c", "gcc", kC90AtO0},
                      Fixture{"arms.c", "gcc", kC90AtO0},
                      Fixture{"arms.c", "gcc", kC90},
                      Fixture{"arms.c", "clang-19", kStrict},
                      Fixture{"arms.c", "gcc", kStrict, "--events"},
                      Fixture{"c89.c", "gcc", kC90, "--values"},
                      Fixture{"conditions.c", "gcc", "-Wall -Wextra -Werror -Wconversion -Wdouble-promotion",
                              "--values"},
                      Fixture{"flow.c", "clang-14", kStrict},
                      Fixture{"conditions.c", "clang-14", kStrict},
                      Fixture{"leaves.c", "gcc", kStrict},
                      Fixture{"leaves.c", "gcc", "-O2 -Wall -Wextra -Werror"},
                      Fixture{"leaves.c", "clang-19", kStrict},
                      Fixture{"leaves.c", "gcc", kStrict, "--events"},
                      Fixture{"ternary.c", "gcc", kStrict},
                      Fixture{"ternary.c", "gcc", "-O2 -Wall -Wextra -Werror"},
                      Fixture{"ternary.c", "clang-14", kStrict},
                      Fixture{"ternary.c", "clang-19", kStrict},
                      Fixture{"conditions.c", "clang-19", kStrict},
                      Fixture{"wide.c", "gcc", kStrict},
                      Fixture{"wide.c", "gcc", kC90},
                      Fixture{"wide.c", "gcc", kC90AtO0},
                      Fixture{"wide.c", "clang-19", "-O2 -Wall -Wextra -Werror"},
                      // clang at -O0: volatile increments, `if`s counted in their arms.
                      Fixture{"wide.c", "clang-19", kStrict},
                      Fixture{"c89.c", "clang-19", "-O0 -g -std=c89 -pedantic -Wall -Wextra -Werror"},
                      Fixture{"wide.c", "gcc", kStrict, "--events"},
                      Fixture{"flow.c", "gcc", kStrict, "--events"},
                      Fixture{"conditions.c", "gcc", kStrict, "--events"},
                      Fixture{"conditions.c", "clang-14", kStrict, "--events"},
                      Fixture{"ternary.c", "gcc", kStrict, "--events"},
                      Fixture{"macros.c", "gcc", kStrict, "--events"},
                      Fixture{"c89.c", "gcc", kC90, "--events"},
                      Fixture{"memory.c", "gcc", kStrict, "--memory --events"},
                      Fixture{"constants.c", "gcc", "-std=gnu11 -Wall -Wextra -Werror", "--events"}),
    [](const ::testing::TestParamInfo<Fixture>& i) {
      std::string n = std::string(i.param.name) + "_" + i.param.compiler + "_" +
                      std::to_string(i.index);
      for (char& c : n) {
        if (!isalnum(static_cast<unsigned char>(c))) c = '_';
      }
      return n;
    });

}  // namespace

namespace {

// Instruments `sources` (compile only) into one map directory; returns the
// maps with the path of each map file.
std::vector<std::pair<std::string, Json::Value>> MapsOf(const std::vector<std::string>& sources,
                                                        const std::string& flags,
                                                        const std::string& dir) {
  std::vector<std::pair<std::string, Json::Value>> out;
  std::string log;
  for (const std::string& src : sources) {
    EXPECT_EQ(Sh("QELCC_STRICT=1 QELCC_MAP_DIR=" + dir + "/maps " + QELCC_EXE + " gcc " + flags +
                     " -c " + src + " -o " + dir + "/" + src.substr(src.rfind('/') + 1) + ".o",
                 &log),
              0)
        << src << ": " << log;
  }
  Json::Value reg = ParseJson(ReadFile(dir + "/maps/units.json"));
  for (const Json::Value& u : reg["units"]) {
    std::string path = dir + "/maps/" + std::to_string(u["unit"].asInt()) + ".qelmap.json";
    out.emplace_back(path, ParseJson(ReadFile(path)));
  }
  return out;
}

std::vector<std::string> Lines(const std::string& path) {
  std::vector<std::string> lines;
  std::istringstream in(ReadFile(path));
  std::string line;
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

std::string Place(const Json::Value& v) {
  return std::to_string(v["line"].asUInt()) + ":" + std::to_string(v["column"].asUInt()) + "-" +
         std::to_string(v["end_line"].asUInt()) + ":" + std::to_string(v["end_column"].asUInt()) +
         " " + v["text"].asString();
}

// Macros expanded from system headers land on lines of their own in the
// preprocessed text; the map must still quote and place the user's text.
TEST(MapPositions, MacrosQuotedAndPlacedAsWritten) {
  const std::string dir = NewDir("map_macros");
  auto maps = MapsOf({std::string(QELCC_FIXTURES) + "/macros.c"}, "-Wall -Wextra -Werror", dir);
  ASSERT_EQ(maps.size(), 1u);
  std::vector<std::string> got;
  for (const Json::Value& d : maps[0].second["decisions"]) {
    got.push_back(Place(d));
    for (const Json::Value& c : d["conditions"]) got.push_back("  " + Place(c));
  }
  const std::vector<std::string> want = {
      "14:7-14:16 p == NULL",
      "  14:7-14:16 p == NULL",
      "17:7-17:29 p != NULL && q != NULL",
      "  17:7-17:16 p != NULL",
      "  17:20-17:29 q != NULL",
      "23:7-23:29 isdigit(c) || c == EOF",
      "  23:7-23:17 isdigit(c)",
      "  23:21-23:29 c == EOF",
      "25:7-26:14 BOTH(c, d) ||\n      d > 100",
      // Inside a user macro's expansion: placed on the invocation, quoted as
      // expanded.
      "  25:7-25:17 c",
      "  25:7-25:17 d",
      "  26:7-26:14 d > 100",
      "28:10-28:20 isdigit(d)",
      "  28:10-28:20 isdigit(d)",
      // Two user macros on one line.
      "32:10-32:33 IS_POS(a) || BOTH(a, b)",
      "  32:10-32:19 IS_POS(a)",
      "  32:23-32:33 a",
      "  32:23-32:33 b",
  };
  EXPECT_EQ(got, want);
  Sh("rm -rf '" + dir + "'");
}

// Every position of every map lies on its line: a begin column on a
// character, an end column at most one past the last.
TEST(MapPositions, WithinTheirLines) {
  const std::string dir = NewDir("map_bounds");
  const std::string fx = QELCC_FIXTURES;
  const std::string sample = fx + "/../../sample";
  std::vector<std::string> sources = {fx + "/flow.c", fx + "/conditions.c", fx + "/macros.c",
                                      fx + "/c89.c"};
  for (const char* s : {"ArrayType.c", "BuiltinType.c", "EnumType.c", "ListNode.c",
                        "PointType.c", "StructorUnionType.c", "main.c"}) {
    sources.push_back(sample + "/" + s);
  }
  auto maps = MapsOf(sources, "-I" + sample, dir);
  EXPECT_EQ(maps.size(), sources.size());
  int checked = 0;
  for (const auto& m : maps) {
    std::vector<std::vector<std::string>> files;
    for (const Json::Value& f : m.second["files"]) files.push_back(Lines(f["path"].asString()));
    auto check = [&](const Json::Value& v, bool range, const std::string& what) {
      SCOPED_TRACE(m.first + ": " + what + " " + Place(v));
      const std::vector<std::string>& lines = files.at(v["file"].asUInt());
      unsigned line = v["line"].asUInt(), col = v["column"].asUInt();
      ASSERT_GE(line, 1u);
      ASSERT_LE(line, lines.size());
      EXPECT_GE(col, 1u);
      EXPECT_LE(col, lines[line - 1].size());
      if (range) {
        unsigned end_line = v["end_line"].asUInt(), end_col = v["end_column"].asUInt();
        ASSERT_GE(end_line, line);
        ASSERT_LE(end_line, lines.size());
        EXPECT_GE(end_col, 1u);
        EXPECT_LE(end_col, lines[end_line - 1].size() + 1);
        if (end_line == line) {
          EXPECT_GT(end_col, col);
        }
      }
      ++checked;
    };
    for (const Json::Value& n : m.second["nodes"]) check(n, false, "node");
    for (const Json::Value& d : m.second["decisions"]) {
      check(d, true, "decision");
      for (Json::Value c : d["conditions"]) {
        c["file"] = d["file"];
        check(c, true, "condition");
      }
    }
  }
  EXPECT_GT(checked, 200);
  Sh("rm -rf '" + dir + "'");
}

}  // namespace
