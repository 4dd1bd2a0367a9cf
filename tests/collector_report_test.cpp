// MC/DC independence pairs and the aggregation behind the report.
#include <gtest/gtest.h>

#include <sstream>

#include "collection.hpp"
#include "text_report.hpp"

using namespace qelc;

namespace {

McdcVector vec(const std::string& v, bool outcome, uint64_t count = 1) {
  return McdcVector{codesFromText(v), outcome, count};
}

std::vector<bool> pairs(const DecisionAnalysis& a) {
  std::vector<bool> p;
  for (const auto& c : a.conds) p.push_back(c.pair);
  return p;
}

Message msg(Channel c, Body b) { return Message{c, channelInfo(c).port, std::move(b)}; }

Message leak(LeakLine::Kind kind, uint32_t size = 0, std::string stamp = {}) {
  PropertyMsg p;
  p.index = DataIndex::MemoryLeak;
  p.leak.kind = kind;
  p.leak.size = size;
  p.leak.stamp = std::move(stamp);
  p.leak.file = "m.c";
  p.leak.function = "f";
  p.leak.line = 9;
  return msg(Channel::Property, p);
}

}  // namespace

TEST(CollectorMcdc, ShortCircuitAndOr) {
  // a && (b || c): unevaluated conditions never break a pair.
  const auto full =
      analyseDecision({vec("TT", true), vec("TFT", true), vec("TFF", false), vec("F", false)});
  EXPECT_EQ(full.conditions, 3);
  EXPECT_EQ(pairs(full), (std::vector<bool>{true, true, true}));
  EXPECT_EQ(full.pairs, 3);
  for (const auto& c : full.conds) {
    const auto& u = full.vectors[static_cast<std::size_t>(c.first)];
    const auto& v = full.vectors[static_cast<std::size_t>(c.second)];
    EXPECT_NE(u.outcome, v.outcome);
  }

  const auto partial = analyseDecision({vec("TT", true), vec("TFT", true), vec("F", false)});
  EXPECT_EQ(partial.conditions, 3);
  EXPECT_EQ(pairs(partial), (std::vector<bool>{true, false, false}));
  EXPECT_TRUE(partial.conds[2].trueSeen);
  EXPECT_FALSE(partial.conds[2].falseSeen);
}

TEST(CollectorMcdc, PairsNeedASingleChangedConditionAndOutcome) {
  // Both conditions flip together: neither is shown independent.
  EXPECT_EQ(pairs(analyseDecision({vec("TT", true), vec("FF", false)})),
            (std::vector<bool>{false, false}));
  // Same outcome: no pair even though exactly one condition changes.
  EXPECT_EQ(pairs(analyseDecision({vec("TT", true), vec("TF", true)})),
            (std::vector<bool>{false, false}));
  EXPECT_EQ(pairs(analyseDecision({vec("TT", true), vec("FF", false), vec("TF", false)})),
            (std::vector<bool>{false, true}));
  // A skipped slot is not evaluated, so it does not separate two vectors.
  EXPECT_EQ(pairs(analyseDecision({vec("T-T", true), vec("TFF", false)})),
            (std::vector<bool>{false, false, true}));
  // Vectors that differ only in outcome pair nothing.
  EXPECT_EQ(analyseDecision({vec("T", true), vec("T", false)}).pairs, 0);
  // An unset-only vector (a fresh string) has no conditions.
  EXPECT_EQ(analyseDecision({McdcVector{0xFFFFFFFF, true, 1}}).conditions, 0);
}

