// The run state: everything a collection run has seen, added up message by
// message. Live runs, spooled messages and saved runs all go through add(),
// so a report of a saved run is the report of the live one.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "decode.hpp"
#include "mcdc.hpp"

namespace qelc {

using UnitKey = std::pair<uint16_t, uint16_t>;  // (unit, node/condition/decision)

// Which tests ran something: indices into Collection::tests(), ascending,
// each once. A list per node and per decision vector, not a copy of the
// counts per test.
using TestSet = std::vector<uint32_t>;
// Adds `from` to `to`, keeping it ascending and without repeats.
void addTests(TestSet* to, const TestSet& from);

// A test as the reports name it, and how many of the test cases it
// reported stopped failed (a failed or error verdict).
struct TestRecord {
  std::string name;
  int failedCases = 0;
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

  const std::map<UnitKey, NodeStat>& nodes() const { return nodes_; }
  const std::map<UnitKey, CondStat>& conditions() const { return conds_; }
  const std::map<UnitKey, VectorCounts>& decisionVectors() const { return decisions_; }
  // The map identity each counted unit announced (the last one, if a unit
  // id announced several).
  const std::map<uint16_t, uint64_t>& unitIdentities() const { return unitIdentities_; }
  // The record group each decision's vectors last came with.
  uint16_t decisionGroup(const UnitKey& k) const;

  const std::vector<TestCaseRecord>& testCases() const { return testCases_; }

  // What follows belongs to the test `name` (a run file, a process): the
  // one place a test is named, so that a process's own announcement can
  // name it later. Before the first call nothing is attributed.
  void beginTest(const std::string& name);
  const std::vector<TestRecord>& tests() const { return tests_; }
  // The tests that sent each decision vector.
  const std::map<UnitKey, std::map<std::pair<Codes, bool>, TestSet>>& vectorTests() const {
    return vectorTests_;
  }
  // Start and stop events that came before any test case was created.
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
  void addProperty(const PropertyMsg& p);
  void noteSeq(Channel c, uint32_t seq);

  std::array<uint64_t, kChannelCount> perChannel_{};
  std::array<uint32_t, 3> lastSeq_{};
  uint64_t seqGaps_ = 0;

  std::map<UnitKey, NodeStat> nodes_;
  std::map<UnitKey, CondStat> conds_;
  std::map<UnitKey, VectorCounts> decisions_;
  std::map<uint16_t, uint64_t> unitIdentities_;
  std::map<UnitKey, uint16_t> decisionGroup_;

  std::vector<TestCaseRecord> testCases_;
  std::vector<TestRecord> tests_;
  std::map<UnitKey, std::map<std::pair<Codes, bool>, TestSet>> vectorTests_;
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
