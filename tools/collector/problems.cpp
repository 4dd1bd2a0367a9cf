#include "problems.hpp"

#include <ostream>

namespace qelc {

const std::vector<ProblemKindInfo>& problemKinds() {
  static const std::vector<ProblemKindInfo> kinds = {
      {ProblemKind::UnfinishedStream, "unfinished_stream", "Processes whose stream never finished",
       10, "--loss-warning",
       "only warn (exit status unchanged) when a process's stream\n"
       "never finished or messages are missing"},
      {ProblemKind::MissingMessages, "missing_messages", "Messages missing", 10, "--loss-warning",
       nullptr},
      {ProblemKind::UnitWithoutProbes, "unit_without_probes", "Units built without probes", 11,
       "--uninstrumented-warning",
       "only warn (exit status unchanged) when a unit of the maps\n"
       "was built without probes"},
      {ProblemKind::UnitWithoutMap, "unit_without_map",
       "Units whose counts match no map (left out of the figures)", 12, "--stale-map-warning",
       "only warn (exit status unchanged) when a unit's counts\n"
       "match no map (another build's, or none at all)"},
  };
  return kinds;
}

const ProblemKindInfo& problemKind(ProblemKind k) {
  for (const auto& info : problemKinds())
    if (info.kind == k) return info;
  return problemKinds().front();
}

int problemExitStatus(const RunProblems& problems, const std::set<std::string>& warnOptions) {
  for (const auto& info : problemKinds()) {
    if (warnOptions.count(info.warnOption)) continue;
    for (const auto& p : problems)
      if (p.kind == info.kind) return info.exitStatus;
  }
  return 0;
}

void announceProblems(std::ostream& err, const RunProblems& problems,
                      const std::set<std::string>& warnOptions) {
  for (const auto& info : problemKinds()) {
    std::size_t n = 0;
    for (const auto& p : problems) n += p.kind == info.kind;
    if (n == 0) continue;
    err << "qelcollect: " << info.heading << ": " << n;
    if (warnOptions.count(info.warnOption))
      err << " (a warning, " << info.warnOption << ")\n";
    else
      err << " (exit status " << info.exitStatus << "; " << info.warnOption
          << " makes it a warning)\n";
    for (const auto& p : problems)
      if (p.kind == info.kind) err << "qelcollect:   " << p.subject << ": " << p.detail << "\n";
  }
}

void writeProblemsText(std::ostream& os, const RunProblems& problems) {
  if (problems.empty()) return;
  os << "\n-- Run problems: " << problems.size() << "\n";
  for (const auto& info : problemKinds()) {
    bool first = true;
    for (const auto& p : problems) {
      if (p.kind != info.kind) continue;
      if (first) os << "  " << info.heading << " (" << info.key << "):\n";
      first = false;
      os << "    " << p.subject << ": " << p.detail << "\n";
    }
  }
}

}  // namespace qelc