TEST(CollectorCollection, AggregatesWindowsAndReports) {
  Collection c;
  c.add(msg(Channel::Node, NodeMsg{1, 10, 0, 3, 1}));
  c.add(msg(Channel::Node, NodeMsg{1, 10, 0, 2, 2}));
  c.add(msg(Channel::Node, NodeMsg{1, 11, 0, 1, 5}));  // seq 3 and 4 never arrived
  c.add(msg(Channel::Node, NodeMsg{2, 10, 0, 1, 1}));  // new runtime instance: not a gap
  EXPECT_EQ(c.nodes().at({1, 10}).hits, 5u);
  EXPECT_EQ(c.nodes().size(), 3u);
  EXPECT_EQ(c.sequenceGaps(), 2u);

  c.add(msg(Channel::Cond, CondMsg{1, 1, true, 7, 4, 1}));
  c.add(msg(Channel::Cond, CondMsg{1, 1, false, 7, 1, 2}));
  c.add(msg(Channel::Cond, CondMsg{1, 2, true, 7, 1, 3}));
  EXPECT_EQ(c.conditions().at({1, 1}).trueCount, 4u);
  EXPECT_EQ(c.conditions().at({1, 1}).falseCount, 1u);

  // The same vector in two windows is one vector with the summed count.
  c.add(msg(Channel::Mcdc, McdcMsg{1, 3, true, codesFromText("TT"), 7, 2, 1}));
  c.add(msg(Channel::Mcdc, McdcMsg{1, 3, true, codesFromText("TT"), 7, 5, 2}));
  c.add(msg(Channel::Mcdc, McdcMsg{1, 3, false, codesFromText("F"), 7, 1, 3}));
  const auto d = c.analyseDecisions();
  ASSERT_EQ(d.size(), 1u);
  EXPECT_EQ(d.at({1, 3}).vectors.size(), 2u);
  EXPECT_EQ(c.mcdcTotals(), (std::pair<int, int>{1, 2}));

  c.add(msg(Channel::TestCase, TestCaseEvent{TestCaseEvent::Kind::Created, "t1"}));
  c.add(msg(Channel::TestCase, TestCaseEvent{TestCaseEvent::Kind::Started, "0"}));
  c.add(msg(Channel::TestCase, TestCaseEvent{TestCaseEvent::Kind::Stopped, "0"}));
  c.add(msg(Channel::TestCase, TestCaseEvent{TestCaseEvent::Kind::Created, "t2"}));
  ASSERT_EQ(c.testCases().size(), 2u);
  EXPECT_EQ(c.testCases()[0].starts, 1);
  EXPECT_EQ(c.testCases()[0].stops, 1);
  EXPECT_EQ(c.testCases()[1].starts, 0);

  // Only the blocks of the latest report count as live.
  c.add(leak(LeakLine::Kind::Header, 0, "T1"));
  c.add(leak(LeakLine::Kind::Block, 16));
  c.add(leak(LeakLine::Kind::Block, 32));
  c.add(leak(LeakLine::Kind::Header, 0, "T2"));
  c.add(leak(LeakLine::Kind::Block, 16));
  ASSERT_EQ(c.lastLeaks().size(), 1u);
  EXPECT_EQ(c.lastLeaks()[0].size, 16u);
  c.add(leak(LeakLine::Kind::Header, 0, "T3"));
  c.add(leak(LeakLine::Kind::Nothing));
  EXPECT_TRUE(c.lastLeaks().empty());

  c.add(msg(Channel::Node, Malformed{"short", {0x81}}));
  EXPECT_EQ(c.malformedCount(), 1u);
  EXPECT_FALSE(c.crashed());

  std::ostringstream os;
  writeTextReport(os, c);
  const std::string r = os.str();
  EXPECT_NE(r.find("unit 1: 2 nodes hit, 6 hits"), std::string::npos) << r;
  EXPECT_NE(r.find("both seen"), std::string::npos);
  EXPECT_NE(r.find("MISSING false"), std::string::npos);
  EXPECT_NE(r.find("MC/DC 1/2 (50.0%)"), std::string::npos) << r;
  EXPECT_NE(r.find("c1: true yes  false no   MISSING independence pair"), std::string::npos) << r;
  EXPECT_NE(r.find("0 block(s) live in the last leak report (T3)"), std::string::npos) << r;
  EXPECT_NE(r.find("port 15555: short [1 bytes: 81]"), std::string::npos) << r;
}

TEST(CollectorCollection, CrashReportsMarkTheRun) {
  Collection c;
  PropertyMsg p;
  p.index = DataIndex::Crash;
  p.crash = CrashText{"prog", "0", "SIGSEGV", "bad pointer"};
  c.add(msg(Channel::Property, p));
  EXPECT_TRUE(c.crashed());
  std::ostringstream os;
  writeTextReport(os, c);
  EXPECT_NE(os.str().find("name \"prog\" type \"SIGSEGV\" cause \"bad pointer\""),
            std::string::npos);
}

