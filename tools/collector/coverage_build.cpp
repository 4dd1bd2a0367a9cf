// The coverage model built from the source maps and a run: lines, functions
// and decisions per file, merged across units by file and position.
#include <algorithm>
#include <set>
#include <tuple>
#include <unordered_map>
#include <vector>

#include "coverage.hpp"
#include "scope.hpp"

namespace qelc {
namespace {

using DecisionKey = std::tuple<int, int, int, int>;     // line, column, end line, end column
using FunctionKey = std::pair<int, std::string>;        // line, name
constexpr std::size_t kIdCount = std::size_t{1} << 16;  // node, condition and decision ids

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

// What one map's unit counted, over every run matched to that map.
struct UnitCounts {
  std::map<uint16_t, uint64_t> nodes;
  std::map<uint16_t, std::pair<uint64_t, uint64_t>> conds;  // true, false
  std::map<uint16_t, VectorCounts> vectors;
};

// Maps in a stable order: unit id, then identity (one map per pair).
using MapKey = std::pair<uint16_t, uint64_t>;

MapKey keyOf(const UnitMap& u) { return {u.unit, u.hasIdentity ? u.identity : 0}; }

std::string unitSubject(uint16_t unit, const SourceMap& map) {
  const auto maps = map.all(unit);
  std::string s = "unit " + std::to_string(unit);
  if (maps.empty()) return s;
  const UnitMap& u = *maps.front();
  const std::string& source = !u.source.empty() ? u.source
                              : u.files.empty() ? u.source
                                                : u.files.begin()->second;
  if (!source.empty()) s += " (" + source + ")";
  return s;
}

void addProblem(RunProblems* list, ProblemKind kind, std::string subject, std::string detail) {
  for (const auto& p : *list)
    if (p.kind == kind && p.subject == subject && p.detail == detail) return;
  list->push_back(RunProblem{kind, std::move(subject), std::move(detail)});
}

// The map each unit of `run` counted with, or null (then `problems` says
// why, or the unit has no map at all and goes to `unmapped`).
std::map<uint16_t, const UnitMap*> matchUnits(const SourceMap& map, const Collection& run,
                                              std::set<uint16_t>* unmapped, RunProblems* problems) {
  std::set<uint16_t> units;
  for (const auto& [k, s] : run.nodeCounts()) units.insert(k.first);
  for (const auto& [k, s] : run.conditions()) units.insert(k.first);
  for (const auto& [k, s] : run.decisionVectors()) units.insert(k.first);
  for (const auto& [u, id] : run.unitIdentities()) units.insert(u);
  std::map<uint16_t, const UnitMap*> out;
  for (uint16_t unit : units) {
    const auto maps = map.all(unit);
    const auto announced = run.unitIdentities().find(unit);
    out[unit] = nullptr;
    if (maps.empty()) {
      unmapped->insert(unit);
      addProblem(problems, ProblemKind::UnitWithoutMap, unitSubject(unit, map),
                 "no map of this unit was found: its counts are left out");
      continue;
    }
    if (run.identityConflicts().count(unit)) {
      addProblem(problems, ProblemKind::UnitWithoutMap, unitSubject(unit, map),
                 "processes of different builds announced different map identities for it in "
                 "one run: its counts cannot be told apart and are left out");
      continue;
    }
    if (announced == run.unitIdentities().end()) {
      // No identity: a build with the call-per-event probes, or a run
      // saved before units announced one. The unit id alone decides, and
      // only when it names a single build.
      if (maps.size() == 1) {
        out[unit] = maps.front();
      } else {
        addProblem(problems, ProblemKind::UnitWithoutMap, unitSubject(unit, map),
                   "the run names no map identity and " + std::to_string(maps.size()) +
                       " builds have this unit id: its counts are left out");
      }
      continue;
    }
    if (const UnitMap* u = map.find(unit, announced->second)) {
      out[unit] = u;
      continue;
    }
    std::string known;
    for (const UnitMap* u : maps)
      known += std::string(known.empty() ? "" : ", ") +
               (u->hasIdentity ? hashText(u->identity) : "no identity") + " in " + u->mapFile;
    addProblem(problems, ProblemKind::UnitWithoutMap, unitSubject(unit, map),
               "the run counted with map " + hashText(announced->second) +
                   ", which no map found matches (a rebuilt program or another build; found: " +
                   known + "): its counts are left out");
  }
  return out;
}

}  // namespace

void countFile(FileCov* file) {
  FileCov& f = *file;
  f.totals = Totals{};
  // Each function's decisions, in file order: asking every decision for
  // every function cost more than the rest of the file.
  std::unordered_map<std::string, std::vector<const DecisionCov*>> byFunction;
  for (const auto& d : f.decisions) byFunction[d.function].push_back(&d);
  for (auto& fn : f.functions) {
    fn.totals = Totals{};
    fn.totals.functions = {fn.calls > 0 ? 1u : 0u, 1};
    for (auto it = f.lines.lower_bound(fn.line); it != f.lines.end() && it->first <= fn.endLine;
         ++it) {
      ++fn.totals.lines.total;
      fn.totals.lines.covered += it->second > 0;
    }
    if (const auto it = byFunction.find(fn.name); it != byFunction.end())
      for (const DecisionCov* d : it->second) countDecision(*d, &fn.totals);
  }
  f.totals.functions.total = f.functions.size();
  for (const auto& fn : f.functions) f.totals.functions.covered += fn.calls > 0;
  f.totals.lines.total = f.lines.size();
  for (const auto& [l, c] : f.lines) f.totals.lines.covered += c > 0;
  for (const auto& d : f.decisions) countDecision(d, &f.totals);
}

CoverageModel buildCoverage(const SourceMap& map, const Collection& run,
                            const std::vector<const Collection*>& parts, CoverageDetail detail) {
  const bool full = detail == CoverageDetail::kFull;
  CoverageModel m;
  m.problems = run.problems();
  // Deciding which test ran what is a pass over every count: only for the
  // full model.
  if (full) m.tests = run.tests();
  std::map<std::string, FileBuild> files;
  // One spelling per file: two units that reach a header through different
  // include paths (or a link) add up into one file, not two.
  std::map<std::string, std::string> spelled;
  const auto one = [&](const std::string& p) -> const std::string& {
    auto [it, fresh] = spelled.try_emplace(p);
    if (fresh) it->second = !p.empty() && p[0] == '/' ? canonicalPath(p) : lexicallyNormal(p);
    return it->second;
  };
  std::set<uint16_t> unmapped;
  std::map<MapKey, std::pair<const UnitMap*, UnitCounts>> included;

  // Each run's counts to the maps of the builds they came from.
  const std::vector<const Collection*> runs =
      parts.empty() ? std::vector<const Collection*>{&run} : parts;
  for (const Collection* part : runs) {
    const auto matched = matchUnits(map, *part, &unmapped, &m.problems);
    const auto target = [&](uint16_t unit) -> UnitCounts* {
      const auto it = matched.find(unit);
      if (it == matched.end() || !it->second) return nullptr;
      auto& slot = included[keyOf(*it->second)];
      slot.first = it->second;
      return &slot.second;
    };
    if (full) {
      for (const auto& [k, s] : part->nodeCounts())
        if (UnitCounts* c = target(k.first)) c->nodes[k.second] += s.hits;
      for (const auto& [k, s] : part->conditions())
        if (UnitCounts* c = target(k.first)) {
          c->conds[k.second].first += s.trueCount;
          c->conds[k.second].second += s.falseCount;
        }
      for (const auto& [k, v] : part->decisionVectors())
        if (UnitCounts* c = target(k.first))
          for (const auto& [cv, count] : v) c->vectors[k.second][cv] += count;
    }
    for (const auto& [unit, u] : matched)
      if (u) included[keyOf(*u)].first = u;
  }
  // A unit no run reached still shows what it contains: every build of it
  // given (one, unless maps of several builds were handed over).
  for (const auto& [unit, first] : map.units) {
    const auto maps = map.all(unit);
    bool any = false;
    for (const UnitMap* u : maps) any = any || included.count(keyOf(*u));
    if (!any)
      for (const UnitMap* u : maps) included[keyOf(*u)].first = u;
  }

  for (const auto& [key, entry] : included) {
    const UnitMap& u = *entry.first;
    const UnitCounts& counts = entry.second;
    const uint16_t unit = u.unit;
    if (!u.instrumented) {
      addProblem(&m.problems, ProblemKind::UnitWithoutProbes, unitSubject(unit, map),
                 "built without probes: " + (u.reason.empty() ? "no reason given" : u.reason));
      const std::string& path = one(u.source.empty() ? u.mapFile : u.source);
      files.try_emplace(path);  // listed by every report, with no line counted as run
      m.withoutProbes[path] = u.reason.empty() ? "built without probes" : u.reason;
      continue;
    }
    std::map<int, std::string> path;
    for (const auto& [id, p] : u.files) path[id] = one(p);
    // Each file id's entry found once per unit, and made only where a line,
    // function or decision goes: by path for every line, the lookups were
    // most of the end of a suite's run.
    std::map<int, FileBuild*> fileCache;
    const auto fileOf = [&](int id) -> FileBuild& {
      FileBuild*& slot = fileCache[id];
      if (!slot) slot = &files[path.at(id)];
      return *slot;
    };
    if (!full) {
      // The files the full model would list, and nothing in them.
      for (const auto& n : u.nodes)
        if (!n.lines.empty()) fileOf(n.file);
      for (const auto& f : u.functions) fileOf(f.file);
      for (const auto& d : u.decisions) fileOf(d.file);
      continue;
    }
    // Which tests ran what is kept by the whole run (its tests are the run
    // files, or the test cases), found there by unit and id.
    const auto& runNodes = run.nodes();
    const auto& runVectorTests = run.vectorTests();
    // Within a unit a line counts as often as its busiest node; across
    // units (a static inline function of a shared header) counts add up.
    struct NodeLine {
      int file;
      int line;
      uint64_t count;
    };
    std::vector<NodeLine> unitLines;
    std::vector<std::pair<uint16_t, uint64_t>> nodeCount;  // sorted once filled
    nodeCount.reserve(u.nodes.size());
    // Ids are 16 bits: a bit each says whether the map lists it.
    std::vector<bool> usedNodes(kIdCount), usedConds(kIdCount), usedDecisions(kIdCount);
    for (const auto& n : u.nodes) {
      uint64_t c = 0;
      if (const auto it = counts.nodes.find(n.id); it != counts.nodes.end()) c = it->second;
      const TestSet* tests = nullptr;
      if (const auto it = runNodes.find({unit, n.id}); c > 0 && it != runNodes.end())
        tests = &it->second.tests;
      usedNodes[n.id] = true;
      nodeCount.emplace_back(n.id, c);
      for (int l : n.lines) {
        unitLines.push_back(NodeLine{n.file, l, c});
        if (tests && !tests->empty()) addTests(&fileOf(n.file).lineTests[l], *tests);
      }
    }
    std::sort(unitLines.begin(), unitLines.end(), [](const NodeLine& a, const NodeLine& b) {
      return a.file != b.file ? a.file < b.file : a.line < b.line;
    });
    for (std::size_t i = 0; i < unitLines.size();) {
      const NodeLine& first = unitLines[i];
      uint64_t busiest = 0;
      std::size_t j = i;
      for (; j < unitLines.size() && unitLines[j].file == first.file &&
             unitLines[j].line == first.line;
           ++j)
        busiest = std::max(busiest, unitLines[j].count);
      fileOf(first.file).lines[first.line] += busiest;
      i = j;
    }

    // A node listed twice has one count: the first of its entries will do.
    std::stable_sort(nodeCount.begin(), nodeCount.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    for (const auto& f : u.functions) {
      FunctionCov& fc = fileOf(f.file).functions[{f.line, f.name}];
      fc.name = f.name;
      fc.line = f.line;
      fc.endLine = std::max(f.endLine, f.line);
      const auto it = std::lower_bound(
          nodeCount.begin(), nodeCount.end(), f.entryNode,
          [](const std::pair<uint16_t, uint64_t>& e, uint16_t id) { return e.first < id; });
      if (it != nodeCount.end() && it->first == f.entryNode) fc.calls += it->second;
    }

    const auto condCounts = [&](uint16_t id, uint64_t* t, uint64_t* f) {
      usedConds[id] = true;
      if (const auto it = counts.conds.find(id); it != counts.conds.end()) {
        *t += it->second.first;
        *f += it->second.second;
      }
    };
    for (const auto& d : u.decisions) {
      FileBuild& fb = fileOf(d.file);
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
      usedDecisions[d.id] = true;
      if (const auto v = counts.vectors.find(d.id); v != counts.vectors.end())
        for (const auto& [cv, count] : v->second) fb.vectors[key][cv] += count;
      if (const auto v = runVectorTests.find({unit, d.id}); v != runVectorTests.end())
        for (const auto& [cv, tests] : v->second) addTests(&fb.vectorTests[key][cv], tests);
    }
    // Ids the map does not list: the map is not the one the run counted with.
    const auto unknown = [&](uint16_t id, const char* what, const std::vector<bool>& used) {
      if (!used[id])
        m.unknownIds.push_back("unit " + std::to_string(unit) + " " + what + " " +
                               std::to_string(id));
    };
    for (const auto& [id, c] : counts.nodes) unknown(id, "node", usedNodes);
    for (const auto& [id, c] : counts.conds) unknown(id, "condition", usedConds);
    for (const auto& [id, v] : counts.vectors) unknown(id, "decision", usedDecisions);
  }
  m.unmappedUnits.assign(unmapped.begin(), unmapped.end());

  // Sources edited since they were built: the counts are the old text's.
  std::map<std::string, std::set<std::string>> expected;
  for (const auto& [key, entry] : included)
    for (const auto& [id, hash] : entry.first->fileHashes)
      if (const auto f = entry.first->files.find(id); f != entry.first->files.end())
        expected[one(f->second)].insert(hash);
  std::set<std::string> stale;
  for (const auto& [path, hashes] : expected) {
    uint64_t h = 0;
    if (!files.count(path) || !hashFile(path, &h)) continue;
    for (const auto& want : hashes)
      if (want != hashText(h)) stale.insert(path);
  }
  m.staleSources.assign(stale.begin(), stale.end());

  for (auto& [path, fb] : files) {
    FileCov f;
    f.path = path;
    f.staleSource = stale.count(path) > 0;
    if (const auto w = m.withoutProbes.find(path); w != m.withoutProbes.end())
      f.withoutProbes = w->second;
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
