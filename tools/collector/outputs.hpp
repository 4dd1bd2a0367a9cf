// Every format the coverage model is written in. Each writer takes the
// finished model and only formats it, so all outputs of one run agree.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

#include "coverage.hpp"

namespace qelc {

// Summary per file and total, like a compiler coverage tool's report;
// then the lines never run, the functions never called and the decisions
// not fully covered. `allDecisions` (--verbose) adds a table per function
// and lists every decision.
void writeCoverageSummary(std::ostream& os, const CoverageModel& m, bool allDecisions);

// Source listing: each line with its count ("#####" for code never run,
// "-" for lines that are not code) and, under each decision, its
// conditions, the vectors seen and the pairs missing.
void writeAnnotated(std::ostream& os, const CoverageModel& m);

// Vector notation used by every text output: T true, F false, - not
// evaluated (short-circuited), one column per condition of the decision.
std::string vectorColumns(const Codes& codes, int width);

// Text for XML and HTML: the markup characters escaped, and control
// characters other than tab, line feed and carriage return, which XML 1.0
// cannot carry at all, written as '?'.
std::string markupEscape(const std::string& s);

// LCOV tracefile (SF, FN/FNDA, FNF/FNH, BRDA, BRF/BRH, DA, LF/LH).
void writeLcov(std::ostream& os, const CoverageModel& m);

// Cobertura XML (coverage-04 DTD); `timestamp` in seconds since the epoch.
void writeCobertura(std::ostream& os, const CoverageModel& m, int64_t timestamp);

// The whole model as one JSON document (docs/coverage-json.md).
void writeCoverageJson(std::ostream& os, const CoverageModel& m);

// index.html and one page per source file into dir (created if needed).
// Returns false with a message when a file cannot be written.
bool writeHtml(const std::string& dir, const CoverageModel& m, std::string* error);

// A decision with its outcomes, MC/DC, vectors and conditions, shared by
// the text outputs; `file` prefixes its line:column when not empty.
void writeDecisionDetail(std::ostream& os, const DecisionCov& d, const std::string& file,
                         const std::string& indent);

std::string percentText(const Counter& c);

// The lines a source listing shows: every line of the source as read now,
// and beyond its end only the lines the model names (a map that does not
// match the file on disk must not make a listing of a billion lines).
std::vector<int> listedLines(const FileCov& f, std::size_t sourceLines);

}  // namespace qelc
