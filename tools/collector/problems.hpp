// Run problems: what makes a report untrustworthy although it was written
// (a process whose stream never finished, messages that never arrived, a
// unit the report cannot account for). Every report shows the same list,
// each writer with one function, and the exit status is chosen from the
// kinds present, so a problem is never only a trace line.
//
// Adding a kind: an enumerator and its row in kProblemKinds (problems.cpp):
// its key (JSON and the text report), its heading, its exit status and the
// option that turns it into a warning. Kinds may share a status and an
// option (all the kinds of loss do).
#pragma once

#include <iosfwd>
#include <set>
#include <string>
#include <vector>

namespace qelc {

enum class ProblemKind {
  UnfinishedStream,   // a process announced its start and never its end
  MissingMessages,    // messages short of a process's announced totals or by sequence number
  UnitWithoutProbes,  // a unit of the maps that qelcc built without probes
  UnitWithoutMap,     // a unit's counts that no map matches (another build, or none)
};

struct RunProblem {
  ProblemKind kind;
  std::string subject;  // "process 4711 (./prog)", "unit 3"
  std::string detail;   // one line: what is missing or wrong
};

using RunProblems = std::vector<RunProblem>;

struct ProblemKindInfo {
  ProblemKind kind;
  const char* key;         // "unfinished_stream"
  const char* heading;     // "Processes whose stream never finished"
  int exitStatus;          // the status when the kind is present
  const char* warnOption;  // "--loss-warning": the kind only warns
  const char* warnHelp;    // the option's line in --help
};

// The kinds, in the order the reports list them.
const std::vector<ProblemKindInfo>& problemKinds();
const ProblemKindInfo& problemKind(ProblemKind k);

// The exit status of the first kind present (table order) whose option is
// not in `warnOptions`; 0 when every problem present is only a warning.
int problemExitStatus(const RunProblems& problems, const std::set<std::string>& warnOptions);

// One line per problem on standard error ("qelcollect: ..."), saying for
// each kind whether it sets the exit status or was turned into a warning.
void announceProblems(std::ostream& err, const RunProblems& problems,
                      const std::set<std::string>& warnOptions);

// The text report's section ("-- Run problems"), nothing when the list is empty.
void writeProblemsText(std::ostream& os, const RunProblems& problems);

}  // namespace qelc
