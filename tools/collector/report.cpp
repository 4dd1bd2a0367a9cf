#include "report.hpp"

#include "coverage.hpp"
#include "json.hpp"
#include "outputs.hpp"
#include "srcmap.hpp"

#include <algorithm>
#include <cstdio>
#include <ostream>

namespace qelc {
namespace {

// Keeps memory bounded when a program streams values for a long time; the
// report only shows the first few anyway.
constexpr std::size_t kKeptValues = 10000;
constexpr std::size_t kKeptMalformed = 1000;

std::string pct(int num, int den) {
  if (den == 0) return "n/a";
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.1f%%", 100.0 * num / den);
  return buf;
}

std::string padded(const std::string& s, std::size_t w) {
  return s.size() >= w ? s : s + std::string(w - s.size(), ' ');
}

// Vector text over exactly n conditions, so rows of one decision line up.
std::string vectorText(const Codes& codes, int n) {
  std::string s;
  for (int i = 0; i < n; ++i) {
    if (i) s += ' ';
    // Within a reached decision an unset slot is a condition that
    // short-circuit left out, exactly like a skipped one.
    s += evaluated(slotCode(codes, i)) ? "FT"[static_cast<int>(slotCode(codes, i))] : '-';
  }
  return s;
}

}  // namespace

DecisionAnalysis analyseDecision(std::vector<McdcVector> vectors) {
  DecisionAnalysis a;
  std::sort(vectors.begin(), vectors.end(), [](const McdcVector& x, const McdcVector& y) {
    const std::string tx = codesText(x.codes), ty = codesText(y.codes);
    return tx != ty ? tx < ty : x.outcome < y.outcome;
  });
  for (const auto& v : vectors)
    for (int i = 0; i < kMaxWideConditions; ++i)
      if (slotCode(v.codes, i) != CondCode::Unset) a.conditions = std::max(a.conditions, i + 1);
  a.vectors = std::move(vectors);
  a.conds.resize(static_cast<std::size_t>(a.conditions));
  const int nv = static_cast<int>(a.vectors.size());
  for (int c = 0; c < a.conditions; ++c) {
    ConditionResult& r = a.conds[static_cast<std::size_t>(c)];
    for (const auto& v : a.vectors) {
      r.trueSeen = r.trueSeen || slotCode(v.codes, c) == CondCode::True;
      r.falseSeen = r.falseSeen || slotCode(v.codes, c) == CondCode::False;
    }
    for (int x = 0; x < nv && !r.pair; ++x) {
      for (int y = x + 1; y < nv && !r.pair; ++y) {
        const McdcVector& u = a.vectors[static_cast<std::size_t>(x)];
        const McdcVector& v = a.vectors[static_cast<std::size_t>(y)];
        const CondCode uc = slotCode(u.codes, c), vc = slotCode(v.codes, c);
        if (!evaluated(uc) || !evaluated(vc) || uc == vc || u.outcome == v.outcome) continue;
        bool others = true;
        for (int j = 0; j < a.conditions && others; ++j) {
          if (j == c) continue;
          const CondCode uj = slotCode(u.codes, j), vj = slotCode(v.codes, j);
          others = !(evaluated(uj) && evaluated(vj) && uj != vj);
        }
        if (others) {
          r.pair = true;
          r.first = x;
          r.second = y;
        }
      }
    }
    if (r.pair) ++a.pairs;
  }
  return a;
}

void Collection::noteSeq(Channel c, uint32_t seq) {
  // Each aggregating sender numbers its messages 1, 2, 3, ... including
  // sends that failed; a jump means messages that never arrived. A restart
  // at 1 is a new runtime instance, not a loss.
  uint32_t& last = lastSeq_[static_cast<std::size_t>(c)];
  if (last != 0 && seq != 1 && seq > last + 1) seqGaps_ += seq - last - 1;
  last = seq;
}

void Collection::add(const Message& m) {
  ++perChannel_[static_cast<std::size_t>(m.channel)];
  if (const auto* n = std::get_if<NodeMsg>(&m.body)) {
    NodeStat& s = nodes_[{n->unit, n->node}];
    s.hits += n->count;
    s.byValue[n->value] += n->count;
    noteSeq(Channel::Node, n->seq);
  } else if (const auto* c = std::get_if<CondMsg>(&m.body)) {
    CondStat& s = conds_[{c->unit, c->cond}];
    (c->held ? s.trueCount : s.falseCount) += c->count;
    s.group = c->group;
    noteSeq(Channel::Cond, c->seq);
  } else if (const auto* d = std::get_if<McdcMsg>(&m.body)) {
    decisions_[{d->unit, d->decision}][{codesOf(*d), d->outcome}] += d->count;
    decisionGroup_[{d->unit, d->decision}] = d->group;
    noteSeq(Channel::Mcdc, d->seq);
  } else if (const auto* u = std::get_if<UnitMsg>(&m.body)) {
    unitIdentities_[u->unit] = u->identity;
    noteSeq(Channel::Node, u->seq);
  } else if (const auto* p = std::get_if<PropertyMsg>(&m.body)) {
    addProperty(*p);
  } else if (const auto* e = std::get_if<TestCaseEvent>(&m.body)) {
    if (e->kind == TestCaseEvent::Kind::Created) {
      testCases_.push_back(TestCaseRecord{e->arg, 0, 0});
    } else if (testCases_.empty()) {
      ++(e->kind == TestCaseEvent::Kind::Started ? strayStarts_ : strayStops_);
    } else {
      ++(e->kind == TestCaseEvent::Kind::Started ? testCases_.back().starts
                                                 : testCases_.back().stops);
    }
  } else if (const auto* v = std::get_if<ValueRecord>(&m.body)) {
    ++valueCount_;
    if (values_.size() < kKeptValues) values_.push_back(*v);
  } else if (const auto* l = std::get_if<LastDataMsg>(&m.body)) {
    if (l->kind >= 1 && l->kind <= 3) lastData_[l->kind - 1u] = *l;
  } else if (const auto* t = std::get_if<TimingMsg>(&m.body)) {
    const std::array<int32_t, 3> k{t->a, t->b, t->c};
    auto it = timingIndex_.find(k);
    if (it == timingIndex_.end()) {
      timingIndex_.emplace(k, timings_.size());
      timings_.emplace_back(k, 1);
    } else {
      ++timings_[it->second].second;
    }
  } else if (const auto* bad = std::get_if<Malformed>(&m.body)) {
    ++malformedCount_;
    if (malformed_.size() < kKeptMalformed) malformed_.emplace_back(m.port, *bad);
  }
}

void Collection::addProperty(const PropertyMsg& p) {
  if (!p.understood) {
    if (otherProperties_.size() < kKeptMalformed)
      otherProperties_.push_back(std::string(dataIndexName(p.index)) + ":///" + p.text);
    return;
  }
  switch (p.index) {
    case DataIndex::MemoryLeak:
      // A header line opens a new report; the lines up to the next header
      // are the blocks live at that moment.
      if (p.leak.kind == LeakLine::Kind::Header) {
        leakReportSeen_ = true;
        ++leakReports_;
        leakStamp_ = p.leak.stamp;
        leaks_.clear();
      } else if (p.leak.kind == LeakLine::Kind::Block) {
        leakReportSeen_ = true;
        leaks_.push_back(p.leak);
      }
      break;
    case DataIndex::Crash:
      crashes_.push_back(p.crash);
      break;
    case DataIndex::CrashLastDD:
    case DataIndex::CrashLastCond:
    case DataIndex::CrashLastMCDC:
      crashLast_.emplace_back(p.index, p.last);
      break;
    case DataIndex::None:
      break;
  }
}

uint64_t Collection::total() const {
  uint64_t t = 0;
  for (auto c : perChannel_) t += c;
  return t;
}

std::map<UnitKey, DecisionAnalysis> Collection::analyseDecisions() const {
  std::map<UnitKey, DecisionAnalysis> out;
  for (const auto& [key, vecs] : decisions_) {
    std::vector<McdcVector> v;
    for (const auto& [cv, count] : vecs) v.push_back(McdcVector{cv.first, cv.second, count});
    out.emplace(key, analyseDecision(std::move(v)));
  }
  return out;
}

std::pair<int, int> Collection::mcdcTotals() const {
  int got = 0, all = 0;
  for (const auto& [key, a] : analyseDecisions()) {
    got += a.pairs;
    all += a.conditions;
  }
  return {got, all};
}

namespace {

// A unit the map knows is reported by source file instead of by ids.
bool rawUnit(const ReportOptions& opt, uint16_t unit) {
  return !opt.map || !opt.map->units.count(unit);
}

}  // namespace

void Collection::writeHeader(std::ostream& os) const {
  os << "==================== qelcollect report ====================\n";
  os << "Messages: " << total() << " (";
  for (std::size_t i = 0; i < kChannelCount; ++i)
    os << (i ? ", " : "") << kChannels[i].name << ' ' << perChannel_[i];
  os << "), malformed " << malformedCount_;
  if (seqGaps_) os << ", missing by sequence number " << seqGaps_;
  os << "\n";
}

void Collection::writeTestCases(std::ostream& os) const {
  os << "\n-- Test cases: " << testCases_.size() << " created\n";
  for (std::size_t i = 0; i < testCases_.size(); ++i) {
    const auto& t = testCases_[i];
    os << "  " << (i + 1) << ". \"" << t.name << "\"  started " << t.starts << ", stopped "
       << t.stops << "\n";
  }
  if (strayStarts_ || strayStops_)
    os << "  (before any creation: started " << strayStarts_ << ", stopped " << strayStops_
       << ")\n";
}

void Collection::writeNodes(std::ostream& os, const ReportOptions& opt) const {
  bool any = false;
  for (auto it = nodes_.begin(); it != nodes_.end();) {
    const uint16_t unit = it->first.first;
    if (!rawUnit(opt, unit)) {
      while (it != nodes_.end() && it->first.first == unit) ++it;
      continue;
    }
    if (!any) os << (opt.map ? "\n-- Nodes of units without a map\n" : "\n-- Nodes\n");
    any = true;
    uint64_t hits = 0;
    std::size_t n = 0;
    for (auto j = it; j != nodes_.end() && j->first.first == unit; ++j, ++n) hits += j->second.hits;
    os << "  unit " << unit << ": " << n << " nodes hit, " << hits << " hits\n";
    for (; it != nodes_.end() && it->first.first == unit; ++it) {
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

void Collection::writeConditions(std::ostream& os, const ReportOptions& opt) const {
  int both = 0, shown = 0;
  for (const auto& [key, s] : conds_) {
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

void Collection::writeDecisions(std::ostream& os, const ReportOptions& opt) const {
  const auto decisions = analyseDecisions();
  int gotAll = 0, condAll = 0, shown = 0;
  for (const auto& [key, a] : decisions) {
    if (!rawUnit(opt, key.first)) continue;
    if (!shown++)
      os << (opt.map ? "\n-- Decisions of units without a map" : "\n-- Decisions")
         << " (MC/DC; vector T true, F false, - not evaluated: short-circuited)\n";
    gotAll += a.pairs;
    condAll += a.conditions;
    os << "  unit " << key.first << " decision " << key.second << " (group "
       << decisionGroup_.at(key) << "): " << a.conditions
       << (a.conditions == 1 ? " condition [single condition], " : " conditions, ")
       << a.vectors.size() << (a.vectors.size() == 1 ? " vector" : " vectors") << ", MC/DC "
       << a.pairs << "/" << a.conditions << " (" << pct(a.pairs, a.conditions) << ")\n";
    for (std::size_t v = 0; v < a.vectors.size(); ++v) {
      os << "    #" << padded(std::to_string(v + 1), 3)
         << vectorText(a.vectors[v].codes, a.conditions) << "  -> "
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

void Collection::writeValues(std::ostream& os, const ReportOptions& opt) const {
  os << "\n-- Values: " << valueCount_ << " records\n";
  for (std::size_t i = 0; i < values_.size() && i < opt.maxValues; ++i) {
    const auto& v = values_[i];
    os << "  " << (v.header.empty() ? "(no header)" : v.header) << ":";
    for (const auto& it : v.items) os << ' ' << it.name << "=" << it.value << " (" << it.tag << ")";
    os << "\n";
  }
  if (valueCount_ > opt.maxValues) os << "  ... " << (valueCount_ - opt.maxValues) << " more\n";
}

void Collection::writeTimings(std::ostream& os, const ReportOptions& opt) const {
  os << "\n-- Timings: " << perChannel_[static_cast<std::size_t>(Channel::Timing)] << " records\n";
  if (timings_.empty()) return;
  // The three numbers of QelSendMethodTime(unit, id, elapsed): the id is
  // the instrumentation's (a method or a test case), the time microseconds.
  os << "  " << padded("unit", 8) << padded("id", 10) << padded("elapsed (us)", 16) << "records\n";
  for (std::size_t i = 0; i < timings_.size() && i < opt.maxTimings; ++i) {
    const auto& [k, n] = timings_[i];
    os << "  " << padded(std::to_string(k[0]), 8) << padded(std::to_string(k[1]), 10)
       << padded(std::to_string(k[2]), 16) << n << "\n";
  }
  if (timings_.size() > opt.maxTimings)
    os << "  ... " << (timings_.size() - opt.maxTimings) << " more distinct\n";
}

void Collection::writeMemory(std::ostream& os) const {
  os << "\n-- Memory: ";
  if (!leakReportSeen_) {
    os << "no leak report received\n";
    return;
  }
  os << leaks_.size() << " block(s) live in the last leak report";
  if (!leakStamp_.empty()) os << " (" << leakStamp_ << ")";
  os << "\n";
  for (const auto& l : leaks_)
    os << "  " << l.size << " bytes  " << l.file << ':' << l.line << " in " << l.function
       << "  pid " << l.pid << "\n";
}

void Collection::writeLastData(std::ostream& os) const {
  os << "\n-- Last data (latest records, binary):";
  bool anyLast = false;
  static const char* kKinds[3] = {"node", "condition", "mcdc"};
  for (std::size_t k = 0; k < 3; ++k) {
    if (lastData_[k].entries.empty()) continue;
    anyLast = true;
    const auto& e = lastData_[k].entries;
    os << "\n  " << kKinds[k] << ": " << e.size() << " entries, numbers " << e.front().number
       << ".." << e.back().number << ", last unit " << e.back().unit << " id " << e.back().id;
  }
  os << (anyLast ? "\n" : " none\n");
}

void Collection::writeCrashes(std::ostream& os) const {
  os << "\n-- Crash reports: " << crashes_.size() << "\n";
  for (const auto& c : crashes_)
    os << "  name \"" << c.name << "\" type \"" << c.type << "\" cause \"" << c.cause << "\"\n";
  for (const auto& [idx, last] : crashLast_) {
    os << "  " << dataIndexName(idx) << " of \"" << last.name << "\": " << last.entries.size()
       << " entries";
    if (!last.entries.empty()) {
      const auto& e = last.entries.back();
      os << ", last " << e.unit << ' ' << e.second;
      if (idx == DataIndex::CrashLastMCDC) os << " [" << e.conds << "]";
    }
    os << "\n";
  }
  for (const auto& t : otherProperties_) os << "  property text not understood: " << t << "\n";
}

void Collection::writeMalformed(std::ostream& os, const ReportOptions& opt) const {
  if (!malformedCount_) return;
  os << "\n-- Malformed messages: " << malformedCount_ << "\n";
  for (std::size_t i = 0; i < malformed_.size() && i < opt.maxMalformed; ++i) {
    const auto& [port, m] = malformed_[i];
    os << "  port " << port << ": " << malformedText(m) << "\n";
  }
}

void Collection::writeReport(std::ostream& os, const ReportOptions& opt) const {
  writeHeader(os);
  if (opt.coverage) {
    writeCoverageSummary(os, *opt.coverage, opt.verbose);
    if (opt.annotate) writeAnnotated(os, *opt.coverage);
  }
  writeTestCases(os);
  writeNodes(os, opt);
  writeConditions(os, opt);
  writeDecisions(os, opt);
  writeValues(os, opt);
  writeTimings(os, opt);
  writeMemory(os);
  if (opt.verbose) writeLastData(os);
  writeCrashes(os);
  writeMalformed(os, opt);
  os << "===========================================================\n";
}

}  // namespace qelc
