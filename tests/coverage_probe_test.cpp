// Records, messages and condition strings, without sockets.
#include <gtest/gtest.h>

#include "qelmq/QelSendCond.h"
#include "qelmq/QelSendDD.h"
#include "qelmq/QelSendMCDC.h"
#include "qelmq/protocol/messages.h"
#include "qelmq/thread_exit.h"
#include "test_collector.h"

namespace {

using qel_test::Bytes;
using qel_test::hex;

Bytes record_bytes(uint64_t r) {
  Bytes b(8);
  qel_wire::put_record(r, true, b.data());
  return b;
}

// Must run before anything bootstraps this process.
TEST(NodeProbe, SkippedNodeIdCreatesNothing) {
  ASSERT_EQ(thread_exit::pInst.load(), nullptr);
  EXPECT_EQ(QelNode(1, -1, 0), 1);
  EXPECT_EQ(QelNode(1, 0xFFFF, 0), 1);
  EXPECT_EQ(QelNode(1, 0x7FFFF, 0), 1) << "only the low 16 bits count";
  EXPECT_EQ(thread_exit::pInst.load(), nullptr) << "no bootstrap for a skipped node";
}

TEST(RecordPacking, NodeLayoutWithAndWithoutFlag) {
  const uint16_t f[3] = {0x0102, 0x0304, 0x0506};
  EXPECT_EQ(hex(record_bytes(qel_wire::pack(f, 3, true))), "81 02 03 04 05 06 00 00");
  EXPECT_EQ(hex(record_bytes(qel_wire::pack(f, 3, false))), "80 00 05 06 03 04 01 02");
}

TEST(RecordPacking, BitFifteenOfTheFirstFieldFolds) {
  const uint16_t a[3] = {0x0102, 1, 1}, b[3] = {0x8102, 1, 1};
  EXPECT_EQ(qel_wire::pack(a, 3, true), qel_wire::pack(b, 3, true));
}

TEST(Messages, NodeWorkedExample) {
  QelSendDD dd;
  const uint16_t f[3] = {0x0102, 0x0304, 0x0506};
  Bytes m(18);
  ASSERT_EQ(dd.encode(qel_wire::pack(f, 3, true), 3, 5, true, m.data()), 18u);
  EXPECT_EQ(hex(m), "81 02 03 04 05 06 00 00 30 00 00 00 03 00 00 00 05 31");
  // Flag clear: record and integers reversed.
  ASSERT_EQ(dd.encode(0x0102030405060781ull, 3, 5, false, m.data()), 18u);
  EXPECT_EQ(hex(m), "01 02 03 04 05 06 07 81 30 03 00 00 00 05 00 00 00 31");
}

TEST(Messages, ConditionWorkedExample) {
  QelSendCond cond;
  const uint16_t f[4] = {0x0102, 0x0304, 0x00CC, 0x0009};
  Bytes m(18);
  ASSERT_EQ(cond.encode(qel_wire::pack(f, 4, true), 3, 5, true, m.data()), 18u);
  EXPECT_EQ(hex(m), "81 02 03 04 00 CC 00 09 30 00 00 00 03 00 00 00 05 31");
}

TEST(Messages, McdcWorkedExample) {
  QelSendMCDC mcdc;
  mcdc.groupId.store(7);
  // unit 0x0102, decision 0x0005 with outcome bit, codes 0xFFFFFF4F
  uint64_t r = 0x81ull | 0x02ull << 8 | 0x80ull << 16 | 0x05ull << 24 | uint64_t{0xFFFFFF4F} << 32;
  Bytes m(19);
  ASSERT_EQ(mcdc.encode(r, 2, 3, true, m.data()), 19u);
  EXPECT_EQ(hex(m), "81 02 80 05 4F FF FF FF 00 07 30 00 00 00 02 00 00 00 03");
}

TEST(ConditionString, InitMarksEverySlotUnset) {
  int cs[2] = {0, 0};
  EXPECT_EQ(QelStringInit(cs), cs);
  EXPECT_EQ(static_cast<uint32_t>(cs[0]), 0xFFFFFFFFu);
  EXPECT_EQ(cs[1], -1);
}

TEST(ConditionString, IndexZeroRestartsTheEvaluation) {
  int cs[2];
  QelStringInit(cs);
  QelStringAddCond(cs, 0, 0);
  QelStringAddCond(cs, 1, 1);
  EXPECT_EQ(QelStringAddCond(cs, 0, 5), 0);
  EXPECT_EQ(static_cast<uint32_t>(cs[0]), 0xFFFFFF7Fu);
  EXPECT_EQ(cs[1], 0);
  QelStringAddCond(cs, 0, 0);
  EXPECT_EQ(static_cast<uint32_t>(cs[0]), 0xFFFFFF3Fu);
}

TEST(ConditionString, ShortCircuitedConditionsAreMarkedSkipped) {
  int cs[2];
  QelStringInit(cs);
  QelStringAddCond(cs, 0, 1);  // slot 0 = 01
  QelStringAddCond(cs, 3, 0);  // slots 1, 2 = 10, slot 3 = 00
  EXPECT_EQ(cs[1], 3);
  EXPECT_EQ(static_cast<uint32_t>(cs[0]) & 0xFF, 0x68u);  // 01 10 10 00
  EXPECT_EQ(static_cast<uint32_t>(cs[0]) >> 8, 0xFFFFFFu);
}

TEST(ConditionString, IndicesBeyondSlotFifteenAreDropped) {
  int cs[2];
  QelStringInit(cs);
  QelStringAddCond(cs, 0, 1);
  for (int i = 1; i <= 10; ++i) QelStringAddCond(cs, i, 1);
  ASSERT_EQ(cs[1], 10);
  QelStringAddCond(cs, 20, 1);
  EXPECT_EQ(cs[1], 15);
  // slots 11..15 skipped (10), nothing else recorded
  uint32_t codes = static_cast<uint32_t>(cs[0]);
  EXPECT_EQ((codes >> 16) & 0x03, 0x2u);  // slot 11
  EXPECT_EQ(codes >> 24, 0xAAu);          // slots 12..15
  QelStringAddCond(cs, 16, 0);
  EXPECT_EQ(cs[1], 15);
  EXPECT_EQ(static_cast<uint32_t>(cs[0]), codes);
}

TEST(ConditionString, SmallIndexGoesToTheNextFreeSlot) {
  int cs[2];
  QelStringInit(cs);
  for (int i = 0; i <= 5; ++i) QelStringAddCond(cs, i, 1);
  QelStringAddCond(cs, 2, 0);
  EXPECT_EQ(cs[1], 6);
  EXPECT_EQ((static_cast<uint32_t>(cs[0]) >> 10) & 0x3, 0x0u) << "slot 6 holds false";
}

TEST(ConditionProbe, ReturnsLowSixteenBits) {
  EXPECT_EQ(QelExp(1, 1, 1, nullptr, 1, 2), 2);
  EXPECT_EQ(QelExp(1, 1, 1, nullptr, 1, 0x10000), 0);
  EXPECT_EQ(QelExp(1, 1, 1, nullptr, 1, 0x1FFFF), 0xFFFF);
  QelExit();
}

}  // namespace