// A decision of 20 conditions (counters in the program): the pairs of
// conditions beyond the sixteenth are found like any other, and wide
// messages of one decision add up by their whole vector.
TEST(CollectorMcdc, WideVectorsBeyondSixteenConditions) {
  // x1 || x2 || ... || x20: the last condition decides when all others are false.
  qel_wire::WideCodes all_false, last_true, first_true;
  for (int i = 0; i < 20; ++i) {
    qel_wire::set_wide_code(all_false, i, qel_wire::CondCode::False);
    qel_wire::set_wide_code(last_true, i,
                            i == 19 ? qel_wire::CondCode::True : qel_wire::CondCode::False);
  }
  qel_wire::set_wide_code(first_true, 0, qel_wire::CondCode::True);
  const DecisionAnalysis a = analyseDecision({McdcVector{Codes(all_false), false, 2},
                                              McdcVector{Codes(last_true), true, 1},
                                              McdcVector{Codes(first_true), true, 3}});
  EXPECT_EQ(a.conditions, 20);
  ASSERT_EQ(a.conds.size(), 20u);
  EXPECT_TRUE(a.conds[0].pair);
  EXPECT_TRUE(a.conds[19].pair);
  EXPECT_FALSE(a.conds[10].pair);
  EXPECT_EQ(a.pairs, 2);

  Collection c;
  auto wide = [](const qel_wire::WideCodes& w, bool outcome, uint32_t count, uint32_t seq) {
    return msg(
        Channel::Mcdc,
        McdcMsg{1, 4, outcome, w.word[0], 7, count, seq, 20, {{w.word[1], w.word[2], w.word[3]}}});
  };
  c.add(wide(all_false, false, 2, 1));
  c.add(wide(last_true, true, 1, 2));
  c.add(wide(last_true, true, 4, 3));
  const auto& vectors = c.decisionVectors().at({1, 4});
  ASSERT_EQ(vectors.size(), 2u);
  EXPECT_EQ(vectors.at({Codes(last_true), true}), 5u);
  EXPECT_EQ(vectors.at({Codes(all_false), false}), 2u);
}

namespace {

Message announcement(DataIndex index, const std::string& text) {
  PropertyMsg p;
  p.text = text;
  recogniseAnnouncement(&p);
  EXPECT_EQ(p.index, index) << text;
  return msg(Channel::Property, p);
}

Message start(int32_t pid, uint64_t stream, const std::string& program) {
  qel_wire::ProcessStart s{pid, stream, 2, program};
  return announcement(DataIndex::ProcessStart, qel_wire::process_start_text(s));
}

Message end(int32_t pid, uint64_t stream, uint64_t nodes, uint64_t properties) {
  qel_wire::ProcessEnd e;
  e.pid = pid;
  e.stream = stream;
  e.delivered[static_cast<std::size_t>(Channel::Node)] = nodes;
  e.delivered[static_cast<std::size_t>(Channel::Property)] = properties;
  return announcement(DataIndex::ProcessEnd, qel_wire::process_end_text(e));
}

Message node(uint32_t seq) {
  NodeMsg n;
  n.unit = 1;
  n.node = static_cast<uint16_t>(seq);
  n.count = 1;
  n.seq = seq;
  return msg(Channel::Node, n);
}

}  // namespace

