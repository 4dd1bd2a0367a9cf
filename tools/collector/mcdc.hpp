// MC/DC analysis of one decision: which of its conditions the vectors seen
// show to independently affect its outcome. Every report and the coverage
// model take their pairs from here.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "decode.hpp"

namespace qelc {

// The MC/DC form measured, as reports state it.
inline constexpr const char* kMcdcForm =
    "unique-cause MC/DC with short-circuit: a condition is shown independent by two "
    "evaluations that differ in it and in the outcome, where a condition short-circuited "
    "in either evaluation does not matter";

// One distinct MC/DC vector of a decision: condition codes plus outcome.
struct McdcVector {
  Codes codes;  // up to 64 conditions (counters in the program)
  bool outcome = false;
  uint64_t count = 0;
};

struct ConditionResult {
  bool trueSeen = false;
  bool falseSeen = false;
  bool pair = false;  // an independence pair was observed
  int first = -1;     // indices into DecisionAnalysis::vectors
  int second = -1;
};

struct DecisionAnalysis {
  int conditions = 0;  // slots up to the last one ever evaluated or skipped
  std::vector<McdcVector> vectors;
  std::vector<ConditionResult> conds;
  int pairs = 0;
};

// Condition i is shown independent by two vectors that both evaluated i
// with different values, have different outcomes, and agree on every other
// condition that both of them evaluated. The vectors come back sorted by
// their text, so every report numbers them alike.
DecisionAnalysis analyseDecision(std::vector<McdcVector> vectors);

// Vector notation of every report: T true, F false, - not evaluated
// (short-circuited, or a slot a reached decision left unset), one column
// per condition of the decision.
std::string vectorColumns(const Codes& codes, int width);

}  // namespace qelc
