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

// A list of tests filled in any order, made ascending and without repeats.
void tidy(TestSet* s) {
  std::sort(s->begin(), s->end());
  s->erase(std::unique(s->begin(), s->end()), s->end());
}

bool failed(qel_wire::TestVerdict v) {
  return v == qel_wire::TestVerdict::Failed || v == qel_wire::TestVerdict::Error;
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

void Collection::beginTest(const std::string& name) {
  scopes_.push_back(name);
  settled_ = false;
}

uint32_t Collection::groupOf(const Message& m) {
  const int scope = static_cast<int>(scopes_.size()) - 1;
  if (scope == cachedScope_ && m.origin == cachedOrigin_) return cachedGroup_;
  std::string origin = m.origin;
  // A spool read before its stream was known names the pid alone: it is
  // that pid's stream, when the scope has exactly one.
  int32_t pid = 0;
  uint64_t stream = 0;
  if (origin.find('/') == std::string::npos && qel_wire::parse_origin(origin, &pid, &stream)) {
    const std::string prefix = origin + "/";
    const std::string* only = nullptr;
    int found = 0;
    for (auto it = groupIndex_.lower_bound({scope, prefix});
         it != groupIndex_.end() && it->first.first == scope &&
         it->first.second.compare(0, prefix.size(), prefix) == 0;
         ++it, ++found)
      only = &it->first.second;
    if (found == 1) origin = *only;
  }
  const auto [it, fresh] =
      groupIndex_.try_emplace({scope, origin}, static_cast<uint32_t>(groups_.size()));
  if (fresh) {
    Group g;
    g.scope = scope;
    g.origin = origin;
    groups_.push_back(std::move(g));
  }
  cachedScope_ = scope;
  cachedOrigin_ = m.origin;
  cachedGroup_ = it->second;
  return it->second;
}

std::string Collection::commandName(const Group& g) const {
  int32_t pid = 0;
  uint64_t stream = 0;
  if (qel_wire::parse_origin(g.origin, &pid, &stream)) {
    const auto it = processes_.find({pid, stream});
    if (it != processes_.end() && !it->second.command.empty()) return it->second.command;
    if (it != processes_.end() && !it->second.program.empty()) return it->second.program;
    return "process " + std::to_string(pid);
  }
  return "process " + g.origin;
}

bool Collection::windowSteps(
    const Group& g, std::array<std::vector<std::pair<uint32_t, uint32_t>>, 2>* steps) const {
  uint32_t starts = 0, stops = 0;
  for (const qel_wire::TestCaseWindow& w : g.windows)
    if (w.ordinal != (w.start ? ++starts : ++stops)) return false;
  // Each window stands beside its event: a lost one of either would pair
  // the others wrongly.
  if (g.windows.empty() || starts != g.started.size() || stops != g.stops) return false;
  for (std::size_t c = 0; c < 2; ++c) {
    auto& out = (*steps)[c];
    out.clear();
    uint32_t last = 0;
    for (const qel_wire::TestCaseWindow& w : g.windows) {
      const uint32_t next = w.next[c == 0 ? 0 : 2];
      if (next == 0 || next < last) return false;
      last = next;
      const uint32_t testCase = w.start ? g.started[w.ordinal - 1] : kProcessOwner;
      out.emplace_back(next, testCase);
    }
  }
  return true;
}

void Collection::settle() const {
  if (settled_) return;
  settled_ = true;
  tests_.clear();
  vectorTests_.clear();
  for (auto& [key, s] : nodes_) s.tests.clear();

  const std::size_t n = groups_.size();
  std::vector<std::array<std::vector<std::pair<uint32_t, uint32_t>>, 2>> steps(n);
  std::vector<char> windowed(n), processRan(n);
  for (std::size_t g = 0; g < n; ++g) windowed[g] = windowSteps(groups_[g], &steps[g]);
  // Whose each count is: a test case, or its group's process.
  std::vector<uint32_t> owner(attributed_.size(), kProcessOwner);
  for (std::size_t i = 0; i < attributed_.size(); ++i) {
    const Attributed& a = attributed_[i];
    if (windowed[a.group]) {
      const auto& s = steps[a.group][a.vector == UINT32_MAX ? 0 : 1];
      const auto at = std::upper_bound(s.begin(), s.end(), std::make_pair(a.seq, UINT32_MAX));
      if (at != s.begin()) owner[i] = std::prev(at)->second;
    }
    if (owner[i] == kProcessOwner) processRan[a.group] = 1;
  }

  // Processes per run file: a file of one process is that file's test.
  std::map<int, int> origins;
  bool cases = false;
  for (std::size_t g = 0; g < n; ++g) {
    if (!groups_[g].origin.empty()) ++origins[groups_[g].scope];
    if (windowed[g])
      for (uint32_t c : groups_[g].started) cases = cases || c != kProcessOwner;
  }
  if (scopes_.empty() && !cases && origins[-1] <= 1) return;  // nothing to tell apart

  // Tests numbered in the order their processes first sent: the process
  // (when it ran something itself), then its test cases as they started.
  // Processes of one name in one run file are one test.
  std::vector<uint32_t> processTest(n, UINT32_MAX);
  std::map<uint32_t, uint32_t> caseTest;
  std::map<std::pair<int, std::string>, uint32_t> byName;
  for (std::size_t g = 0; g < n; ++g) {
    const Group& grp = groups_[g];
    std::string name;
    if (grp.scope >= 0 && (grp.origin.empty() || origins[grp.scope] <= 1))
      name = scopes_[static_cast<std::size_t>(grp.scope)];
    else if (!grp.origin.empty())
      name = commandName(grp);
    else
      continue;  // no process, no run file: nobody to name
    if (processRan[g] || !windowed[g]) {
      const auto [it, fresh] =
          byName.try_emplace({grp.scope, name}, static_cast<uint32_t>(tests_.size()));
      if (fresh) tests_.push_back(TestRecord{name, 0, ""});
      processTest[g] = it->second;
    }
    if (windowed[g]) {
      for (uint32_t c : grp.started) {
        if (c == kProcessOwner || caseTest.count(c)) continue;
        caseTest[c] = static_cast<uint32_t>(tests_.size());
        tests_.push_back(
            TestRecord{testCases_[c].name, failed(testCases_[c].verdict) ? 1 : 0, name});
      }
    }
  }
  // A failed test case that is no test of its own fails its process's.
  for (std::size_t c = 0; c < testCases_.size(); ++c)
    if (failed(testCases_[c].verdict) && !caseTest.count(static_cast<uint32_t>(c)) &&
        processTest[caseGroup_[c]] != UINT32_MAX)
      ++tests_[processTest[caseGroup_[c]]].failedCases;

  for (std::size_t i = 0; i < attributed_.size(); ++i) {
    const Attributed& a = attributed_[i];
    uint32_t test = processTest[a.group];
    if (owner[i] != kProcessOwner) {
      const auto it = caseTest.find(owner[i]);
      if (it != caseTest.end()) test = it->second;
    }
    if (test == UINT32_MAX) continue;
    if (a.vector == UINT32_MAX) {
      nodes_[a.node].tests.push_back(test);
    } else {
      const auto& [key, vector] = vectorKeys_[a.vector];
      vectorTests_[key][vector].push_back(test);
    }
  }
  for (auto& [key, s] : nodes_) tidy(&s.tests);
  for (auto& [key, vectors] : vectorTests_)
    for (auto& [vector, tests] : vectors) tidy(&tests);
}

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
    attributed_.push_back({groupOf(m), n->seq, UINT32_MAX, {n->unit, n->node}});
    settled_ = false;
    noteSeq(Channel::Node, n->seq);
  } else if (const auto* c = std::get_if<CondMsg>(&m.body)) {
    CondStat& s = conds_[{c->unit, c->cond}];
    (c->held ? s.trueCount : s.falseCount) += c->count;
    s.group = c->group;
    noteSeq(Channel::Cond, c->seq);
  } else if (const auto* d = std::get_if<McdcMsg>(&m.body)) {
    decisions_[{d->unit, d->decision}][{codesOf(*d), d->outcome}] += d->count;
    attributed_.push_back({groupOf(m), d->seq, static_cast<uint32_t>(vectorKeys_.size()), {}});
    vectorKeys_.push_back({{d->unit, d->decision}, {codesOf(*d), d->outcome}});
    settled_ = false;
    decisionGroup_[{d->unit, d->decision}] = d->group;
    noteSeq(Channel::Mcdc, d->seq);
  } else if (const auto* u = std::get_if<UnitMsg>(&m.body)) {
    if (const auto it = unitIdentities_.find(u->unit);
        it != unitIdentities_.end() && it->second != u->identity)
      identityConflicts_.insert(u->unit);
    unitIdentities_[u->unit] = u->identity;
    noteSeq(Channel::Node, u->seq);
  } else if (const auto* p = std::get_if<PropertyMsg>(&m.body)) {
    if (p->index == DataIndex::TestCaseWindow && p->understood) {
      groups_[groupOf(m)].windows.push_back(p->window);
      settled_ = false;
    }
    addProperty(*p);
  } else if (const auto* e = std::get_if<TestCaseEvent>(&m.body)) {
    // Events of one process follow one another; those of several
    // processes interleave, so each belongs to its own process's latest.
    const uint32_t gi = groupOf(m);
    Group& g = groups_[gi];
    settled_ = false;
    if (e->kind == TestCaseEvent::Kind::Created) {
      lastCreated_[g.origin] = static_cast<uint32_t>(testCases_.size());
      testCases_.push_back(TestCaseRecord{e->arg, 0, 0});
      caseGroup_.push_back(gi);
    } else {
      const auto last = lastCreated_.find(g.origin);
      const uint32_t current = last == lastCreated_.end() ? kProcessOwner : last->second;
      if (e->kind == TestCaseEvent::Kind::Started)
        g.started.push_back(current);
      else
        ++g.stops;
      if (current == kProcessOwner) {
        ++(e->kind == TestCaseEvent::Kind::Started ? strayStarts_ : strayStops_);
      } else {
        TestCaseRecord& t = testCases_[current];
        ++(e->kind == TestCaseEvent::Kind::Started ? t.starts : t.stops);
        // A stop's one digit is its verdict ("0": none, as older runtimes send).
        if (e->kind == TestCaseEvent::Kind::Stopped && e->arg.size() == 1 && e->arg[0] > '0' &&
            e->arg[0] <= static_cast<char>(qel_wire::TestVerdict::Error))
          t.verdict = static_cast<qel_wire::TestVerdict>(e->arg[0]);
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
    case DataIndex::ProcessCommand: {
      ProcessStream& s = processes_[{p.command.pid, p.command.stream}];
      s.pid = p.command.pid;
      s.stream = p.command.stream;
      s.command = p.command.command;
      settled_ = false;
      break;
    }
    case DataIndex::TestCaseWindow:  // by add(), which knows the sender
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

bool Collection::everythingAnnouncedArrived() const {
  if (processes_.empty()) return false;
  std::array<uint64_t, kChannelCount> announced{};
  for (const auto& [key, s] : processes_) {
    if (!s.ended) return false;
    for (std::size_t c = 0; c < kChannelCount; ++c) announced[c] += s.delivered[c];
  }
  return announced == perChannel_;
}

std::vector<int32_t> Collection::announcedPids() const {
  std::vector<int32_t> pids;
  for (const auto& [key, s] : processes_)
    if (std::find(pids.begin(), pids.end(), s.pid) == pids.end()) pids.push_back(s.pid);
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
