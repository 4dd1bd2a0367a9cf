// What a collection run has seen, and the coverage report made from it.
#pragma once

#include <array>
#include <cstdint>
#include <iosfwd>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "decode.hpp"

namespace qelc {

// One distinct MC/DC vector of a decision: condition codes plus outcome.
struct McdcVector {
  Codes codes;
  bool outcome = false;
  uint64_t count = 0;
};

struct ConditionResult {
  bool trueSeen = false;
  bool falseSeen = false;
  bool pair = false;  // an independence pair was observed
  int first = -1;     // indices into DecisionAnalysis::vectors
  int second = -1;
};

struct DecisionAnalysis {
  int conditions = 0;  // slots up to the last one ever evaluated or skipped
  std::vector<McdcVector> vectors;
  std::vector<ConditionResult> conds;
  int pairs = 0;
};

// Condition i is shown independent by two vectors that both evaluated i
// with different values, have different outcomes, and agree on every other
// condition that both of them evaluated.
DecisionAnalysis analyseDecision(std::vector<McdcVector> vectors);

using UnitKey = std::pair<uint16_t, uint16_t>;  // (unit, node/condition/decision)

struct NodeStat {
  uint64_t hits = 0;
  std::map<uint16_t, uint64_t> byValue;
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
};

struct SourceMap;
struct CoverageModel;

struct ReportOptions {
  std::size_t maxValues = 20;
  std::size_t maxTimings = 20;
  std::size_t maxMalformed = 20;
  // With a coverage model the report shows coverage by source file; the
  // raw node, condition and decision lists remain only for units the map
  // does not know.
  const SourceMap* map = nullptr;
  const CoverageModel* coverage = nullptr;
  bool annotate = false;
  // Internal detail: every decision, and the latest-records messages.
  bool verbose = false;
};

class Collection {
 public:
  void add(const Message& m);

  void writeReport(std::ostream& os, const ReportOptions& opt = {}) const;

  std::map<UnitKey, DecisionAnalysis> analyseDecisions() const;
  // Conditions with a pair, and conditions in total, over every decision.
  std::pair<int, int> mcdcTotals() const;

  const std::map<UnitKey, std::map<std::pair<Codes, bool>, uint64_t>>& decisionVectors() const {
    return decisions_;
  }
  // The map identity each counted unit announced (the last one, if a unit
  // id announced several).
  const std::map<uint16_t, uint64_t>& unitIdentities() const { return unitIdentities_; }

  uint64_t total() const;
  uint64_t count(Channel c) const { return perChannel_[static_cast<std::size_t>(c)]; }
  uint64_t malformedCount() const { return malformedCount_; }
  bool crashed() const { return !crashes_.empty(); }

  const std::map<UnitKey, NodeStat>& nodes() const { return nodes_; }
  const std::map<UnitKey, CondStat>& conditions() const { return conds_; }
  const std::vector<TestCaseRecord>& testCases() const { return testCases_; }
  const std::vector<LeakLine>& lastLeaks() const { return leaks_; }
  bool leakReportSeen() const { return leakReportSeen_; }
  const std::vector<CrashText>& crashes() const { return crashes_; }
  const std::vector<ValueRecord>& values() const { return values_; }
  uint64_t valueCount() const { return valueCount_; }
  uint64_t sequenceGaps() const { return seqGaps_; }

 private:
  void addProperty(const PropertyMsg& p);

  // One function per report section, in report order.
  void writeHeader(std::ostream& os) const;
  void writeTestCases(std::ostream& os) const;
  void writeNodes(std::ostream& os, const ReportOptions& opt) const;
  void writeConditions(std::ostream& os, const ReportOptions& opt) const;
  void writeDecisions(std::ostream& os, const ReportOptions& opt) const;
  void writeValues(std::ostream& os, const ReportOptions& opt) const;
  void writeTimings(std::ostream& os, const ReportOptions& opt) const;
  void writeMemory(std::ostream& os) const;
  void writeLastData(std::ostream& os) const;
  void writeCrashes(std::ostream& os) const;
  void writeMalformed(std::ostream& os, const ReportOptions& opt) const;
  void noteSeq(Channel c, uint32_t seq);

  std::array<uint64_t, kChannelCount> perChannel_{};
  std::array<uint32_t, 3> lastSeq_{};
  uint64_t seqGaps_ = 0;

  std::map<UnitKey, NodeStat> nodes_;
  std::map<UnitKey, CondStat> conds_;
  std::map<UnitKey, std::map<std::pair<Codes, bool>, uint64_t>> decisions_;
  std::map<UnitKey, uint16_t> decisionGroup_;
  std::map<uint16_t, uint64_t> unitIdentities_;

  std::vector<TestCaseRecord> testCases_;
  int strayStarts_ = 0;
  int strayStops_ = 0;

  std::vector<ValueRecord> values_;
  uint64_t valueCount_ = 0;

  std::vector<std::pair<std::array<int32_t, 3>, uint64_t>> timings_;
  std::map<std::array<int32_t, 3>, std::size_t> timingIndex_;

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
