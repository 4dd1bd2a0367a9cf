// The coverage parts of the text report: the summary and the annotated
// source listing.
#include <algorithm>
#include <cstdio>
#include <ostream>
#include <vector>

#include "listing.hpp"
#include "text_report.hpp"

namespace qelc {
namespace {

std::string padRight(const std::string& s, std::size_t w) {
  return s.size() >= w ? s + " " : s + std::string(w - s.size(), ' ');
}

std::string cell(const Counter& c) {
  const std::string n = std::to_string(c.covered) + "/" + std::to_string(c.total);
  std::string p = percentText(c);
  return std::string(n.size() < 11 ? 11 - n.size() : 0, ' ') + n + " " +
         std::string(p.size() < 6 ? 6 - p.size() : 0, ' ') + p;
}

// Column names right-aligned over cells of 18 characters, 2 apart.
std::string header(const std::string& first, std::size_t w,
                   std::initializer_list<const char*> names) {
  std::string h = padRight(first, w);
  bool firstCell = true;
  for (const char* n : names) {
    const std::string name = n;
    h += std::string((firstCell ? 0 : 2) + (name.size() < 18 ? 18 - name.size() : 0), ' ') + name;
    firstCell = false;
  }
  return h + "\n";
}

void row(std::ostream& os, const std::string& name, const Totals& t, std::size_t w) {
  os << padRight(name, w) << cell(t.functions) << "  " << cell(t.lines) << "  " << cell(t.branches)
     << "  " << cell(t.conditions) << "  " << cell(t.mcdc) << "\n";
}

std::string place(const DecisionCov& d) {
  return std::to_string(d.range.line) + ":" + std::to_string(d.range.column);
}

// Code lines never run as "3, 8-11, 20": a run of missed lines stays one
// range across lines that are not code.
std::string missingLines(const FileCov& f) {
  std::string out;
  int first = 0, last = 0;
  const auto flush = [&] {
    if (!first) return;
    if (!out.empty()) out += ", ";
    out += std::to_string(first);
    if (last != first) out += "-" + std::to_string(last);
    first = 0;
  };
  for (const auto& [line, count] : f.lines) {
    if (count) {
      flush();
    } else {
      if (!first) first = line;
      last = line;
    }
  }
  flush();
  return out;
}

// Each file's code lines never run, under `heading` when there are any.
void listMissingLines(std::ostream& os, const CoverageModel& m, const std::string& root,
                      const char* heading, const char* indent) {
  bool any = false;
  for (const auto& f : m.files) {
    const std::string ranges = missingLines(f);
    if (ranges.empty()) continue;
    if (!any) os << heading;
    any = true;
    os << indent << displayPath(f.path, root) << ": " << ranges << "\n";
  }
}

}  // namespace

void writeDecisionDetail(std::ostream& os, const DecisionCov& d, const std::string& file,
                         const std::string& in) {
  os << in << file << (file.empty() ? "" : ":") << place(d) << " "
     << "(" << (d.kind.empty() ? "decision" : d.kind);
  if (!d.function.empty()) os << " in " << d.function;
  os << "): " << d.text << "\n";
  os << in << "  outcomes: true " << d.trueCount << ", false " << d.falseCount;
  if (!d.reached())
    os << "  NEVER REACHED";
  else if (!d.trueCount)
    os << "  MISSING true";
  else if (!d.falseCount)
    os << "  MISSING false";
  os << "\n";
  switch (d.mcdcRole()) {
    case McdcRole::NotCounted:
      os << in << "  (switch: branch coverage only)\n";
      break;
    case McdcRole::TooWide:
      os << in << "  MC/DC: too wide (" << d.width()
         << " conditions, more than its instrumentation measures); counted as 0/" << d.width()
         << "\n";
      break;
    case McdcRole::Measured:
      os << in << "  MC/DC: " << d.pairs << "/" << d.width()
         << (d.singleCondition() ? "  [single condition]" : "") << "\n";
      break;
  }
  const int w = d.width();
  for (std::size_t v = 0; v < d.vectors.size(); ++v)
    os << in << "    #" << padRight(std::to_string(v + 1), 3)
       << vectorColumns(d.vectors[v].codes, w) << "  -> " << (d.vectors[v].outcome ? "T" : "F")
       << "  x" << d.vectors[v].count << "\n";
  for (const auto& c : d.conditions) {
    os << in << "    c" << c.index << " " << padRight("\"" + c.text + "\"", 14) << "true "
       << padRight(std::to_string(c.trueCount), 6) << "false "
       << padRight(std::to_string(c.falseCount), 6);
    if (d.mcdcRole() == McdcRole::TooWide)
      os << "MC/DC not measured (too wide)";
    else if (d.mcdcRole() == McdcRole::Measured)
      os << (c.pair ? "pair #" + std::to_string(c.pairFirst + 1) + "/#" +
                          std::to_string(c.pairSecond + 1)
                    : std::string("MISSING independence pair"));
    os << "\n";
  }
}

void writeCoverageSummary(std::ostream& os, const CoverageModel& m, bool allDecisions) {
  const std::string root = commonRoot(m);
  std::size_t w = 24;
  for (const auto& f : m.files) {
    w = std::max(w, displayPath(f.path, root).size() + 2);
    if (allDecisions)
      for (const auto& fn : f.functions)
        w = std::max(w, displayPath(f.path, root).size() + fn.name.size() + 10);
  }
  os << "\n-- Coverage by file";
  if (!root.empty()) os << " (under " << root << ")";
  os << "\n";
  os << header("File", w, {"Functions", "Lines", "Branches", "Conditions", "MC/DC"});
  for (const auto& f : m.files) row(os, displayPath(f.path, root), f.totals, w);
  row(os, "TOTAL", m.totals, w);
  os << "  Branches: decision outcomes; Conditions: leaf condition outcomes; decisions with both "
        "outcomes: "
     << m.totals.decisions.covered << "/" << m.totals.decisions.total << " ("
     << percentText(m.totals.decisions) << ")\n";
  os << "  MC/DC: " << kMcdcForm << ".\n";
  os << "  MC/DC counts " << m.totals.singleConditionDecisions
     << " single-condition decision(s) (marked [single condition]; without them "
     << m.totals.mcdcMultiCondition.covered << "/" << m.totals.mcdcMultiCondition.total << " "
     << percentText(m.totals.mcdcMultiCondition) << "), " << m.totals.tooWideDecisions
     << " decision(s) too wide to measure (counted as 0), " << m.totals.unreachedDecisions
     << " decision(s) never reached.\n";

  if (allDecisions) {
    os << "\n-- Functions\n";
    os << header("Function", w, {"Calls", "Lines", "Branches", "Conditions", "MC/DC"});
    for (const auto& f : m.files)
      for (const auto& fn : f.functions) {
        const Totals& t = fn.totals;
        const std::string calls = std::to_string(fn.calls);
        os << padRight(displayPath(f.path, root) + ":" + std::to_string(fn.line) + " " + fn.name, w)
           << std::string(calls.size() < 18 ? 18 - calls.size() : 0, ' ') << calls << "  "
           << cell(t.lines) << "  " << cell(t.branches) << "  " << cell(t.conditions) << "  "
           << cell(t.mcdc) << "\n";
      }
  }

  listMissingLines(os, m, root, "\n-- Lines never run\n", "  ");

  bool any = false;
  for (const auto& f : m.files)
    for (const auto& fn : f.functions)
      if (!fn.calls) {
        if (!any) os << "\n-- Functions never called\n";
        any = true;
        os << "  " << displayPath(f.path, root) << ":" << fn.line << "  " << fn.name << "\n";
      }

  os << (allDecisions ? "\n-- Decisions\n" : "\n-- Decisions not fully covered\n");
  any = false;
  for (const auto& f : m.files)
    for (const auto& d : f.decisions) {
      if (!allDecisions && d.fullyCovered()) continue;
      any = true;
      writeDecisionDetail(os, d, displayPath(f.path, root), "  ");
    }
  if (!any) os << "  none\n";
  if (!m.unmappedUnits.empty()) {
    os << "\n-- Messages without a map\n";
    for (uint16_t u : m.unmappedUnits) os << "  no map for unit " << u << "\n";
  }
  if (!m.unknownIds.empty()) {
    os << "\n-- Ids the maps do not list (map older than the program?)\n";
    for (std::size_t i = 0; i < m.unknownIds.size() && i < 50; ++i)
      os << "  " << m.unknownIds[i] << "\n";
    if (m.unknownIds.size() > 50) os << "  ... " << (m.unknownIds.size() - 50) << " more\n";
  }
}

void writeChangedLines(std::ostream& os, const ChangeReport& c) {
  const CoverageModel& m = c.model;
  const std::string root = commonRoot(m);
  os << "\n-- Changed lines (" << c.against << ")\n";
  if (m.files.empty()) {
    os << "  no changed line is code the maps know\n";
    return;
  }
  std::size_t w = 24;
  for (const auto& f : m.files) w = std::max(w, displayPath(f.path, root).size() + 2);
  os << header("File", w, {"Functions", "Lines", "Branches", "Conditions", "MC/DC"});
  for (const auto& f : m.files) row(os, displayPath(f.path, root), f.totals, w);
  row(os, "TOTAL", m.totals, w);
  listMissingLines(os, m, root, "  Changed lines never run:\n", "    ");
  bool any = false;
  for (const auto& f : m.files)
    for (const auto& d : f.decisions) {
      if (d.fullyCovered()) continue;
      if (!any) os << "  Changed decisions not fully covered:\n";
      any = true;
      writeDecisionDetail(os, d, displayPath(f.path, root), "    ");
    }
  os << "  Changed code lines run: " << m.totals.lines.covered << " of " << m.totals.lines.total
     << "\n";
}

void writeAnnotated(std::ostream& os, const CoverageModel& m) {
  for (const auto& f : m.files) {
    os << "\n-- " << f.path << "  (lines " << percentText(f.totals.lines) << ", branches "
       << percentText(f.totals.branches) << ", MC/DC " << percentText(f.totals.mcdc) << ")\n";
    if (!f.withoutProbes.empty())
      os << "   (built without probes: " << f.withoutProbes << "; nothing of it is counted)\n";
    if (f.staleSource)
      os << "   (stale listing: the file changed since it was built; the counts are those of "
            "the text it had then)\n";
    const SourceListing src = readListing(f);
    if (!src.readable()) os << "   (source not readable here: lines listed without text)\n";
    std::size_t di = 0;
    for (int l : src.lines) {
      const auto it = f.lines.find(l);
      std::string count = "-";
      if (it != f.lines.end()) count = it->second ? std::to_string(it->second) : "#####";
      char head[32];
      std::snprintf(head, sizeof head, "%9s:%5d:", count.c_str(), l);
      os << head << src.line(l) << "\n";
      for (; di < f.decisions.size() && f.decisions[di].range.line <= l; ++di)
        writeDecisionDetail(os, f.decisions[di], "", "                ");
    }
  }
}

}  // namespace qelc
