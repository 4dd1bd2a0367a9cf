#include "collection.hpp"

#include <algorithm>
#include <iterator>

namespace qelc {
namespace {

// Keeps memory bounded when a program streams values for a long time; the
// report only shows the first few anyway.
constexpr std::size_t kKeptValues = 10000;
constexpr std::size_t kKeptMalformed = 1000;
// 64 Mi numbers per channel, 8 MB each at most.
constexpr uint32_t kMaxTrackedSeq = 1u << 26;

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
  const std::size_t i = static_cast<std::size_t>(c);
  uint32_t& last = lastSeq_[i];
  if (last != 0 && seq != 1 && seq > last + 1) seqGaps_ += seq - last - 1;
  last = seq;
  if (seqOverflow_ || seq == 0) return;
  if (seq > kMaxTrackedSeq) {
    seqOverflow_ = true;
    for (auto& s : seqSeen_) s = std::vector<bool>();
    return;
  }
  std::vector<bool>& seen = seqSeen_[i];
  if (seen.size() <= seq) seen.resize(std::max<std::size_t>(seq + 1, seen.size() * 2));
  if (!seen[seq]) {
    seen[seq] = true;
    ++seqDistinct_[i];
  }
  seqMax_[i] = std::max(seqMax_[i], seq);
}

void Collection::noteAnnouncement(const PropertyMsg& p) {
  const bool start = p.index == DataIndex::ProcessStart;
  const int32_t pid = start ? p.start.pid : p.end.pid;
  const uint64_t stream = start ? p.start.stream : p.end.stream;
  ProcessStream& s = processes_[{pid, stream}];
  s.pid = pid;
  s.stream = stream;
  if (start) {
    s.started = true;
    s.protocol = p.start.protocol;
    s.program = p.start.program;
    return;
  }
  // A leave operation, then the exit: the later end announces more.
  uint64_t before = 0, now = 0;
  for (std::size_t c = 0; c < kChannelCount; ++c) {
    before += s.delivered[c];
    now += p.end.delivered[c];
  }
  if (!s.ended || now >= before) s.delivered = p.end.delivered;
  s.ended = true;
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
    if (const auto it = unitIdentities_.find(u->unit);
        it != unitIdentities_.end() && it->second != u->identity)
      identityConflicts_.insert(u->unit);
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
    case DataIndex::ProcessStart:
    case DataIndex::ProcessEnd:
      noteAnnouncement(p);
      break;
    case DataIndex::LoadedModule:
      if (std::find(modules_.begin(), modules_.end(), p.text) == modules_.end())
        modules_.push_back(p.text);
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

std::vector<int32_t> Collection::unfinishedPids() const {
  std::vector<int32_t> pids;
  for (const auto& [key, s] : processes_)
    if (!s.ended) pids.push_back(s.pid);
  return pids;
}

void Collection::markStillRunning(int32_t pid) {
  for (auto& [key, s] : processes_)
    if (s.pid == pid && !s.ended) s.stillRunning = true;
}

namespace {

std::string processName(const ProcessStream& s) {
  return "process " + std::to_string(s.pid) + " (" +
         (s.program.empty() ? std::string("start not received") : s.program) + ")";
}

}  // namespace

RunProblems Collection::problems() const {
  RunProblems list;
  std::array<uint64_t, kChannelCount> announced{};
  const ProcessStream* onlyEnded = nullptr;
  std::size_t ended = 0;
  for (const auto& [key, s] : processes_) {
    if (!s.ended) {
      list.push_back({ProblemKind::UnfinishedStream, processName(s),
                      s.stillRunning ? "still running when the collection ended"
                                     : "its end never arrived (killed, or ended without a "
                                       "shutdown, crash flush or leave operation)"});
      continue;
    }
    ++ended;
    onlyEnded = &s;
    for (std::size_t c = 0; c < kChannelCount; ++c) announced[c] += s.delivered[c];
  }
  // Messages of processes that did not announce themselves (an older
  // runtime) only add to what arrived: they never make a loss appear.
  std::string shortBy;
  for (std::size_t c = 0; c < kChannelCount; ++c) {
    if (perChannel_[c] >= announced[c]) continue;
    if (!shortBy.empty()) shortBy += ", ";
    shortBy += std::string(kChannels[c].name) + " " + std::to_string(perChannel_[c]) + " of " +
               std::to_string(announced[c]);
  }
  if (!shortBy.empty())
    list.push_back(
        {ProblemKind::MissingMessages,
         ended == 1 ? processName(*onlyEnded) : std::to_string(ended) + " processes that ended",
         "fewer messages arrived than were announced as delivered: " + shortBy});
  // Numbers tell a loss apart only within one stream.
  if (processes_.size() == 1 && !seqOverflow_) {
    std::string gaps;
    static const char* kNumbered[3] = {"node", "condition", "mcdc"};
    for (std::size_t i = 0; i < 3; ++i) {
      const uint64_t missing = seqMax_[i] - seqDistinct_[i];
      if (missing == 0) continue;
      if (!gaps.empty()) gaps += ", ";
      gaps += std::string(kNumbered[i]) + " " + std::to_string(missing);
    }
    if (!gaps.empty())
      list.push_back({ProblemKind::MissingMessages, processName(processes_.begin()->second),
                      "messages missing by sequence number: " + gaps});
  }
  return list;
}

}  // namespace qelc
