// The whole coverage model as one JSON document (docs/coverage-json.md).
#include <cmath>
#include <ostream>

#include "outputs.hpp"
#include "qeltools/json_io.hpp"

namespace qelc {
namespace {

using qeltools::Json;
using qeltools::jsonBytes;

// A whole percentage is written without a fraction: 75, 66.7, 100.
Json percentNumber(double p) {
  double whole = 0;
  if (std::modf(p, &whole) == 0.0) return Json(static_cast<int64_t>(whole));
  return Json(p);
}

Json counter(const Counter& c) {
  Json o = qeltools::jsonObject(3);
  o["covered"] = c.covered;
  o["total"] = c.total;
  o["percent"] = percentNumber(c.percent());
  return o;
}

Json totals(const Totals& t) {
  Json o = qeltools::jsonObject(10);
  o["functions"] = counter(t.functions);
  o["lines"] = counter(t.lines);
  o["branches"] = counter(t.branches);
  o["decisions"] = counter(t.decisions);
  o["conditions"] = counter(t.conditions);
  o["mcdc"] = counter(t.mcdc);
  o["mcdc_multi_condition"] = counter(t.mcdcMultiCondition);
  o["single_condition_decisions"] = t.singleConditionDecisions;
  o["too_wide_decisions"] = t.tooWideDecisions;
  o["unreached_decisions"] = t.unreachedDecisions;
  return o;
}

void range(Json& o, const MapRange& r) {
  o["line"] = r.line;
  o["column"] = r.column;
  o["end_line"] = r.endLine;
  o["end_column"] = r.endColumn;
}

Json decision(const DecisionCov& d) {
  Json o = qeltools::jsonObject(19);
  o["function"] = jsonBytes(d.function);
  o["kind"] = jsonBytes(d.kind);
  o["text"] = jsonBytes(d.text);
  range(o, d.range);
  o["mcdc_measured"] = d.mcdcRole() == McdcRole::Measured;
  o["too_wide"] = !d.mcdc;
  o["reached"] = d.reached();
  o["fully_covered"] = d.fullyCovered();
  o["true_count"] = d.trueCount;
  o["false_count"] = d.falseCount;
  o["mcdc_covered"] = d.mcdcShown();
  o["mcdc_total"] = d.countsForMcdc() ? d.width() : 0;
  Json vectors = Json::array();
  for (std::size_t i = 0; i < d.vectors.size(); ++i) {
    const McdcVector& v = d.vectors[i];
    Json x = qeltools::jsonObject(4);
    x["conditions"] = vectorColumns(v.codes, d.width());
    x["outcome"] = v.outcome;
    x["count"] = v.count;
    if (i < d.vectorTests.size()) x["tests"] = d.vectorTests[i];
    vectors.push_back(std::move(x));
  }
  o["vectors"] = std::move(vectors);
  Json conditions = Json::array();
  for (const ConditionCov& c : d.conditions) {
    Json x = qeltools::jsonObject(11);
    x["index"] = c.index;
    x["text"] = jsonBytes(c.text);
    range(x, c.range);
    x["true_count"] = c.trueCount;
    x["false_count"] = c.falseCount;
    x["independent"] = c.pair;
    if (c.pair) x["pair"] = Json::array({c.pairFirst, c.pairSecond});
    conditions.push_back(std::move(x));
  }
  o["conditions"] = std::move(conditions);
  Json origins = Json::array();
  for (const auto& [unit, id] : d.origins) {
    Json x = qeltools::jsonObject(2);
    x["unit"] = unit;
    x["decision"] = id;
    origins.push_back(std::move(x));
  }
  o["origins"] = std::move(origins);
  return o;
}

Json file(const FileCov& f, bool tests) {
  Json o = qeltools::jsonObject(8);
  o["path"] = jsonBytes(f.path);
  if (f.staleSource) o["stale_source"] = true;
  if (!f.withoutProbes.empty()) o["without_probes"] = jsonBytes(f.withoutProbes);
  o["totals"] = totals(f.totals);
  Json lines = Json::array();
  for (const auto& [l, c] : f.lines) lines.push_back(Json::array({l, c}));
  o["lines"] = std::move(lines);
  if (tests) {
    Json byLine = Json::array();
    for (const auto& [l, t] : f.lineTests) byLine.push_back(Json::array({Json(l), Json(t)}));
    o["line_tests"] = std::move(byLine);
  }
  Json functions = Json::array();
  for (const FunctionCov& fn : f.functions) {
    Json x = qeltools::jsonObject(5);
    x["name"] = jsonBytes(fn.name);
    x["line"] = fn.line;
    x["end_line"] = fn.endLine;
    x["calls"] = fn.calls;
    x["totals"] = totals(fn.totals);
    functions.push_back(std::move(x));
  }
  o["functions"] = std::move(functions);
  Json decisions = Json::array();
  for (const DecisionCov& d : f.decisions) decisions.push_back(decision(d));
  o["decisions"] = std::move(decisions);
  return o;
}

// Each run problem with its kind's key; the same list as the text report's.
Json problemsJson(const RunProblems& problems) {
  Json list = Json::array();
  for (const auto& p : problems) {
    Json x = qeltools::jsonObject(3);
    x["kind"] = problemKind(p.kind).key;
    x["subject"] = jsonBytes(p.subject);
    x["detail"] = jsonBytes(p.detail);
    list.push_back(std::move(x));
  }
  return list;
}

// Uncovered first: what a reviewer acts on leads.
Json changedLines(const ChangeReport& c) {
  Json o = qeltools::jsonObject(3);
  o["against"] = jsonBytes(c.against);
  o["totals"] = totals(c.model.totals);
  Json files = Json::array();
  for (const FileCov& f : c.model.files) {
    Json x = qeltools::jsonObject(5);
    x["path"] = jsonBytes(f.path);
    Json uncovered = Json::array(), covered = Json::array();
    for (const auto& [l, count] : f.lines) (count ? covered : uncovered).push_back(l);
    x["uncovered_lines"] = std::move(uncovered);
    x["covered_lines"] = std::move(covered);
    Json partial = Json::array();
    for (const DecisionCov& d : f.decisions)
      if (!d.fullyCovered()) partial.push_back(Json::array({d.range.line, d.range.column}));
    x["decisions_not_fully_covered"] = std::move(partial);
    x["totals"] = totals(f.totals);
    files.push_back(std::move(x));
  }
  o["files"] = std::move(files);
  return o;
}

}  // namespace

void writeCoverageJson(std::ostream& os, const CoverageModel& m, const ChangeReport* changes) {
  Json doc = qeltools::jsonObject(9);
  doc["format"] = "qelcoverage";
  doc["version"] = 1;
  doc["mcdc_form"] = kMcdcForm;
  doc["totals"] = totals(m.totals);
  Json files = Json::array();
  for (const FileCov& f : m.files) files.push_back(file(f, !m.tests.empty()));
  doc["files"] = std::move(files);
  doc["unmapped_units"] = m.unmappedUnits;
  Json unknown = Json::array();
  for (const auto& id : m.unknownIds) unknown.push_back(jsonBytes(id));
  doc["unknown_ids"] = std::move(unknown);
  doc["problems"] = problemsJson(m.problems);
  if (changes) doc["changed_lines"] = changedLines(*changes);
  if (!m.tests.empty()) {
    Json tests = Json::array();
    for (const TestRecord& t : m.tests) {
      Json x = qeltools::jsonObject(3);
      x["name"] = jsonBytes(t.name);
      x["failed_test_cases"] = t.failedCases;
      // A test case: the process that ran it (its command line).
      if (!t.process.empty()) x["process"] = jsonBytes(t.process);
      tests.push_back(std::move(x));
    }
    doc["tests"] = std::move(tests);
  }
  os << qeltools::dumpJson(doc) << '\n';
}

}  // namespace qelc
