#include "collection.hpp"

#include <algorithm>
#include <iterator>

namespace qelc {
namespace {

// Keeps memory bounded when a program streams values for a long time; the
// report only shows the first few anyway.
constexpr std::size_t kKeptValues = 10000;
constexpr std::size_t kKeptMalformed = 1000;

// Tests are numbered in the order they begin, so the current one is
// always the largest: appending keeps a set ascending.
void noteTest(TestSet* s, uint32_t test) {
  if (s->empty() || s->back() != test) s->push_back(test);
}

}  // namespace

void addTests(TestSet* to, const TestSet& from) {
  if (from.empty()) return;
  TestSet merged;
  merged.reserve(to->size() + from.size());
  std::set_union(to->begin(), to->end(), from.begin(), from.end(), std::back_inserter(merged));
  to->swap(merged);
}

const char* verdictName(qel_wire::TestVerdict v) {
  switch (v) {
    case qel_wire::TestVerdict::Passed:
      return "passed";
    case qel_wire::TestVerdict::Failed:
      return "failed";
    case qel_wire::TestVerdict::Skipped:
      return "skipped";
    case qel_wire::TestVerdict::Error:
      return "error";
    case qel_wire::TestVerdict::None:
      break;
  }
  return "";
}

void Collection::beginTest(const std::string& name) { tests_.push_back(TestRecord{name, 0}); }

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
    if (!tests_.empty()) noteTest(&s.tests, static_cast<uint32_t>(tests_.size() - 1));
    noteSeq(Channel::Node, n->seq);
  } else if (const auto* c = std::get_if<CondMsg>(&m.body)) {
    CondStat& s = conds_[{c->unit, c->cond}];
    (c->held ? s.trueCount : s.falseCount) += c->count;
    s.group = c->group;
    noteSeq(Channel::Cond, c->seq);
  } else if (const auto* d = std::get_if<McdcMsg>(&m.body)) {
    decisions_[{d->unit, d->decision}][{codesOf(*d), d->outcome}] += d->count;
    if (!tests_.empty())
      noteTest(&vectorTests_[{d->unit, d->decision}][{codesOf(*d), d->outcome}],
               static_cast<uint32_t>(tests_.size() - 1));
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
      TestCaseRecord& t = testCases_.back();
      ++(e->kind == TestCaseEvent::Kind::Started ? t.starts : t.stops);
      // A stop's one digit is its verdict ("0": none, as older runtimes send).
      if (e->kind == TestCaseEvent::Kind::Stopped && e->arg.size() == 1 && e->arg[0] > '0' &&
          e->arg[0] <= static_cast<char>(qel_wire::TestVerdict::Error)) {
        t.verdict = static_cast<qel_wire::TestVerdict>(e->arg[0]);
        if (!tests_.empty() && (t.verdict == qel_wire::TestVerdict::Failed ||
                                t.verdict == qel_wire::TestVerdict::Error))
          ++tests_.back().failedCases;
      }
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

uint16_t Collection::decisionGroup(const UnitKey& k) const {
  const auto it = decisionGroup_.find(k);
  return it == decisionGroup_.end() ? 0 : it->second;
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

}  // namespace qelc
