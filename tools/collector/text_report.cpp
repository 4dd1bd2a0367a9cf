#include "text_report.hpp"

#include <cstdio>
#include <ostream>

namespace qelc {
namespace {

std::string pct(int num, int den) {
  if (den == 0) return "n/a";
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.1f%%", 100.0 * num / den);
  return buf;
}

std::string padded(const std::string& s, std::size_t w) {
  return s.size() >= w ? s : s + std::string(w - s.size(), ' ');
}

// A unit the map knows is reported by source file instead of by ids.
bool rawUnit(const TextReportOptions& opt, uint16_t unit) {
  return !opt.map || !opt.map->units.count(unit);
}

// One function per report section, in report order.
void writeHeader(std::ostream& os, const Collection& run) {
  os << "==================== qelcollect report ====================\n";
  os << "Messages: " << run.total() << " (";
  for (std::size_t i = 0; i < kChannelCount; ++i)
    os << (i ? ", " : "") << kChannels[i].name << ' ' << run.count(kChannels[i].channel);
  os << "), malformed " << run.malformedCount();
  if (run.sequenceGaps()) os << ", missing by sequence number " << run.sequenceGaps();
  os << "\n";
}

void writeTestCases(std::ostream& os, const Collection& run) {
  os << "\n-- Test cases: " << run.testCases().size() << " created\n";
  for (std::size_t i = 0; i < run.testCases().size(); ++i) {
    const auto& t = run.testCases()[i];
    os << "  " << (i + 1) << ". \"" << t.name << "\"  started " << t.starts << ", stopped "
       << t.stops;
    if (t.verdict != qel_wire::TestVerdict::None) os << ", " << verdictName(t.verdict);
    os << "\n";
  }
  if (run.strayStarts() || run.strayStops())
    os << "  (before any creation: started " << run.strayStarts() << ", stopped "
       << run.strayStops() << ")\n";
}

void writeNodes(std::ostream& os, const Collection& run, const TextReportOptions& opt) {
  bool any = false;
  for (auto it = run.nodes().begin(); it != run.nodes().end();) {
    const uint16_t unit = it->first.first;
    if (!rawUnit(opt, unit)) {
      while (it != run.nodes().end() && it->first.first == unit) ++it;
      continue;
    }
    if (!any) os << (opt.map ? "\n-- Nodes of units without a map\n" : "\n-- Nodes\n");
    any = true;
    uint64_t hits = 0;
    std::size_t n = 0;
    for (auto j = it; j != run.nodes().end() && j->first.first == unit; ++j, ++n)
      hits += j->second.hits;
    os << "  unit " << unit << ": " << n << " nodes hit, " << hits << " hits\n";
    for (; it != run.nodes().end() && it->first.first == unit; ++it) {
      os << "    node " << padded(std::to_string(it->first.second), 6) << "hits "
         << it->second.hits;
      if (it->second.byValue.size() > 1 || it->second.byValue.begin()->first != 0) {
        os << "  (by value:";
        for (const auto& [val, c] : it->second.byValue) os << ' ' << val << "=" << c;
        os << ")";
      }
      os << "\n";
    }
  }
  if (!any && !opt.map) os << "\n-- Nodes\n  none\n";
}

void writeConditions(std::ostream& os, const Collection& run, const TextReportOptions& opt) {
  int both = 0, shown = 0;
  for (const auto& [key, s] : run.conditions()) {
    if (!rawUnit(opt, key.first)) continue;
    if (!shown++)
      os << (opt.map ? "\n-- Conditions of units without a map (true / false outcomes)\n"
                     : "\n-- Conditions (true / false outcomes)\n");
    const bool full = s.trueCount && s.falseCount;
    both += full;
    os << "  unit " << key.first << " cond " << padded(std::to_string(key.second), 5) << "true "
       << padded(std::to_string(s.trueCount), 6) << "false "
       << padded(std::to_string(s.falseCount), 6)
       << (full          ? "both seen"
           : s.trueCount ? "MISSING false"
                         : "MISSING true")
       << "\n";
  }
  if (shown)
    os << "  conditions with both outcomes: " << both << "/" << shown << " (" << pct(both, shown)
       << ")\n";
  else if (!opt.map)
    os << "\n-- Conditions (true / false outcomes)\n  none\n";
}

void writeDecisions(std::ostream& os, const Collection& run, const TextReportOptions& opt) {
  const auto decisions = run.analyseDecisions();
  int gotAll = 0, condAll = 0, shown = 0;
  for (const auto& [key, a] : decisions) {
    if (!rawUnit(opt, key.first)) continue;
    if (!shown++)
      os << (opt.map ? "\n-- Decisions of units without a map" : "\n-- Decisions")
         << " (MC/DC; vector T true, F false, - not evaluated: short-circuited)\n";
    gotAll += a.pairs;
    condAll += a.conditions;
    os << "  unit " << key.first << " decision " << key.second << " (group "
       << run.decisionGroup(key) << "): " << a.conditions
       << (a.conditions == 1 ? " condition [single condition], " : " conditions, ")
       << a.vectors.size() << (a.vectors.size() == 1 ? " vector" : " vectors") << ", MC/DC "
       << a.pairs << "/" << a.conditions << " (" << pct(a.pairs, a.conditions) << ")\n";
    for (std::size_t v = 0; v < a.vectors.size(); ++v) {
      os << "    #" << padded(std::to_string(v + 1), 3)
         << vectorColumns(a.vectors[v].codes, a.conditions) << "  -> "
         << (a.vectors[v].outcome ? "T" : "F") << "  x" << a.vectors[v].count << "\n";
    }
    for (int c = 0; c < a.conditions; ++c) {
      const ConditionResult& r = a.conds[static_cast<std::size_t>(c)];
      os << "    c" << c << ": true " << (r.trueSeen ? "yes" : "no ") << "  false "
         << (r.falseSeen ? "yes" : "no ") << "  ";
      if (r.pair)
        os << "pair #" << (r.first + 1) << "/#" << (r.second + 1) << "\n";
      else
        os << "MISSING independence pair\n";
    }
  }
  if (shown) {
    os << "  MC/DC overall: " << gotAll << "/" << condAll << " conditions (" << pct(gotAll, condAll)
       << ")\n";
    os << "  MC/DC form: " << kMcdcForm << ". Decisions that never ran are not known without "
       << "a map (--map).\n";
  } else if (!opt.map) {
    os << "\n-- Decisions (MC/DC)\n  none\n";
  }
}

void writeValues(std::ostream& os, const Collection& run, const TextReportOptions& opt) {
  os << "\n-- Values: " << run.valueCount() << " records\n";
  for (std::size_t i = 0; i < run.values().size() && i < opt.maxValues; ++i) {
    const auto& v = run.values()[i];
    os << "  " << (v.header.empty() ? "(no header)" : v.header) << ":";
    for (const auto& it : v.items) os << ' ' << it.name << "=" << it.value << " (" << it.tag << ")";
    os << "\n";
  }
  if (run.valueCount() > opt.maxValues)
    os << "  ... " << (run.valueCount() - opt.maxValues) << " more\n";
}

void writeTimings(std::ostream& os, const Collection& run, const TextReportOptions& opt) {
  os << "\n-- Timings: " << run.count(Channel::Timing) << " records\n";
  if (run.timings().empty()) return;
  // The three numbers of QelSendMethodTime(unit, id, elapsed): the id is
  // the instrumentation's (a method or a test case), the time microseconds.
  os << "  " << padded("unit", 8) << padded("id", 10) << padded("elapsed (us)", 16) << "records\n";
  for (std::size_t i = 0; i < run.timings().size() && i < opt.maxTimings; ++i) {
    const auto& [k, n] = run.timings()[i];
    os << "  " << padded(std::to_string(k[0]), 8) << padded(std::to_string(k[1]), 10)
       << padded(std::to_string(k[2]), 16) << n << "\n";
  }
  if (run.timings().size() > opt.maxTimings)
    os << "  ... " << (run.timings().size() - opt.maxTimings) << " more distinct\n";
}

void writeMemory(std::ostream& os, const Collection& run) {
  os << "\n-- Memory: ";
  if (!run.leakReportSeen()) {
    os << "no leak report received\n";
    return;
  }
  os << run.lastLeaks().size() << " block(s) live in the last leak report";
  if (!run.lastLeakStamp().empty()) os << " (" << run.lastLeakStamp() << ")";
  os << "\n";
  for (const auto& l : run.lastLeaks())
    os << "  " << l.size << " bytes  " << l.file << ':' << l.line << " in " << l.function
       << "  pid " << l.pid << "\n";
}

void writeLastData(std::ostream& os, const Collection& run) {
  os << "\n-- Last data (latest records, binary):";
  bool anyLast = false;
  static const char* kKinds[3] = {"node", "condition", "mcdc"};
  for (std::size_t k = 0; k < 3; ++k) {
    if (run.lastData()[k].entries.empty()) continue;
    anyLast = true;
    const auto& e = run.lastData()[k].entries;
    os << "\n  " << kKinds[k] << ": " << e.size() << " entries, numbers " << e.front().number
       << ".." << e.back().number << ", last unit " << e.back().unit << " id " << e.back().id;
  }
  os << (anyLast ? "\n" : " none\n");
}

void writeCrashes(std::ostream& os, const Collection& run) {
  os << "\n-- Crash reports: " << run.crashes().size() << "\n";
  for (const auto& c : run.crashes())
    os << "  name \"" << c.name << "\" type \"" << c.type << "\" cause \"" << c.cause << "\"\n";
  for (const auto& [idx, last] : run.crashLastData()) {
    os << "  " << dataIndexName(idx) << " of \"" << last.name << "\": " << last.entries.size()
       << " entries";
    if (!last.entries.empty()) {
      const auto& e = last.entries.back();
      os << ", last " << e.unit << ' ' << e.second;
      if (idx == DataIndex::CrashLastMCDC) os << " [" << e.conds << "]";
    }
    os << "\n";
  }
  for (const auto& t : run.otherProperties()) os << "  property text not understood: " << t << "\n";
}

void writeMalformed(std::ostream& os, const Collection& run, const TextReportOptions& opt) {
  if (!run.malformedCount()) return;
  os << "\n-- Malformed messages: " << run.malformedCount() << "\n";
  for (std::size_t i = 0; i < run.malformed().size() && i < opt.maxMalformed; ++i) {
    const auto& [port, m] = run.malformed()[i];
    os << "  port " << port << ": " << malformedText(m) << "\n";
  }
}

}  // namespace

RunProblems reportProblems(const Collection& run, const CoverageModel* model) {
  return model ? model->problems : run.problems();
}

void writeTextReport(std::ostream& os, const Collection& run, const TextReportOptions& opt) {
  writeHeader(os, run);
  writeProblemsText(os, reportProblems(run, opt.coverage));
  if (opt.coverage) {
    writeCoverageSummary(os, *opt.coverage, opt.verbose);
    if (opt.changes) writeChangedLines(os, *opt.changes);
    if (opt.annotate) writeAnnotated(os, *opt.coverage);
  }
  writeTestCases(os, run);
  writeNodes(os, run, opt);
  writeConditions(os, run, opt);
  writeDecisions(os, run, opt);
  writeValues(os, run, opt);
  writeTimings(os, run, opt);
  writeMemory(os, run);
  if (opt.verbose) writeLastData(os, run);
  writeCrashes(os, run);
  writeMalformed(os, run, opt);
  os << "===========================================================\n";
}

}  // namespace qelc
