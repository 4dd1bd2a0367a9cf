// The run state: everything a collection run has seen, added up message by
// message. Live runs, spooled messages and saved runs all go through add(),
// so a report of a saved run is the report of the live one.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "decode.hpp"
#include "mcdc.hpp"
#include "problems.hpp"

namespace qelc {

using UnitKey = std::pair<uint16_t, uint16_t>;  // (unit, node/condition/decision)

// Which tests ran something: indices into Collection::tests(), ascending,
// each once. A list per node and per decision vector, not a copy of the
// counts per test.
using TestSet = std::vector<uint32_t>;
// Adds `from` to `to`, keeping it ascending and without repeats.
void addTests(TestSet* to, const TestSet& from);

// A test as the reports name it, and how many of the test cases it
// reported stopped failed (a failed or error verdict). A test case of a
// process also names that process (its command line).
struct TestRecord {
  explicit TestRecord(std::string n = std::string(), int failed = 0, std::string p = std::string())
      : name(std::move(n)), failedCases(failed), process(std::move(p)) {}
  std::string name;
  int failedCases = 0;
  std::string process;
};

struct NodeStat {
  uint64_t hits = 0;
  std::map<uint16_t, uint64_t> byValue;
  TestSet tests;
};

struct CondStat {
  uint64_t trueCount = 0;
  uint64_t falseCount = 0;
  uint16_t group = 0;
};

struct TestCaseRecord {
  std::string name;
  int starts = 0;
  int stops = 0;
  // The verdict of its last stop that carried one.
  qel_wire::TestVerdict verdict = qel_wire::TestVerdict::None;
};

// "passed", "failed", "skipped", "error", or "" for none.
const char* verdictName(qel_wire::TestVerdict v);

// (condition codes, outcome) -> count
using VectorCounts = std::map<std::pair<Codes, bool>, uint64_t>;
using TimingKey = std::array<int32_t, 3>;  // the three numbers of QelSendMethodTime

// One runtime instance as its announcements tell it (qelmq/protocol/texts.h).
struct ProcessStream {
  int32_t pid = 0;
  uint64_t stream = 0;
  uint32_t protocol = 0;
  std::string program;                              // empty when only the end arrived
  std::string command;                              // its command line, if it sent it
  bool started = false;                             // its start arrived
  bool ended = false;                               // an end arrived (the latest one counts)
  std::array<uint64_t, kChannelCount> delivered{};  // as the end announced
  bool stillRunning = false;                        // alive when the collection ended
};

class Collection {
 public:
  void add(const Message& m);

  std::map<UnitKey, DecisionAnalysis> analyseDecisions() const;
  // Conditions with a pair, and conditions in total, over every decision.
  std::pair<int, int> mcdcTotals() const;

  uint64_t total() const;
  uint64_t count(Channel c) const { return perChannel_[static_cast<std::size_t>(c)]; }
  uint64_t malformedCount() const { return malformedCount_; }
  bool crashed() const { return !crashes_.empty(); }
  // Messages the aggregating senders numbered but that never arrived.
  uint64_t sequenceGaps() const { return seqGaps_; }
  // What the run's messages show was lost, for every report and the exit
  // status (problems.hpp): streams that announced a start and no end,
  // messages short of the totals the ends announced, and, with a single
  // stream, message numbers that never arrived.
  RunProblems problems() const;
  // Every process that announced itself, by (pid, stream).
  const std::map<std::pair<int32_t, uint64_t>, ProcessStream>& processes() const {
    return processes_;
  }
  // Pids of the streams that announced a start and no end yet.
  std::vector<int32_t> unfinishedPids() const;
  // True when the run's own announcements say nothing more is coming: at
  // least one stream announced itself, every stream announced its end, and
  // on every channel exactly the messages those ends announced have
  // arrived. Any message no end accounts for (a stream that never
  // announced itself, an older runtime) or any shortfall makes it false.
  bool everythingAnnouncedArrived() const;
  // The pids of every stream that announced itself.
  std::vector<int32_t> announcedPids() const;
  // The collector saw these processes alive at its end.
  void markStillRunning(int32_t pid);

