#include <ostream>

#include "outputs.hpp"

namespace qelc {

void writeLcov(std::ostream& os, const CoverageModel& m) {
  for (const auto& f : m.files) {
    // The test name is the one place of a record that can name why a file
    // has no data: a file built without probes shows as such, never covered.
    os << "TN:" << (f.withoutProbes.empty() ? "" : "built_without_probes") << "\nSF:" << f.path
       << "\n";
    for (const auto& fn : f.functions) os << "FN:" << fn.line << "," << fn.name << "\n";
    for (const auto& fn : f.functions) os << "FNDA:" << fn.calls << "," << fn.name << "\n";
    os << "FNF:" << f.totals.functions.total << "\nFNH:" << f.totals.functions.covered << "\n";
    // One block per decision, branch 0 its true and branch 1 its false
    // outcome; "-" marks a decision that never ran.
    int block = 0;
    for (const auto& d : f.decisions) {
      const bool ran = d.reached();
      os << "BRDA:" << d.range.line << "," << block << ",0,"
         << (ran ? std::to_string(d.trueCount) : "-") << "\n";
      os << "BRDA:" << d.range.line << "," << block << ",1,"
         << (ran ? std::to_string(d.falseCount) : "-") << "\n";
      ++block;
    }
    os << "BRF:" << f.totals.branches.total << "\nBRH:" << f.totals.branches.covered << "\n";
    for (const auto& [line, count] : f.lines) os << "DA:" << line << "," << count << "\n";
    os << "LF:" << f.totals.lines.total << "\nLH:" << f.totals.lines.covered << "\n";
    os << "end_of_record\n";
  }
}

}  // namespace qelc
