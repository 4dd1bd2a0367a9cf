// The wire module on its own: typed record builders, message encoders in
// both byte orders, and the endpoint table.
#include <gtest/gtest.h>

#include <set>

#include "test_collector.h"
#include "wire.h"

namespace {

using qel_test::Bytes;
using qel_test::hex;

std::string counted(uint64_t record, int32_t count, int32_t seq, bool little) {
  Bytes m(qel_wire::kMaxCountedMessage);
  m.resize(qel_wire::encode_counted(record, count, seq, little, m.data()));
  return hex(m);
}

std::string mcdc(uint64_t record, uint16_t group, int32_t count, int32_t seq, bool little) {
  Bytes m(qel_wire::kMaxCountedMessage);
  m.resize(qel_wire::encode_mcdc(record, group, count, seq, little, m.data()));
  return hex(m);
}

TEST(WireRecords, TypedBuildersFollowThePackingRule) {
  const uint16_t node[3] = {0x0102, 0x0304, 0x0506};
  const uint16_t cond[4] = {0x0102, 0x0304, qel_wire::kHeld, 0x0009};
  for (bool little : {true, false}) {
    EXPECT_EQ(qel_wire::node_record(0x0102, 0x0304, 0x0506, little),
              qel_wire::pack(node, 3, little));
    EXPECT_EQ(qel_wire::cond_record(0x0102, 0x0304, true, 0x0009, little),
              qel_wire::pack(cond, 4, little));
  }
  // Only the low 16 bits of each argument count.
  EXPECT_EQ(qel_wire::node_record(0x12345, 1, 2, true), qel_wire::node_record(0x2345, 1, 2, true));
  EXPECT_EQ(qel_wire::cond_record(1, 2, false, 3, true) >> 40 & 0xFF, qel_wire::kNotHeld);
}

TEST(WireRecords, McdcRecordCarriesTheOutcomeBitInPlaceOfBitFifteen) {
  Bytes b(8);
  qel_wire::put_record(qel_wire::mcdc_record(0x0102, 0x0005, true, 0xFFFFFF4Fu), true, b.data());
  EXPECT_EQ(hex(b), "81 02 80 05 4F FF FF FF");
  // A decision id with bit 15 set reads as the outcome bit, cleared here.
  qel_wire::put_record(qel_wire::mcdc_record(0x8001, 0x8005, false, 0), true, b.data());
  EXPECT_EQ(hex(b), "80 01 00 05 00 00 00 00");
}

TEST(WireMessages, CountedAndMcdcMessagesInBothByteOrders) {
  const uint64_t cond = qel_wire::cond_record(0x0102, 0x0304, true, 0x0009, true);
  EXPECT_EQ(counted(cond, 3, 5, true), "81 02 03 04 00 CC 00 09 30 00 00 00 03 00 00 00 05 31");
  EXPECT_EQ(counted(cond, 3, 5, false), "09 00 CC 00 04 03 02 81 30 03 00 00 00 05 00 00 00 31");

  const uint64_t m = qel_wire::mcdc_record(0x0102, 0x0005, true, 0xFFFFFF4Fu);
  EXPECT_EQ(mcdc(m, 7, 2, 3, true), "81 02 80 05 4F FF FF FF 00 07 30 00 00 00 02 00 00 00 03");
  EXPECT_EQ(mcdc(m, 7, 2, 3, false), "FF FF FF 4F 05 80 02 81 07 00 30 02 00 00 00 03 00 00 00");
}

TEST(WireMessages, SixteenBitReadInvertsTheWrite) {
  uint8_t b[2];
  for (bool little : {true, false}) {
    for (uint16_t v : {0x0000, 0x0102, 0x8000, 0xFFFF}) {
      qel_wire::put_u16(v, little, b);
      EXPECT_EQ(qel_wire::get_u16(b, little), v) << little;
    }
  }
}

TEST(WireEndpoints, OnePortPerChannelAndTheOptionsOfItsKind) {
  using qel_wire::Channel;
  using qel_wire::SocketKind;
  const struct {
    Channel channel;
    int port;
    SocketKind kind;
  } expected[] = {
      {Channel::Node, 15555, SocketKind::Stream},
      {Channel::Cond, 15556, SocketKind::Stream},
      {Channel::Mcdc, 15557, SocketKind::Stream},
      {Channel::Property, 15559, SocketKind::Property},
      {Channel::Events, 15560, SocketKind::Events},
      {Channel::Value, 15561, SocketKind::Stream},
      {Channel::LastData, 15562, SocketKind::Stream},
      {Channel::Timing, 15564, SocketKind::Stream},
  };
  std::set<int> ports;
  for (const auto& e : expected) {
    EXPECT_EQ(qel_wire::endpoint(e.channel).port, e.port);
    EXPECT_TRUE(qel_wire::endpoint(e.channel).kind == e.kind) << e.port;
    ports.insert(qel_wire::endpoint(e.channel).port);
  }
  EXPECT_EQ(ports.size(), sizeof(qel_wire::kEndpoints) / sizeof(qel_wire::kEndpoints[0]));
}

}  // namespace