  const std::map<UnitKey, NodeStat>& nodes() const {
    settle();
    return nodes_;
  }
  // The same nodes with their counts, but their test lists not decided yet
  // (deciding them is a pass over every count): for what needs no tests.
  const std::map<UnitKey, NodeStat>& nodeCounts() const { return nodes_; }
  const std::map<UnitKey, CondStat>& conditions() const { return conds_; }
  const std::map<UnitKey, VectorCounts>& decisionVectors() const { return decisions_; }
  // The map identity each counted unit announced (the last one, if a unit
  // id announced several).
  const std::map<uint16_t, uint64_t>& unitIdentities() const { return unitIdentities_; }
  // Units that announced more than one identity (processes of different
  // builds in one run): their counts cannot be told apart.
  const std::set<uint16_t>& identityConflicts() const { return identityConflicts_; }
  // The programs and libraries whose counted units reported, in the order
  // they were first announced (their maps are inside them).
  const std::vector<std::string>& modules() const { return modules_; }
  // The record group each decision's vectors last came with.
  uint16_t decisionGroup(const UnitKey& k) const;

  const std::vector<TestCaseRecord>& testCases() const { return testCases_; }

  // What follows belongs to the test `name` (a run file): the one place a
  // test is named by the caller.
  //
  // Which test ran what, decided once every message is in (they arrive in
  // any order), from what the messages say:
  //  * a test case of a process (test-case events, and the windows its
  //    runtime announced in each counted channel's sequence numbers): the
  //    counts numbered inside its window; counts outside any window belong
  //    to the process;
  //  * a process (messages with an origin) that announced no usable window:
  //    everything it sent, the test named by its command line, or by the
  //    run file when the file holds that one process only;
  //  * messages without an origin: the run file's test (none before the
  //    first beginTest()).
  // One process alone, with no test case and no run file named, has nothing
  // to tell apart: no test.
  void beginTest(const std::string& name);
  const std::vector<TestRecord>& tests() const {
    settle();
    return tests_;
  }
  // The tests that sent each decision vector.
  const std::map<UnitKey, std::map<std::pair<Codes, bool>, TestSet>>& vectorTests() const {
    settle();
    return vectorTests_;
  }
  // Start and stop events that came before any test case was created (by
  // the same process).
  int strayStarts() const { return strayStarts_; }
  int strayStops() const { return strayStops_; }

  // The first values only (memory stays bounded); valueCount() has them all.
  const std::vector<ValueRecord>& values() const { return values_; }
  uint64_t valueCount() const { return valueCount_; }
  // Distinct timing records in arrival order, each with how often it came.
  const std::vector<std::pair<TimingKey, uint64_t>>& timings() const { return timings_; }

  const std::vector<LeakLine>& lastLeaks() const { return leaks_; }
  bool leakReportSeen() const { return leakReportSeen_; }
  const std::string& lastLeakStamp() const { return leakStamp_; }

  const std::vector<CrashText>& crashes() const { return crashes_; }
  const std::vector<std::pair<DataIndex, CrashLastText>>& crashLastData() const {
    return crashLast_;
  }
  // Property texts that did not follow their index's format, as they came.
  const std::vector<std::string>& otherProperties() const { return otherProperties_; }
  // The latest binary last-data message of each kind (node, condition, MC/DC).
  const std::array<LastDataMsg, 3>& lastData() const { return lastData_; }
  // The first malformed messages with their ports; malformedCount() has them all.
  const std::vector<std::pair<uint16_t, Malformed>>& malformed() const { return malformed_; }

 private:
  // The messages of one process (origin) within one run file (scope).
  struct Group {
    int scope = -1;  // index into scopes_; -1 before any beginTest()
    std::string origin;
    std::vector<uint32_t> started;  // per start event: its test case, or UINT32_MAX
    uint32_t stops = 0;
    std::vector<qel_wire::TestCaseWindow> windows;  // in the order they came
  };
  // A count message waiting for its test: which group sent it, its number
  // in its channel, and what it counted (a node, or an MC/DC vector as an
  // index into vectorKeys_).
  struct Attributed {
    uint32_t group;
    uint32_t seq;
    uint32_t vector;  // UINT32_MAX for a node
    UnitKey node;
  };
  // Who ran a count: the group's process (kProcessOwner) or a test case.
  static constexpr uint32_t kProcessOwner = UINT32_MAX;

