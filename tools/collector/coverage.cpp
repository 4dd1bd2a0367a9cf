// The coverage rules: what each figure counts, how a figure is rounded and
// shown, and when a decision is fully covered.
#include "coverage.hpp"

#include <cmath>
#include <cstdio>

namespace qelc {

double Counter::percent() const {
  if (total == 0) return 100.0;
  return std::floor(1000.0 * static_cast<double>(covered) / static_cast<double>(total) + 0.5) /
         10.0;
}

void Totals::add(const Totals& o) {
  functions.add(o.functions);
  lines.add(o.lines);
  branches.add(o.branches);
  decisions.add(o.decisions);
  conditions.add(o.conditions);
  mcdc.add(o.mcdc);
  mcdcMultiCondition.add(o.mcdcMultiCondition);
  singleConditionDecisions += o.singleConditionDecisions;
  tooWideDecisions += o.tooWideDecisions;
  unreachedDecisions += o.unreachedDecisions;
}

std::string percentText(const Counter& c) {
  if (c.total == 0) return "-";
  char buf[16];
  std::snprintf(buf, sizeof buf, "%.1f%%", c.percent());
  return buf;
}

McdcRole DecisionCov::mcdcRole() const {
  if (kind == "switch") return McdcRole::NotCounted;
  return mcdc ? McdcRole::Measured : McdcRole::TooWide;
}

bool DecisionCov::fullyCovered() const {
  if (!bothOutcomes()) return false;
  for (const auto& c : conditions)
    if (!c.bothOutcomes()) return false;
  switch (mcdcRole()) {
    case McdcRole::NotCounted:
      return true;
    case McdcRole::TooWide:
      return false;
    case McdcRole::Measured:
      break;
  }
  return pairs == width();
}

void countDecision(const DecisionCov& d, Totals* t) {
  t->branches.total += 2;
  t->branches.covered += (d.trueCount > 0) + (d.falseCount > 0);
  t->decisions.total += 1;
  t->decisions.covered += d.trueCount > 0 && d.falseCount > 0;
  for (const auto& c : d.conditions) {
    t->conditions.total += 2;
    t->conditions.covered += (c.trueCount > 0) + (c.falseCount > 0);
  }
  if (d.countsForMcdc()) {
    // Too wide or never reached: every condition counts, none is shown.
    const Counter mcdc{static_cast<uint64_t>(d.mcdcShown()), static_cast<uint64_t>(d.width())};
    t->mcdc.add(mcdc);
    if (d.width() > 1) t->mcdcMultiCondition.add(mcdc);
    t->singleConditionDecisions += d.singleCondition();
    t->tooWideDecisions += d.mcdcRole() == McdcRole::TooWide;
  }
  t->unreachedDecisions += !d.reached();
}

std::string commonRoot(const CoverageModel& m) {
  if (m.files.empty()) return {};
  std::string root = m.files.front().path;
  root = root.substr(0, root.rfind('/') + 1);
  for (const auto& f : m.files)
    while (!root.empty() && f.path.compare(0, root.size(), root) != 0) {
      root.pop_back();
      root = root.substr(0, root.rfind('/') + 1);
    }
  return root;
}

std::string displayPath(const std::string& path, const std::string& root) {
  if (!root.empty() && path.compare(0, root.size(), root) == 0) return path.substr(root.size());
  return path;
}

}  // namespace qelc
