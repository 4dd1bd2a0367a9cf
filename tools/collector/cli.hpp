// qelcollect's command line: its options, --help and exit statuses.
#pragma once

#include <set>
#include <string>
#include <utility>
#include <vector>

#include "outputs.hpp"
#include "receiver.hpp"
#include "text_report.hpp"

namespace qelc {

// Exit statuses besides the program's own; the first that applies wins
// (main.cpp).
inline constexpr int kExitUsage = 2;
inline constexpr int kExitCrash = 3;
inline constexpr int kExitTimeout = 4;
inline constexpr int kExitNoMessage = 5;

struct Threshold {
  const char* option;
  const char* name;
  int exitCode;
  double minimum = -1;  // percent; negative: not asked for
};

struct Options {
  bool reportMode = false;  // `qelcollect report`: read runs, do not receive
  ReceiverOptions recv;
  bool hostGiven = false;
  std::string out;
  // --out-format: the saved run's form regardless of its name.
  std::string outFormat;
  // report --save-jsonl: the runs read, written again as JSON lines.
  std::string saveJsonl;
  std::string reportFile;
  int quietMs = 300;
  double timeoutSec = 0;
  TextReportOptions report;
  bool noReport = false;
  std::vector<std::string> maps;
  // The file outputs asked for, with their targets.
  std::vector<std::pair<const OutputFormat*, std::string>> outputs;
  std::vector<Threshold> thresholds{{"--fail-under-line", "line", 6},
                                    {"--fail-under-branch", "branch", 7},
                                    {"--fail-under-condition", "condition", 8},
                                    {"--fail-under-mcdc", "MC/DC", 9}};
  std::vector<std::string> command;  // the program, or the run files
  bool thresholdsAsked() const {
    for (const auto& t : thresholds)
      if (t.minimum >= 0) return true;
    return false;
  }
  // The options given that turn run problems into warnings (problems.hpp).
  std::set<std::string> warnProblems;

  // Which source files the figures cover (scope.hpp); root "" is the
  // current directory.
  std::string root;
  std::vector<std::string> filters, excludes;
  // The changed lines to report on besides the whole (changed_lines.hpp):
  // a git revision, or a unified diff file.
  std::string diffBase, diffFile;
  // Gates on the changed lines, with the exit statuses of their
  // whole-project counterparts.
  std::vector<Threshold> changeThresholds{{"--fail-under-diff-line", "changed-line", 6},
                                          {"--fail-under-diff-mcdc", "changed-line MC/DC", 9}};
  bool changedLines() const { return !diffBase.empty() || !diffFile.empty(); }
  // FILE:LINE: list the tests that ran it instead of the text report.
  std::string testsFor;
  // Whether anything asked for needs the source maps.
  bool needsMaps() const {
    return !outputs.empty() || report.annotate || thresholdsAsked() || changedLines() ||
           !filters.empty() || !excludes.empty() || !testsFor.empty();
  }
};

// Reads the command line into `out`. Returns -1 to go on, or the exit
// status to end with (0 after --help, kExitUsage after a bad command line,
// with the message on standard error).
int parseCommandLine(int argc, char** argv, Options* out);

}  // namespace qelc