// A whole stream: start, numbered messages, end. What is short of the end's
// totals or missing from the numbers is listed with exact counts; what only
// looks like loss (an older runtime's messages, an end superseded by a
// later one, the spool's late arrivals) is not.
TEST(CollectorLoss, StreamsTotalsAndSequenceNumbers) {
  Collection whole;
  whole.add(start(7, 1, "/bin/p"));
  for (uint32_t s : {1u, 2u, 4u, 5u, 3u}) whole.add(node(s));  // 3 came late, from the spool
  whole.add(end(7, 1, 5, 2));
  EXPECT_TRUE(whole.problems().empty());
  EXPECT_TRUE(whole.unfinishedPids().empty());

  // A relay that dropped two of ten numbered messages.
  Collection cut;
  cut.add(start(7, 1, "/bin/p"));
  for (uint32_t s = 1; s <= 10; ++s)
    if (s != 4 && s != 9) cut.add(node(s));
  cut.add(end(7, 1, 10, 2));
  RunProblems p = cut.problems();
  ASSERT_EQ(p.size(), 2u);
  EXPECT_EQ(p[0].kind, ProblemKind::MissingMessages);
  EXPECT_EQ(p[0].subject, "process 7 (/bin/p)");
  EXPECT_EQ(p[0].detail, "fewer messages arrived than were announced as delivered: node 8 of 10");
  EXPECT_EQ(p[1].detail, "messages missing by sequence number: node 2");
  EXPECT_EQ(problemExitStatus(p, {}), 10);

  // Killed: a start and no end. Numbers alone still tell the gap.
  Collection killed;
  killed.add(start(9, 3, "/bin/q"));
  killed.add(node(1));
  killed.add(node(3));
  p = killed.problems();
  ASSERT_EQ(p.size(), 2u);
  EXPECT_EQ(p[0].kind, ProblemKind::UnfinishedStream);
  EXPECT_EQ(p[0].subject, "process 9 (/bin/q)");
  EXPECT_EQ(killed.unfinishedPids(), std::vector<int32_t>{9});
  EXPECT_EQ(p[1].detail, "messages missing by sequence number: node 1");
  killed.markStillRunning(9);
  EXPECT_EQ(killed.problems()[0].detail, "still running when the collection ended");

  // A fork child is its own stream; an exec'd image a new stream of the
  // same pid; a leave operation's end is superseded by the exit's; an old
  // runtime's messages add to what arrived and never make a loss.
  Collection family;
  family.add(start(10, 1, "/bin/parent"));
  family.add(start(11, 1, "/bin/parent"));
  family.add(start(11, 2, "/bin/exec"));
  for (uint32_t s = 1; s <= 6; ++s) family.add(node(s));
  family.add(end(11, 1, 1, 2));
  family.add(end(10, 1, 2, 2));
  family.add(end(10, 1, 1, 2));  // an earlier end, arriving late
  family.add(end(11, 2, 3, 2));
  family.add(node(1));  // an older runtime that announces nothing
  EXPECT_TRUE(family.problems().empty());
  EXPECT_EQ(family.processes().size(), 3u);
  EXPECT_EQ(family.processes().at({10, 1}).delivered[0], 2u);

  // Streams of several processes: the totals still count, numbers do not
  // (each stream numbers from 1).
  family.add(start(12, 1, "/bin/late"));
  family.add(end(12, 1, 5, 2));
  p = family.problems();
  ASSERT_EQ(p.size(), 1u);
  EXPECT_EQ(p[0].subject, "4 processes that ended");
  EXPECT_EQ(p[0].detail, "fewer messages arrived than were announced as delivered: node 7 of 11");
}

// The collector ends a run without its quiet period only when the
// announcements account for every message: each stream ended, and on every
// channel exactly what the ends announced arrived. Anything else (no
// announcement at all, a stream still open, a shortfall, messages no end
// accounts for) leaves it to the quiet period.
TEST(CollectorEnd, KnowsWhenEverythingAnnouncedArrived) {
  Collection none;
  EXPECT_FALSE(none.everythingAnnouncedArrived());
  none.add(node(1));  // an older runtime: messages, no announcements
  EXPECT_FALSE(none.everythingAnnouncedArrived());

  Collection run;
  run.add(start(7, 1, "/bin/p"));
  run.add(node(1));
  EXPECT_FALSE(run.everythingAnnouncedArrived());  // no end yet
  run.add(node(2));
  run.add(end(7, 1, 3, 2));
  EXPECT_FALSE(run.everythingAnnouncedArrived());  // one node still on its way
  run.add(node(3));
  EXPECT_TRUE(run.everythingAnnouncedArrived());

  // A fork child's stream, then an exec'd image of the same pid.
  run.add(start(8, 1, "/bin/p"));
  EXPECT_FALSE(run.everythingAnnouncedArrived());
  run.add(start(8, 2, "/bin/q"));
  run.add(end(8, 1, 0, 2));
  EXPECT_FALSE(run.everythingAnnouncedArrived());  // the exec'd stream is open
  run.add(end(8, 2, 0, 2));
  EXPECT_TRUE(run.everythingAnnouncedArrived());
  EXPECT_EQ(run.announcedPids(), (std::vector<int32_t>{7, 8}));

  // A message that no end accounts for: someone that announces nothing
  // may still be sending.
  run.add(node(4));
  EXPECT_FALSE(run.everythingAnnouncedArrived());
}

// A run of a runtime without announcements (a saved run of an older version)
// reports as it always did: no loss is made up from the numbers of several
// processes.
TEST(CollectorLoss, RunsWithoutAnnouncementsListNothing) {
  Collection old;
  for (uint32_t s : {1u, 5u, 2u, 9u}) old.add(node(s));
  EXPECT_TRUE(old.problems().empty());
  EXPECT_EQ(problemExitStatus(old.problems(), {}), 0);
}
