// The coverage model: the source maps read against what a run reported,
// per project, file and function, and the coverage rules. Every output
// format is written from the model and asks it the rules, so no two
// outputs can disagree about a figure or about a decision.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "collection.hpp"
#include "problems.hpp"
#include "srcmap.hpp"

namespace qelc {

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

// The figure as text: "75.0%", or "-" when there is nothing to cover.
std::string percentText(const Counter& c);

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

  bool bothOutcomes() const { return trueCount > 0 && falseCount > 0; }
};

// How a decision enters the MC/DC figure.
enum class McdcRole {
  Measured,    // its conditions count, those with a pair as shown
  TooWide,     // wider than a condition string: its conditions count, none shown
  NotCounted,  // a switch: branch coverage only
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
  std::vector<McdcVector> vectors;  // sorted as analyseDecision sorts them
  int pairs = 0;
  std::vector<std::pair<uint16_t, uint16_t>> origins;  // (unit, decision id)
  // The tests that sent each vector, parallel to `vectors` (empty when the
  // run named no test).
  std::vector<TestSet> vectorTests;

  // The coverage rules of one decision. A switch's cases are its
  // branches, not conditions of one outcome, so MC/DC does not apply; a
  // decision too wide to record counts every condition as not shown, so
  // the MC/DC figure never flatters what was not measured.
  McdcRole mcdcRole() const;
  bool countsForMcdc() const { return mcdcRole() != McdcRole::NotCounted; }
  // Conditions shown independent, as the MC/DC figure counts them.
  int mcdcShown() const { return mcdcRole() == McdcRole::Measured ? pairs : 0; }
  bool singleCondition() const { return width() == 1; }
  bool reached() const { return trueCount + falseCount > 0 || !vectors.empty(); }
  bool bothOutcomes() const { return trueCount > 0 && falseCount > 0; }
  // Fully covered: nothing of it is missing from any figure it counts in
  // (both outcomes, both outcomes of every condition, and every condition
  // shown independent unless it is a switch). Every output marks a
  // decision "not fully covered" by this rule alone.
  bool fullyCovered() const;
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
  // The file on disk is not the text its maps were built from: a listing
  // of it shows other lines than those counted.
  bool staleSource = false;
  // Why a unit compiled from this file has no probes (empty: it has them).
  std::string withoutProbes;
  std::map<int, uint64_t> lines;     // code line -> count
  std::map<int, TestSet> lineTests;  // code line -> the tests that ran it
  std::vector<FunctionCov> functions;
  std::vector<DecisionCov> decisions;  // in source order
  Totals totals;
};

struct CoverageModel {
  std::vector<FileCov> files;     // sorted by path
  std::vector<TestRecord> tests;  // what TestSet indices name
  Totals totals;
  // Units that sent messages but have no map, and messages naming ids a
  // unit's map does not list (a stale map).
  std::vector<uint16_t> unmappedUnits;
  std::vector<std::string> unknownIds;
  // Source files whose bytes on disk differ from the build's (FileCov::staleSource).
  std::vector<std::string> staleSources;
  // Source -> reason, for every unit built without probes.
  std::map<std::string, std::string> withoutProbes;
  // What makes this report untrustworthy: the run's own problems
  // (Collection::problems) and those found against the maps.
  RunProblems problems;
};

// What one decision adds to each figure of `t`.
void countDecision(const DecisionCov& d, Totals* t);

// Each unit's counts go to the map of the build they came from: the map
// whose identity the run announced for the unit, else (a run of a build
// with the call-per-event probes, or of a runtime that announced none) the
// unit's only map. Counts no map matches are left out of the figures and
// listed as problems. `parts` are the runs read against the maps each on
// its own (saved runs of different builds); empty: `run` itself.
//
// How much of the model to build. kProblemsOnly, for a run that writes no
// report, no output and checks no figure, gives what its end still needs:
// the same problems (units without a map, without probes), the same files
// by path with the same stale sources and units without probes, and the
// unmapped units; no counts, figures, test lists or unknown ids. A suite of
// many programs spent most of its end on the rest.
enum class CoverageDetail { kFull, kProblemsOnly };
CoverageModel buildCoverage(const SourceMap& map, const Collection& run,
                            const std::vector<const Collection*>& parts = {},
                            CoverageDetail detail = CoverageDetail::kFull);

// The totals of a file and of each of its functions, from its lines and
// decisions (after building, or after a report narrowed them).
void countFile(FileCov* f);

// Paths as reports show them: relative to the deepest directory that holds
// every file of the model (absolute in the machine-read formats).
std::string commonRoot(const CoverageModel& m);
std::string displayPath(const std::string& path, const std::string& root);

}  // namespace qelc
