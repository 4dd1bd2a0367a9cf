// The text report: standard output or --report FILE. The run's own
// sections (messages, test cases, values, timings, memory, crashes,
// malformed messages) and, with source maps, the coverage summary and the
// annotated source listing.
#pragma once

#include <cstddef>
#include <iosfwd>
#include <string>

#include "changed_lines.hpp"
#include "collection.hpp"
#include "coverage.hpp"
#include "srcmap.hpp"

namespace qelc {

struct TextReportOptions {
  std::size_t maxValues = 20;
  std::size_t maxTimings = 20;
  std::size_t maxMalformed = 20;
  // With a coverage model the report shows coverage by source file; the
  // raw node, condition and decision lists remain only for units the map
  // does not know.
  const SourceMap* map = nullptr;
  const CoverageModel* coverage = nullptr;
  bool annotate = false;
  // With a diff: the coverage of the changed lines, after the summary.
  const ChangeReport* changes = nullptr;
  // Internal detail: every decision, and the latest-records messages.
  bool verbose = false;
};

// The run problems a report shows: the model's when there is one (it holds
// the run's and the maps'), else the run's.
RunProblems reportProblems(const Collection& run, const CoverageModel* model);

void writeTextReport(std::ostream& os, const Collection& run, const TextReportOptions& opt = {});

// Summary per file and total, like a compiler coverage tool's report;
// then the lines never run, the functions never called and the decisions
// not fully covered. `allDecisions` (--verbose) adds a table per function
// and lists every decision.
void writeCoverageSummary(std::ostream& os, const CoverageModel& m, bool allDecisions);

// The changed lines: the figures per file and in total, then the changed
// code lines never run and the changed decisions not fully covered (what
// a reviewer must look at), then how many changed lines ran.
void writeChangedLines(std::ostream& os, const ChangeReport& c);

// Source listing: each line with its count ("#####" for code never run,
// "-" for lines that are not code) and, under each decision, its
// conditions, the vectors seen and the pairs missing.
void writeAnnotated(std::ostream& os, const CoverageModel& m);

// A decision with its outcomes, MC/DC, vectors and conditions, shared by
// the summary and the listing; `file` prefixes its line:column when not
// empty.
void writeDecisionDetail(std::ostream& os, const DecisionCov& d, const std::string& file,
                         const std::string& indent);

}  // namespace qelc