  uint32_t groupOf(const Message& m);
  // Decides which test ran what (see beginTest), once per change.
  void settle() const;
  // The test-case window owning each message number of `g`, per channel
  // (node, MC/DC), as (first number, owner) steps; false when its windows
  // cannot be used (events and windows that do not pair up, a boundary not
  // known), and then the process ran all of it.
  bool windowSteps(const Group& g,
                   std::array<std::vector<std::pair<uint32_t, uint32_t>>, 2>* steps) const;
  // The process of `g` as a report names it: its command line, else its
  // program, else its origin.
  std::string commandName(const Group& g) const;

  void addProperty(const PropertyMsg& p);
  void noteSeq(Channel c, uint32_t seq);
  void noteAnnouncement(const PropertyMsg& p);

  std::array<uint64_t, kChannelCount> perChannel_{};
  std::array<uint32_t, 3> lastSeq_{};
  uint64_t seqGaps_ = 0;
  // Sequence numbers seen per numbered channel (node, condition, MC/DC),
  // for the exact count of those missing when one stream is announced;
  // dropped (and the count left to the totals) past kMaxTrackedSeq.
  std::array<std::vector<bool>, 3> seqSeen_;
  std::array<uint64_t, 3> seqDistinct_{};
  std::array<uint32_t, 3> seqMax_{};
  bool seqOverflow_ = false;
  std::map<std::pair<int32_t, uint64_t>, ProcessStream> processes_;

  std::map<UnitKey, CondStat> conds_;
  std::map<UnitKey, VectorCounts> decisions_;
  std::map<uint16_t, uint64_t> unitIdentities_;
  std::set<uint16_t> identityConflicts_;
  std::vector<std::string> modules_;
  std::map<UnitKey, uint16_t> decisionGroup_;

  std::vector<TestCaseRecord> testCases_;
  std::vector<std::string> scopes_;
  std::vector<Group> groups_;
  std::map<std::pair<int, std::string>, uint32_t> groupIndex_;
  std::vector<Attributed> attributed_;
  std::vector<uint32_t> caseGroup_;  // the group of each test case (testCases_)
  // The latest test case each origin created (an index into testCases_):
  // what its start and stop events stand for. By origin alone, so that run
  // files of one program read together pair their events as one collector
  // that saw them all.
  std::map<std::string, uint32_t> lastCreated_;
  // The group of the latest message: runs of one process's messages skip
  // the lookup.
  int cachedScope_ = -2;
  std::string cachedOrigin_;
  uint32_t cachedGroup_ = 0;
  std::vector<std::pair<UnitKey, std::pair<Codes, bool>>> vectorKeys_;  // of mcdc entries
  // Built by settle() from the above: a cache, hence mutable (a Collection
  // is used by one thread at a time).
  mutable bool settled_ = true;
  mutable std::vector<TestRecord> tests_;
  mutable std::map<UnitKey, NodeStat> nodes_;
  mutable std::map<UnitKey, std::map<std::pair<Codes, bool>, TestSet>> vectorTests_;
  int strayStarts_ = 0;
  int strayStops_ = 0;

  std::vector<ValueRecord> values_;
  uint64_t valueCount_ = 0;

  std::vector<std::pair<TimingKey, uint64_t>> timings_;
  std::map<TimingKey, std::size_t> timingIndex_;

  std::vector<LeakLine> leaks_;
  std::string leakStamp_;
  bool leakReportSeen_ = false;
  uint64_t leakReports_ = 0;

  std::vector<CrashText> crashes_;
  std::vector<std::pair<DataIndex, CrashLastText>> crashLast_;
  std::vector<std::string> otherProperties_;
  std::array<LastDataMsg, 3> lastData_{};

  std::vector<std::pair<uint16_t, Malformed>> malformed_;
  uint64_t malformedCount_ = 0;
};

}  // namespace qelc
