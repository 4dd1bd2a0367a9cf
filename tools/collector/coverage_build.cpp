// The coverage model built from the source maps and a run: lines, functions
// and decisions per file, merged across units by file and position.
#include <algorithm>
#include <set>
#include <tuple>

#include "coverage.hpp"
#include "scope.hpp"

namespace qelc {
namespace {

using DecisionKey = std::tuple<int, int, int, int>;  // line, column, end line, end column
using FunctionKey = std::pair<int, std::string>;     // line, name

struct FileBuild {
  std::map<int, uint64_t> lines;
  std::map<FunctionKey, FunctionCov> functions;
  std::map<DecisionKey, DecisionCov> decisions;
  std::map<DecisionKey, VectorCounts> vectors;
  std::map<int, TestSet> lineTests;
  std::map<DecisionKey, std::map<std::pair<Codes, bool>, TestSet>> vectorTests;
};

void finishDecision(DecisionCov& d, const VectorCounts& vecs,
                    const std::map<std::pair<Codes, bool>, TestSet>& tests) {
  std::vector<McdcVector> v;
  for (const auto& [cv, count] : vecs) v.push_back(McdcVector{cv.first, cv.second, count});
  DecisionAnalysis a = analyseDecision(std::move(v));
  d.vectors = std::move(a.vectors);
  if (!tests.empty())
    for (const McdcVector& x : d.vectors) {
      const auto it = tests.find({x.codes, x.outcome});
      d.vectorTests.push_back(it == tests.end() ? TestSet{} : it->second);
    }
  d.pairs = 0;
  if (d.mcdcRole() != McdcRole::Measured) return;
  for (auto& c : d.conditions) {
    if (c.index >= static_cast<int>(a.conds.size())) continue;
    const ConditionResult& r = a.conds[static_cast<std::size_t>(c.index)];
    c.pair = r.pair;
    c.pairFirst = r.first;
    c.pairSecond = r.second;
    d.pairs += r.pair;
  }
}

}  // namespace

void countFile(FileCov* file) {
  FileCov& f = *file;
  f.totals = Totals{};
  for (auto& fn : f.functions) {
    fn.totals = Totals{};
    fn.totals.functions = {fn.calls > 0 ? 1u : 0u, 1};
    for (auto it = f.lines.lower_bound(fn.line); it != f.lines.end() && it->first <= fn.endLine;
         ++it) {
      ++fn.totals.lines.total;
      fn.totals.lines.covered += it->second > 0;
    }
    for (const auto& d : f.decisions)
      if (d.function == fn.name) countDecision(d, &fn.totals);
  }
  f.totals.functions.total = f.functions.size();
  for (const auto& fn : f.functions) f.totals.functions.covered += fn.calls > 0;
  f.totals.lines.total = f.lines.size();
  for (const auto& [l, c] : f.lines) f.totals.lines.covered += c > 0;
  for (const auto& d : f.decisions) countDecision(d, &f.totals);
}

CoverageModel buildCoverage(const SourceMap& map, const Collection& run) {
  std::map<std::string, FileBuild> files;
  std::set<UnitKey> usedNodes, usedConds, usedDecisions;
  const auto& nodes = run.nodes();
  const auto& conds = run.conditions();
  const auto& vectors = run.decisionVectors();

  // One spelling per file: two units that reach a header through different
  // include paths (or a link) add up into one file, not two.
  std::map<std::string, std::string> spelled;
  const auto one = [&](const std::string& p) -> const std::string& {
    auto [it, fresh] = spelled.try_emplace(p);
    if (fresh) it->second = !p.empty() && p[0] == '/' ? canonicalPath(p) : lexicallyNormal(p);
    return it->second;
  };
  for (const auto& [unit, u] : map.units) {
    std::map<int, std::string> path;
    for (const auto& [id, p] : u.files) path[id] = one(p);
    // Within a unit a line counts as often as its busiest node; across
    // units (a static inline function of a shared header) counts add up.
    std::map<std::pair<int, int>, uint64_t> unitLines;
    std::map<uint16_t, uint64_t> nodeCount;
    for (const auto& n : u.nodes) {
      uint64_t c = 0;
      const TestSet* tests = nullptr;
      if (const auto it = nodes.find({unit, n.id}); it != nodes.end()) {
        c = it->second.hits;
        tests = &it->second.tests;
      }
      usedNodes.insert({unit, n.id});
      nodeCount[n.id] = c;
      for (int l : n.lines) {
        uint64_t& slot = unitLines[{n.file, l}];
        slot = std::max(slot, c);
        if (tests && !tests->empty()) addTests(&files[path.at(n.file)].lineTests[l], *tests);
      }
    }
    for (const auto& [fl, c] : unitLines) files[path.at(fl.first)].lines[fl.second] += c;

    for (const auto& f : u.functions) {
      FunctionCov& fc = files[path.at(f.file)].functions[{f.line, f.name}];
      fc.name = f.name;
      fc.line = f.line;
      fc.endLine = std::max(f.endLine, f.line);
      if (const auto it = nodeCount.find(f.entryNode); it != nodeCount.end())
        fc.calls += it->second;
    }

    const auto condCounts = [&](uint16_t id, uint64_t* t, uint64_t* f) {
      usedConds.insert({unit, id});
      if (const auto it = conds.find({unit, id}); it != conds.end()) {
        *t += it->second.trueCount;
        *f += it->second.falseCount;
      }
    };
    for (const auto& d : u.decisions) {
      FileBuild& fb = files[path.at(d.file)];
      const DecisionKey key{d.range.line, d.range.column, d.range.endLine, d.range.endColumn};
      auto [it, fresh] = fb.decisions.try_emplace(key);
      DecisionCov& dc = it->second;
      if (fresh) {
        dc.function = d.function;
        dc.kind = d.kind;
        dc.text = d.text;
        dc.range = d.range;
        dc.mcdc = d.mcdc;
        for (const auto& c : d.conditions) {
          ConditionCov cc;
          cc.index = c.index;
          cc.text = c.text;
          cc.range = c.range;
          dc.conditions.push_back(std::move(cc));
        }
      }
      dc.mcdc = dc.mcdc && d.mcdc;
      dc.origins.emplace_back(unit, d.id);
      condCounts(d.condId, &dc.trueCount, &dc.falseCount);
      for (const auto& c : d.conditions)
        if (c.index < dc.width()) {
          ConditionCov& cc = dc.conditions[static_cast<std::size_t>(c.index)];
          condCounts(c.id, &cc.trueCount, &cc.falseCount);
        }
      usedDecisions.insert({unit, d.id});
      if (const auto v = vectors.find({unit, d.id}); v != vectors.end())
        for (const auto& [cv, count] : v->second) fb.vectors[key][cv] += count;
      if (const auto v = run.vectorTests().find({unit, d.id}); v != run.vectorTests().end())
        for (const auto& [cv, tests] : v->second) addTests(&fb.vectorTests[key][cv], tests);
    }
  }

  CoverageModel m;
  m.tests = run.tests();
  std::set<uint16_t> unmapped;
  const auto unknown = [&](const UnitKey& k, const char* what, const std::set<UnitKey>& used) {
    if (!map.units.count(k.first))
      unmapped.insert(k.first);
    else if (!used.count(k))
      m.unknownIds.push_back("unit " + std::to_string(k.first) + " " + what + " " +
                             std::to_string(k.second));
  };
  for (const auto& [k, s] : nodes) unknown(k, "node", usedNodes);
  for (const auto& [k, s] : conds) unknown(k, "condition", usedConds);
  for (const auto& [k, s] : vectors) unknown(k, "decision", usedDecisions);
  m.unmappedUnits.assign(unmapped.begin(), unmapped.end());

  for (auto& [path, fb] : files) {
    FileCov f;
    f.path = path;
    f.lines = std::move(fb.lines);
    f.lineTests = std::move(fb.lineTests);
    for (auto& [key, d] : fb.decisions) {
      finishDecision(d, fb.vectors[key], fb.vectorTests[key]);
      f.decisions.push_back(std::move(d));
    }
    for (auto& [key, fn] : fb.functions) f.functions.push_back(std::move(fn));
    std::sort(f.functions.begin(), f.functions.end(),
              [](const FunctionCov& a, const FunctionCov& b) { return a.line < b.line; });
    countFile(&f);
    m.totals.add(f.totals);
    m.files.push_back(std::move(f));
  }
  return m;
}

}  // namespace qelc
