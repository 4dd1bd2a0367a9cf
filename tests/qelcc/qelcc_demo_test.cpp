// The demo's instrumented driver: built from the sample's sources through
// qelcc, it prints exactly what the plain driver prints, and its run under
// the collector covers every unit of the demo's map directory.
#include <gtest/gtest.h>

#include <set>

#include "qelcc_support.h"

using namespace qelcc_test;

TEST(Demo, InstrumentedDriverPrintsWhatThePlainOnePrintsAndIsCovered) {
  const std::string dir = NewDir("demo");
  std::string plain, inst;
  const std::string input = "seq 1 20 | tr '\\n' ' ' | ";
  ASSERT_EQ(Sh(input + ORRIN_DRIVE_EXE + " 2>/dev/null", &plain), 0) << plain;
  ASSERT_EQ(Sh(input + QELCOLLECT_EXE + " --out " + dir + "/run.jsonl --no-report --timeout 60 -- " +
                   ORRIN_DRIVE_COV_EXE + " 2>/dev/null",
               &inst),
            0)
      << inst;
  // The last line of the driver has no line end; the runtime's exit trace
  // follows it directly.
  size_t trace = inst.find("~GlobleIns()");
  if (trace != std::string::npos && trace > 0 && inst[trace - 1] != '\n') inst.insert(trace, "\n");
  EXPECT_EQ(ProgramOutput(inst), ProgramOutput(plain + "\n"));

  Json::Value reg = ParseJson(ReadFile(std::string(QEL_DEMO_MAPS) + "/units.json"));
  std::set<int> sample_units;
  for (const Json::Value& u : reg["units"]) {
    if (u["source"].asString().find("/sample/") == std::string::npos) continue;
    Json::Value map = ParseJson(ReadFile(std::string(QEL_DEMO_MAPS) + "/" +
                                         std::to_string(u["unit"].asInt()) + ".qelmap.json"));
    if (!map["functions"].empty()) sample_units.insert(u["unit"].asInt());
  }
  EXPECT_EQ(sample_units.size(), 6u);  // BoolType.c has no function
  Counts counts = ReadCounts(dir + "/run.jsonl");
  std::set<int> hit;
  for (const auto& n : counts.nodes) hit.insert(n.first.first);
  for (int u : sample_units) EXPECT_TRUE(hit.count(u)) << "no node of unit " << u << " ran";
  Sh("rm -rf '" + dir + "'");
}
