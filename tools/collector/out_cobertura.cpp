// Cobertura XML, valid against the published coverage-04 DTD: one package
// per directory, one class per file, as C coverage tools map C onto this
// Java-shaped format. Complexity is not measured: every element that must
// carry it says 0.
#include <cstdio>
#include <map>
#include <ostream>

#include "outputs.hpp"
#include "qeltools/xml_writer.hpp"

namespace qelc {
namespace {

std::string rate(const Counter& c) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.4f",
                c.total ? static_cast<double>(c.covered) / static_cast<double>(c.total) : 1.0);
  return buf;
}

// Branches of a line: the outcomes of the decisions on it.
using LineBranches = std::map<int, Counter>;

LineBranches branchesByLine(const FileCov& f) {
  LineBranches b;
  for (const auto& d : f.decisions) {
    Totals t;
    countDecision(d, &t);
    b[d.range.line].add(t.branches);
  }
  return b;
}

void lines(qeltools::XmlWriter& xml, const FileCov& f, int from, int to,
           const LineBranches& branches) {
  xml.open("lines");
  for (auto it = f.lines.lower_bound(from); it != f.lines.end() && it->first <= to; ++it) {
    xml.open("line").attribute("number", it->first).attribute("hits", it->second);
    const auto b = branches.find(it->first);
    if (b == branches.end()) {
      xml.attribute("branch", "false").close();
      continue;
    }
    const std::string pct = std::to_string(100 * b->second.covered / b->second.total) + "%";
    xml.attribute("branch", "true")
        .attribute("condition-coverage", pct + " (" + std::to_string(b->second.covered) + "/" +
                                             std::to_string(b->second.total) + ")");
    xml.open("conditions");
    xml.open("condition")
        .attribute("number", 0)
        .attribute("type", "jump")
        .attribute("coverage", pct)
        .close();
    xml.close().close();
  }
  xml.close();
}

}  // namespace

void writeCobertura(std::ostream& os, const CoverageModel& m, int64_t timestamp) {
  const std::string root = commonRoot(m);
  qeltools::XmlWriter xml(os);
  xml.prolog("coverage", "http://cobertura.sourceforge.net/xml/coverage-04.dtd");
  xml.open("coverage")
      .attribute("line-rate", rate(m.totals.lines))
      .attribute("branch-rate", rate(m.totals.branches))
      .attribute("lines-covered", m.totals.lines.covered)
      .attribute("lines-valid", m.totals.lines.total)
      .attribute("branches-covered", m.totals.branches.covered)
      .attribute("branches-valid", m.totals.branches.total)
      .attribute("complexity", 0)
      .attribute("version", "qelcollect 1")
      .attribute("timestamp", timestamp);
  xml.open("sources").open("source").text(root.empty() ? "/" : root).close().close();
  xml.open("packages");
  std::map<std::string, std::vector<const FileCov*>> packages;
  for (const auto& f : m.files) {
    const std::string rel = displayPath(f.path, root);
    const auto slash = rel.rfind('/');
    packages[slash == std::string::npos ? "" : rel.substr(0, slash)].push_back(&f);
  }
  for (const auto& [pkg, files] : packages) {
    Totals t;
    for (const FileCov* f : files) t.add(f->totals);
    xml.open("package")
        .attribute("name", pkg.empty() ? "." : pkg)
        .attribute("line-rate", rate(t.lines))
        .attribute("branch-rate", rate(t.branches))
        .attribute("complexity", 0);
    xml.open("classes");
    for (const FileCov* f : files) {
      const LineBranches branches = branchesByLine(*f);
      const std::string rel = displayPath(f->path, root);
      // A file built without probes has nothing to cover, and is not
      // covered either: its rates are 0, not the 1 of an empty file.
      const bool probes = f->withoutProbes.empty();
      xml.open("class")
          .attribute("name", rel)
          .attribute("filename", rel)
          .attribute("line-rate", probes ? rate(f->totals.lines) : rate(Counter{0, 1}))
          .attribute("branch-rate", probes ? rate(f->totals.branches) : rate(Counter{0, 1}))
          .attribute("complexity", 0);
      xml.open("methods");
      for (const auto& fn : f->functions) {
        xml.open("method")
            .attribute("name", fn.name)
            .attribute("signature", "")
            .attribute("line-rate", rate(fn.totals.lines))
            .attribute("branch-rate", rate(fn.totals.branches))
            .attribute("complexity", 0);
        lines(xml, *f, fn.line, fn.endLine, branches);
        xml.close();
      }
      xml.close();
      lines(xml, *f, 0, 1 << 30, branches);
      xml.close();
    }
    xml.close().close();
  }
  xml.finish();
}

}  // namespace qelc
