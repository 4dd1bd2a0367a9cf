// MC/DC beside clang's: each fixture built with clang-19's MC/DC coverage
// and through qelcc (with clang-19, and with gcc at -O0), both run, and every decision that llvm-cov reports must
// have the same conditions shown independent in qelcollect's report.
// (clang leaves out single-condition decisions and counts a decision written
// in a macro at the macro; those are not compared.) Skipped without clang-19,
// llvm-profdata-19, llvm-cov-19 and clang's profile runtime.
#include <gtest/gtest.h>

#include "qelcc_support.h"

using namespace qelcc_test;

namespace {

const char* const kFixtures[] = {"conditions.c", "ternary.c", "flow.c", "macros.c", "c89.c"};

bool ClangMcdcUsable(const std::string& dir) {
  return Sh("command -v clang-19 && command -v llvm-profdata-19 && command -v llvm-cov-19") == 0 &&
         Sh("echo 'int main(void) { return 0; }' | clang-19 -fprofile-instr-generate "
            "-fcoverage-mapping -fcoverage-mcdc -x c - -o " + dir + "/probe") == 0;
}

TEST(McdcBesideClang, EveryDecisionClangReportsAgrees) {
  if (std::string(QEL_FIXTURE_FLAGS) != "") GTEST_SKIP() << "sanitizer build";
  const std::string dir = NewDir("mcdc");
  if (!ClangMcdcUsable(dir)) {
    Sh("rm -rf '" + dir + "'");
    GTEST_SKIP() << "clang-19 with its profile runtime is not installed";
  }
  int compared = 0;
  for (const char* name : kFixtures) {
    SCOPED_TRACE(name);
    const std::string src = std::string(QELCC_FIXTURES) + "/" + name;
    const std::string d = dir + "/" + name;
    std::string out;
    Sh("mkdir -p " + d);
    ASSERT_EQ(Sh("cd " + d + " && clang-19 -w -fprofile-instr-generate -fcoverage-mapping "
                 "-fcoverage-mcdc " + src + " -o clang && LLVM_PROFILE_FILE=run.profraw ./clang "
                 ">/dev/null && llvm-profdata-19 merge -o run.profdata run.profraw && "
                 "llvm-cov-19 export -instr-profile=run.profdata ./clang > clang.json",
                 &out),
              0)
        << out;
    // Through clang-19 and through gcc at -O0, where the decisions take a
    // form of their own.
    for (const std::string cc : {"clang-19", "gcc -O0"}) {
      SCOPED_TRACE(cc);
      ASSERT_EQ(Sh("cd " + d + " && rm -rf maps && QELCC_STRICT=1 QELCC_MAP_DIR=maps " +
                       QELCC_EXE + " " + cc + " -w " + src + " -o inst && " + QELCOLLECT_EXE +
                       " --map maps --json cov.json --no-report --timeout 60 -- ./inst >/dev/null",
                   &out),
                0)
          << out;
      // Ours, by where each decision starts.
      std::map<std::pair<int, int>, Json::Value> ours;
      const Json::Value report = ParseJson(ReadFile(d + "/cov.json"));
      for (const Json::Value& f : report["files"]) {
        if (f["path"].asString() != src) continue;
        for (const Json::Value& dec : f["decisions"]) {
          ours[{dec["line"].asInt(), dec["column"].asInt()}] = dec;
          // clang places `(a && b)` at `a`, inside the parentheses.
          const Json::Value& c0 = dec["conditions"][0];
          ours.insert({{c0["line"].asInt(), c0["column"].asInt()}, dec});
        }
      }
      ASSERT_FALSE(ours.empty());
      std::vector<std::string> lines;
      {
        std::istringstream in(ReadFile(src));
        std::string l;
        while (std::getline(in, l)) lines.push_back(l);
      }
      const Json::Value clang = ParseJson(ReadFile(d + "/clang.json"));
      for (const Json::Value& f : clang["data"][0]["files"]) {
        if (f["filename"].asString() != src) continue;
        for (const Json::Value& rec : f["mcdc_records"]) {
          // [line, column, end line, end column, expansion, kind, [covered per condition]]
          const int line = rec[0].asInt(), column = rec[1].asInt();
          const Json::Value& covered = rec[rec.size() - 1];
          if (line >= 1 && static_cast<size_t>(line) <= lines.size() &&
              lines[static_cast<size_t>(line) - 1].find("#define") != std::string::npos) {
            continue;  // at a macro's definition: qelcc counts each use where it is written
          }
          SCOPED_TRACE(std::to_string(line) + ":" + std::to_string(column));
          auto it = ours.find({line, column});
          ASSERT_NE(it, ours.end()) << "a decision clang reports that the map lacks";
          const Json::Value& conds = it->second["conditions"];
          ASSERT_EQ(conds.size(), covered.size()) << it->second["text"].asString();
          if (conds.size() > 16) continue;  // too wide for a condition string
          for (Json::ArrayIndex i = 0; i < conds.size(); ++i) {
            EXPECT_EQ(conds[i]["independent"].asBool(), covered[i].asBool())
                << it->second["text"].asString() << ", condition " << i << " ("
                << conds[i]["text"].asString() << ")";
          }
          ++compared;
        }
      }
    }
  }
  RecordProperty("decisions_compared", compared);
  EXPECT_GE(compared, 10);
  if (!HasFailure()) Sh("rm -rf '" + dir + "'");
}

}  // namespace
