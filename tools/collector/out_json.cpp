#include <ostream>

#include "json.hpp"
#include "outputs.hpp"

namespace qelc {
namespace {

void counter(std::ostream& os, const char* name, const Counter& c, bool comma = true) {
  os << "\"" << name << "\":{\"covered\":" << c.covered << ",\"total\":" << c.total
     << ",\"percent\":" << c.percent() << "}" << (comma ? "," : "");
}

void totals(std::ostream& os, const Totals& t) {
  os << "{";
  counter(os, "functions", t.functions);
  counter(os, "lines", t.lines);
  counter(os, "branches", t.branches);
  counter(os, "decisions", t.decisions);
  counter(os, "conditions", t.conditions);
  counter(os, "mcdc", t.mcdc);
  counter(os, "mcdc_multi_condition", t.mcdcMultiCondition);
  os << "\"single_condition_decisions\":" << t.singleConditionDecisions
     << ",\"too_wide_decisions\":" << t.tooWideDecisions
     << ",\"unreached_decisions\":" << t.unreachedDecisions << "}";
}

void range(std::ostream& os, const MapRange& r) {
  os << "\"line\":" << r.line << ",\"column\":" << r.column << ",\"end_line\":" << r.endLine
     << ",\"end_column\":" << r.endColumn;
}

void decision(std::ostream& os, const DecisionCov& d) {
  os << "{\"function\":" << jsonString(d.function) << ",\"kind\":" << jsonString(d.kind)
     << ",\"text\":" << jsonString(d.text) << ",";
  range(os, d.range);
  os << ",\"mcdc_measured\":" << (d.mcdc && d.countsForMcdc() ? "true" : "false")
     << ",\"too_wide\":" << (d.mcdc ? "false" : "true")
     << ",\"reached\":" << (d.reached() ? "true" : "false") << ",\"true_count\":" << d.trueCount
     << ",\"false_count\":" << d.falseCount << ",\"mcdc_covered\":" << (d.mcdc ? d.pairs : 0)
     << ",\"mcdc_total\":" << (d.countsForMcdc() ? d.width() : 0) << ",\"vectors\":[";
  for (std::size_t i = 0; i < d.vectors.size(); ++i)
    os << (i ? "," : "")
       << "{\"conditions\":" << jsonString(vectorColumns(d.vectors[i].codes, d.width()))
       << ",\"outcome\":" << (d.vectors[i].outcome ? "true" : "false")
       << ",\"count\":" << d.vectors[i].count << "}";
  os << "],\"conditions\":[";
  for (std::size_t i = 0; i < d.conditions.size(); ++i) {
    const ConditionCov& c = d.conditions[i];
    os << (i ? "," : "") << "{\"index\":" << c.index << ",\"text\":" << jsonString(c.text) << ",";
    range(os, c.range);
    os << ",\"true_count\":" << c.trueCount << ",\"false_count\":" << c.falseCount
       << ",\"independent\":" << (c.pair ? "true" : "false");
    if (c.pair) os << ",\"pair\":[" << c.pairFirst << "," << c.pairSecond << "]";
    os << "}";
  }
  os << "],\"origins\":[";
  for (std::size_t i = 0; i < d.origins.size(); ++i)
    os << (i ? "," : "") << "{\"unit\":" << d.origins[i].first
       << ",\"decision\":" << d.origins[i].second << "}";
  os << "]}";
}

}  // namespace

void writeCoverageJson(std::ostream& os, const CoverageModel& m) {
  os << "{\"format\":\"qelcoverage\",\"version\":1,\"mcdc_form\":" << jsonString(kMcdcForm)
     << ",\"totals\":";
  totals(os, m.totals);
  os << ",\"files\":[";
  for (std::size_t i = 0; i < m.files.size(); ++i) {
    const FileCov& f = m.files[i];
    os << (i ? ",\n" : "\n") << "{\"path\":" << jsonString(f.path) << ",\"totals\":";
    totals(os, f.totals);
    os << ",\"lines\":[";
    bool first = true;
    for (const auto& [l, c] : f.lines) {
      os << (first ? "" : ",") << "[" << l << "," << c << "]";
      first = false;
    }
    os << "],\"functions\":[";
    for (std::size_t k = 0; k < f.functions.size(); ++k) {
      const FunctionCov& fn = f.functions[k];
      os << (k ? "," : "") << "{\"name\":" << jsonString(fn.name) << ",\"line\":" << fn.line
         << ",\"end_line\":" << fn.endLine << ",\"calls\":" << fn.calls << ",\"totals\":";
      totals(os, fn.totals);
      os << "}";
    }
    os << "],\"decisions\":[";
    for (std::size_t k = 0; k < f.decisions.size(); ++k) {
      os << (k ? ",\n" : "\n");
      decision(os, f.decisions[k]);
    }
    os << "]}";
  }
  os << "],\"unmapped_units\":[";
  for (std::size_t i = 0; i < m.unmappedUnits.size(); ++i)
    os << (i ? "," : "") << m.unmappedUnits[i];
  os << "],\"unknown_ids\":[";
  for (std::size_t i = 0; i < m.unknownIds.size(); ++i)
    os << (i ? "," : "") << jsonString(m.unknownIds[i]);
  os << "]}\n";
}

}  // namespace qelc
