// Every file format the coverage model is written in, registered in one
// table (outputs.cpp). qelcollect offers each entry's option, checks its
// target before a run (so an unwritable path fails at once, not after a
// long test run), writes it after the run and lists it in --help. A new
// format is its writer's file and one line of the table.
//
// Each writer takes the finished model and only formats it, asking the
// model the coverage rules (coverage.hpp), so all outputs of one run agree.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

#include "changed_lines.hpp"
#include "coverage.hpp"

namespace qelc {

// What a writer may use besides the model.
struct OutputContext {
  int64_t timestamp = 0;                  // seconds since the epoch, for formats that carry one
  const ChangeReport* changes = nullptr;  // the changed lines, when asked for
};

struct OutputFormat {
  const char* option;     // "--lcov"
  const char* valueName;  // FILE or DIR, as --help shows it
  const char* name;       // "LCOV tracefile", for messages
  const char* help;       // its line in --help
  // Exactly one of the two: a format written to one file, or into a
  // directory (created if needed) that the writer fills.
  void (*toStream)(std::ostream& os, const CoverageModel& m, const OutputContext& c);
  bool (*toDirectory)(const std::string& dir, const CoverageModel& m, const OutputContext& c,
                      std::string* error);
};

// The table, in --help order.
const std::vector<OutputFormat>& outputFormats();

// Formats of the changed lines alone, which need a diff.
bool needsChangedLines(const OutputFormat& f);

// Whether `target` can take the format: a file opened for writing, a
// directory created. False with a message otherwise.
bool prepareOutput(const OutputFormat& f, const std::string& target, std::string* error);

// Writes the format to `target`; false with a message when it could not.
bool writeOutput(const OutputFormat& f, const std::string& target, const CoverageModel& m,
                 const OutputContext& c, std::string* error);

// The writers, one file each.

// LCOV tracefile (SF, FN/FNDA, FNF/FNH, BRDA, BRF/BRH, DA, LF/LH).
void writeLcov(std::ostream& os, const CoverageModel& m);

// Cobertura XML (coverage-04 DTD); `timestamp` in seconds since the epoch.
void writeCobertura(std::ostream& os, const CoverageModel& m, int64_t timestamp);

// The whole model as one JSON document (docs/coverage-json.md).
// With changed lines, a "changed_lines" member carries their coverage.
void writeCoverageJson(std::ostream& os, const CoverageModel& m,
                       const ChangeReport* changes = nullptr);

// index.html and one page per source file into dir (created if needed).
// Returns false with a message when a file cannot be written.
// With changed lines, the index shows their coverage first.
bool writeHtml(const std::string& dir, const CoverageModel& m, std::string* error,
               const ChangeReport* changes = nullptr);

}  // namespace qelc
