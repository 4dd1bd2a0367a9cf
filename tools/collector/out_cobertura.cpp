#include <cstdio>
#include <map>
#include <ostream>

#include "outputs.hpp"

namespace qelc {
namespace {

std::string rate(const Counter& c) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.4f",
                c.total ? static_cast<double>(c.covered) / static_cast<double>(c.total) : 1.0);
  return buf;
}

struct BranchLine {
  uint64_t covered = 0;
  uint64_t total = 0;
};

void lines(std::ostream& os, const FileCov& f, int from, int to,
           const std::map<int, BranchLine>& branches, const char* in) {
  os << in << "<lines>\n";
  for (auto it = f.lines.lower_bound(from); it != f.lines.end() && it->first <= to; ++it) {
    os << in << "  <line number=\"" << it->first << "\" hits=\"" << it->second << "\"";
    const auto b = branches.find(it->first);
    if (b == branches.end()) {
      os << " branch=\"false\"/>\n";
      continue;
    }
    const int pct = static_cast<int>(100 * b->second.covered / b->second.total);
    os << " branch=\"true\" condition-coverage=\"" << pct << "% (" << b->second.covered << "/"
       << b->second.total << ")\">\n"
       << in << "    <conditions>\n"
       << in << "      <condition number=\"0\" type=\"jump\" coverage=\"" << pct << "%\"/>\n"
       << in << "    </conditions>\n"
       << in << "  </line>\n";
  }
  os << in << "</lines>\n";
}

}  // namespace

void writeCobertura(std::ostream& os, const CoverageModel& m, int64_t timestamp) {
  const std::string root = commonRoot(m);
  os << "<?xml version=\"1.0\" ?>\n"
     << "<!DOCTYPE coverage SYSTEM \"http://cobertura.sourceforge.net/xml/coverage-04.dtd\">\n"
     << "<coverage line-rate=\"" << rate(m.totals.lines) << "\" branch-rate=\""
     << rate(m.totals.branches) << "\" lines-covered=\"" << m.totals.lines.covered
     << "\" lines-valid=\"" << m.totals.lines.total << "\" branches-covered=\""
     << m.totals.branches.covered << "\" branches-valid=\"" << m.totals.branches.total
     << "\" complexity=\"0\" version=\"qelcollect 1\" timestamp=\"" << timestamp << "\">\n"
     << "  <sources>\n    <source>" << markupEscape(root.empty() ? "/" : root)
     << "</source>\n  </sources>\n"
     << "  <packages>\n";
  // One package per directory, one class per file, as C coverage tools
  // map C onto this Java-shaped format.
  std::map<std::string, std::vector<const FileCov*>> packages;
  for (const auto& f : m.files) {
    const std::string rel = displayPath(f.path, root);
    const auto slash = rel.rfind('/');
    packages[slash == std::string::npos ? "" : rel.substr(0, slash)].push_back(&f);
  }
  for (const auto& [pkg, files] : packages) {
    Totals t;
    for (const FileCov* f : files) t.add(f->totals);
    os << "    <package name=\"" << markupEscape(pkg.empty() ? "." : pkg) << "\" line-rate=\""
       << rate(t.lines) << "\" branch-rate=\"" << rate(t.branches)
       << "\" complexity=\"0\">\n      <classes>\n";
    for (const FileCov* f : files) {
      std::map<int, BranchLine> branches;
      for (const auto& d : f->decisions) {
        BranchLine& b = branches[d.range.line];
        b.total += 2;
        b.covered += (d.trueCount > 0) + (d.falseCount > 0);
      }
      const std::string rel = displayPath(f->path, root);
      os << "        <class name=\"" << markupEscape(rel) << "\" filename=\"" << markupEscape(rel)
         << "\" line-rate=\"" << rate(f->totals.lines) << "\" branch-rate=\""
         << rate(f->totals.branches) << "\" complexity=\"0\">\n          <methods>\n";
      for (const auto& fn : f->functions) {
        os << "            <method name=\"" << markupEscape(fn.name)
           << "\" signature=\"\" line-rate=\"" << rate(fn.totals.lines) << "\" branch-rate=\""
           << rate(fn.totals.branches) << "\">\n";
        lines(os, *f, fn.line, fn.endLine, branches, "              ");
        os << "            </method>\n";
      }
      os << "          </methods>\n";
      lines(os, *f, 0, 1 << 30, branches, "          ");
      os << "        </class>\n";
    }
    os << "      </classes>\n    </package>\n";
  }
  os << "  </packages>\n</coverage>\n";
}

}  // namespace qelc
