// The coverage model: the source maps read against what a run reported,
// per project, file and function. Every output format is written from it.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "report.hpp"
#include "srcmap.hpp"

namespace qelc {

// The MC/DC form measured, as reports state it.
inline constexpr const char* kMcdcForm =
    "unique-cause MC/DC with short-circuit: a condition is shown independent by two "
    "evaluations that differ in it and in the outcome, where a condition short-circuited "
    "in either evaluation does not matter";

struct Counter {
  uint64_t covered = 0;
  uint64_t total = 0;
  void add(const Counter& o) {
    covered += o.covered;
    total += o.total;
  }
  // Percentage rounded to one decimal, as reports show it and thresholds
  // compare it; 100 when there is nothing to cover.
  double percent() const;
};

// Lines: code lines run at least once. Branches: decision outcomes seen.
// Decisions: decisions with both outcomes. Conditions: leaf condition
// outcomes seen. MC/DC: conditions shown to independently affect their
// decision.
struct Totals {
  Counter functions, lines, branches, decisions, conditions, mcdc;
  // MC/DC over decisions of two or more conditions only, the figure of
  // tools that leave single-condition decisions out.
  Counter mcdcMultiCondition;
  int singleConditionDecisions = 0;
  int tooWideDecisions = 0;
  int unreachedDecisions = 0;
  void add(const Totals& o);
};

struct ConditionCov {
  int index = 0;
  std::string text;
  MapRange range;
  uint64_t trueCount = 0;
  uint64_t falseCount = 0;
  bool pair = false;
  int pairFirst = -1;  // indices into DecisionCov::vectors
  int pairSecond = -1;
};

struct DecisionCov {
  std::string function;
  std::string kind;
  std::string text;
  MapRange range;
  bool mcdc = true;  // false: wider than a condition string holds
  uint64_t trueCount = 0;
  uint64_t falseCount = 0;
  std::vector<ConditionCov> conditions;
  std::vector<McdcVector> vectors;  // sorted as DecisionAnalysis sorts them
  int pairs = 0;
  std::vector<std::pair<uint16_t, uint16_t>> origins;  // (unit, decision id)

  bool reached() const { return trueCount + falseCount > 0 || !vectors.empty(); }
  bool countsForMcdc() const { return kind != "switch"; }
  int width() const { return static_cast<int>(conditions.size()); }
};

struct FunctionCov {
  std::string name;
  int line = 0;
  int endLine = 0;
  uint64_t calls = 0;
  Totals totals;
};

struct FileCov {
  std::string path;
  std::map<int, uint64_t> lines;  // code line -> count
  std::vector<FunctionCov> functions;
  std::vector<DecisionCov> decisions;  // in source order
  Totals totals;
};

struct CoverageModel {
  std::vector<FileCov> files;  // sorted by path
  Totals totals;
  // Units that sent messages but have no map, and messages naming ids a
  // unit's map does not list (a stale map).
  std::vector<uint16_t> unmappedUnits;
  std::vector<std::string> unknownIds;
};

CoverageModel buildCoverage(const SourceMap& map, const Collection& run);

// Paths as reports show them: relative to the deepest directory that holds
// every file of the model (absolute in the machine-read formats).
std::string commonRoot(const CoverageModel& m);
std::string displayPath(const std::string& path, const std::string& root);

}  // namespace qelc
