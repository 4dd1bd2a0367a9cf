// The protocol on its own (record builders, message encoders in both byte
// orders), and every message kind from the runtime's encoders through the
// collector's decoders, in both byte orders where the kind has two.
#include <gtest/gtest.h>

#include <cstdarg>
#include <string>
#include <variant>

#include "decode.hpp"
#include "qelmq/QelSendCond.h"
#include "qelmq/QelSendDD.h"
#include "qelmq/QelSendMCDC.h"
#include "qelmq/QelSendProperty.h"
#include "qelmq/leak.h"
#include "qelmq/probes.h"
#include "qelmq/protocol/protocol.h"
#include "test_collector.h"
#include "value_item.h"

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
    for (int k = 0; k < 3; ++k)
      EXPECT_EQ(qel_wire::unpack(qel_wire::pack(node, 3, little), k, little), node[k]) << k;
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

TEST(WireMessages, ReadsInvertTheWrites) {
  uint8_t b[8];
  for (bool little : {true, false}) {
    for (uint16_t v : {0x0000, 0x0102, 0x8000, 0xFFFF}) {
      qel_wire::put_u16(v, little, b);
      EXPECT_EQ(qel_wire::get_u16(b, little), v) << little;
    }
    for (uint32_t v : {0x00000000u, 0x01020304u, 0x80000001u, 0xFFFFFFFFu}) {
      qel_wire::put_u32(v, little, b);
      EXPECT_EQ(qel_wire::get_u32(b, little), v) << little;
    }
    for (uint64_t v : {0x0000000000000080ull, 0x0807060504030281ull, 0xFFFFFFFFFFFFFFFFull}) {
      qel_wire::put_record(v, little, b);
      EXPECT_EQ(qel_wire::get_record(b, little), v) << little;
    }
  }
}

// ---- Round trip: runtime encoders, collector decoders ------------------

template <class T>
T decoded(qelc::Channel channel, const Bytes& bytes, bool little = true) {
  const qelc::Body body = qelc::decode(channel, bytes.data(), bytes.size(), little);
  if (const auto* bad = std::get_if<qelc::Malformed>(&body))
    ADD_FAILURE() << "malformed: " << bad->reason << " [" << hex(bytes) << "]";
  const T* t = std::get_if<T>(&body);
  return t ? *t : T{};
}

Bytes text_message(const std::string& text, bool zero = true) {
  Bytes b(text.begin(), text.end());
  if (zero) b.push_back(0);
  return b;
}

// A property message as the runtime's property channel builds it, decoded.
qelc::PropertyMsg property(DATA_INDEX index, const std::string& data) {
  return decoded<qelc::PropertyMsg>(qelc::Channel::Property,
                                    text_message(QelSendProperty::format_message(index, data)));
}

// A message as the sender's thread encodes it.
template <class Sender>
Bytes aggregated(const Sender& s, uint64_t record, int32_t count, int32_t seq, bool little) {
  Bytes m(qel_wire::kMaxCountedMessage);
  m.resize(s.encode(record, count, seq, little, m.data()));
  return m;
}

TEST(ProtocolRoundTrip, NodeMessagesInBothByteOrders) {
  QelSendDD dd;
  for (bool little : {true, false}) {
    // Bit 15 of the unit is the mark's with the flag set: 15 bits arrive.
    const uint16_t unit = little ? 0x7F02 : 0xFF02;
    const auto m = decoded<qelc::NodeMsg>(
        qelc::Channel::Node,
        aggregated(dd, qel_wire::node_record(unit, 0xFFFE, 0x8506, little), 7, 0x01020304, little),
        little);
    EXPECT_EQ(m.unit, unit) << little;
    EXPECT_EQ(m.node, 0xFFFE);
    EXPECT_EQ(m.value, 0x8506);
    EXPECT_EQ(m.count, 7u);
    EXPECT_EQ(m.seq, 0x01020304u);
  }
}

TEST(ProtocolRoundTrip, ConditionMessagesInBothByteOrders) {
  QelSendCond cond;
  for (bool little : {true, false}) {
    for (bool held : {true, false}) {
      // The mark covers bit 15 of the unit (flag set) or of the group (clear).
      const auto m = decoded<qelc::CondMsg>(
          qelc::Channel::Cond,
          aggregated(cond, qel_wire::cond_record(0x0102, 0x8304, held, 0x7009, little), 3, 5,
                     little),
          little);
      EXPECT_EQ(m.unit, 0x0102) << little;
      EXPECT_EQ(m.cond, 0x8304);
      EXPECT_EQ(m.held, held);
      EXPECT_EQ(m.group, 0x7009);
      EXPECT_EQ(m.count, 3u);
      EXPECT_EQ(m.seq, 5u);
    }
  }
}

TEST(ProtocolRoundTrip, McdcMessagesFromTheProbesConditionString) {
  // The runtime's own string helpers build the vector: true, two
  // short-circuited, false, then slot 15 true.
  int cs[2];
  QelStringInit(cs);
  QelStringAddCond(cs, 0, 1);
  QelStringAddCond(cs, 3, 0);
  QelStringAddCond(cs, 15, 1);
  QelSendMCDC sender;
  sender.groupId.store(0x0102);
  for (bool little : {true, false}) {
    for (bool outcome : {true, false}) {
      const uint64_t r =
          qel_wire::mcdc_record(0x0A0B, 0x7FFE, outcome, static_cast<uint32_t>(cs[0]));
      const auto m = decoded<qelc::McdcMsg>(qelc::Channel::Mcdc,
                                            aggregated(sender, r, 1000, 9, little), little);
      EXPECT_EQ(m.unit, 0x0A0B);
      EXPECT_EQ(m.decision, 0x7FFE);
      EXPECT_EQ(m.outcome, outcome);
      EXPECT_EQ(m.group, 0x0102);
      EXPECT_EQ(m.count, 1000u);
      EXPECT_EQ(m.seq, 9u);
      EXPECT_EQ(qelc::codesText(m.codes), "T--F-----------T") << little;
    }
  }
}

// The 33-byte message of a decision of 17 to 64 conditions: every slot
// arrives, in both byte orders, and the collector shows the whole vector.
TEST(ProtocolRoundTrip, WideMcdcMessagesCarryUpToSixtyFourConditions) {
  qel_wire::WideCodes codes;
  for (int slot = 0; slot < 64; ++slot)
    qel_wire::set_wide_code(codes, slot,
                            slot == 63 ? qel_wire::CondCode::True
                            : slot % 3 ? qel_wire::CondCode::False
                                       : qel_wire::CondCode::Skipped);
  for (bool little : {true, false}) {
    Bytes b(sizeof(qel_wire::WideMcdcMessage));
    ASSERT_EQ(qel_wire::encode_wide_mcdc(0x0A0B, 0x1234, true, codes, 64, 0x0102, 77, 9, little,
                                         b.data()),
              33u);
    const auto m = decoded<qelc::McdcMsg>(qelc::Channel::Mcdc, b, little);
    EXPECT_EQ(m.unit, 0x0A0B);
    EXPECT_EQ(m.decision, 0x1234);
    EXPECT_TRUE(m.outcome);
    EXPECT_EQ(m.group, 0x0102);
    EXPECT_EQ(m.count, 77u);
    EXPECT_EQ(m.seq, 9u);
    EXPECT_EQ(m.conditions, 64);
    EXPECT_EQ(m.codes, codes.word[0]);
    EXPECT_EQ(qelc::codesOf(m), qelc::Codes(codes)) << little;
    const std::string text = qelc::codesText(qelc::codesOf(m));
    ASSERT_EQ(text.size(), 64u);
    EXPECT_EQ(text.substr(0, 4), "-FF-");
    EXPECT_EQ(text.back(), 'T');
    // A sequence number patched in after encoding, as a window sends it.
    qel_wire::put_seq_at(b.data(), qel_wire::kWideMcdcSeqOffset, 0x01020304, little);
    EXPECT_EQ(decoded<qelc::McdcMsg>(qelc::Channel::Mcdc, b, little).seq, 0x01020304u);
  }
  // A version this collector does not know, or a width that a 19-byte
  // message would carry, is malformed, never misread.
  Bytes b(sizeof(qel_wire::WideMcdcMessage));
  qel_wire::encode_wide_mcdc(1, 2, false, codes, 17, 0, 1, 1, true, b.data());
  b[offsetof(qel_wire::WideMcdcMessage, version)] = 2;
  EXPECT_TRUE(std::holds_alternative<qelc::Malformed>(
      qelc::decode(qelc::Channel::Mcdc, b.data(), b.size())));
  qel_wire::encode_wide_mcdc(1, 2, false, codes, 16, 0, 1, 1, true, b.data());
  EXPECT_TRUE(std::holds_alternative<qelc::Malformed>(
      qelc::decode(qelc::Channel::Mcdc, b.data(), b.size())));
}

TEST(ProtocolRoundTrip, UnitIdentityMessagesInBothByteOrders) {
  for (bool little : {true, false}) {
    Bytes b(sizeof(qel_wire::UnitIdentityMessage));
    ASSERT_EQ(qel_wire::encode_unit_identity(0x7ABC, 0x0123456789ABCDEFull, 42, little, b.data()),
              16u);
    EXPECT_EQ(b[0], 'Q');
    EXPECT_EQ(b[1], 'U');
    const auto m = decoded<qelc::UnitMsg>(qelc::Channel::Node, b, little);
    EXPECT_EQ(m.unit, 0x7ABC);
    EXPECT_EQ(m.identity, 0x0123456789ABCDEFull) << little;
    EXPECT_EQ(m.seq, 42u);
  }
  // Most significant byte first, as every integer with the flag set.
  Bytes b(16);
  qel_wire::encode_unit_identity(1, 0x0102030405060708ull, 0, true, b.data());
  EXPECT_EQ(hex(b), "51 55 00 01 01 02 03 04 05 06 07 08 00 00 00 00");
  b[0] = 'X';
  EXPECT_TRUE(std::holds_alternative<qelc::Malformed>(
      qelc::decode(qelc::Channel::Node, b.data(), b.size())));
}

// Paths of `a && (b || c)` as qelcc numbers them: the false edge of `a`
// adds the three paths through `b`, each false edge of `b` and `c` one.
TEST(DecisionPaths, NumberedAsQelccCountsThem) {
  const uint8_t next[] = {1, qel_wire::kPathFalse, qel_wire::kPathTrue,
                          2, qel_wire::kPathTrue,  qel_wire::kPathFalse};
  ASSERT_TRUE(qel_wire::paths_well_formed(next, 3));
  std::vector<uint32_t> from;
  ASSERT_EQ(qel_wire::number_paths(next, 3, &from), 4u);
  EXPECT_EQ(qel_wire::false_edge_increment(next, 0, from), 3u);
  EXPECT_EQ(qel_wire::false_edge_increment(next, 1, from), 1u);
  EXPECT_EQ(qel_wire::false_edge_increment(next, 2, from), 1u);
  // Path -> outcome and the condition string the event probes would build.
  const struct {
    bool outcome;
    const char* vector;
  } want[4] = {{true, "TT"}, {true, "TFT"}, {false, "TFF"}, {false, "F"}};
  for (uint32_t p = 0; p < 4; ++p) {
    const qel_wire::DecisionPath path = qel_wire::decode_path(next, 3, from, p);
    EXPECT_EQ(path.outcome, want[p].outcome) << p;
    EXPECT_EQ(qelc::codesText(qelc::Codes(path.codes)), want[p].vector) << p;
  }
  // `!a || b`: a true `a` goes on to `b`; a false one ends the decision true.
  const uint8_t negated[] = {1, qel_wire::kPathTrue, qel_wire::kPathTrue, qel_wire::kPathFalse};
  ASSERT_EQ(qel_wire::number_paths(negated, 2, &from), 3u);
  EXPECT_EQ(qelc::codesText(qelc::Codes(qel_wire::decode_path(negated, 2, from, 2).codes)), "F");
  EXPECT_TRUE(qel_wire::decode_path(negated, 2, from, 2).outcome);
  // A condition skipped by short-circuit before a later one is evaluated:
  // `(a && b) || c` with `a` false.
  const uint8_t skip[] = {1, 2, qel_wire::kPathTrue, 2, qel_wire::kPathTrue, qel_wire::kPathFalse};
  ASSERT_EQ(qel_wire::number_paths(skip, 3, &from), 5u);
  bool seen = false;
  for (uint32_t p = 0; p < 5; ++p)
    seen = seen ||
           qelc::codesText(qelc::Codes(qel_wire::decode_path(skip, 3, from, p).codes)) == "F-T";
  EXPECT_TRUE(seen);
  // Malformed graphs: a successor before its condition, a condition never
  // reached.
  const uint8_t backwards[] = {1, qel_wire::kPathFalse, 0, qel_wire::kPathTrue};
  EXPECT_FALSE(qel_wire::paths_well_formed(backwards, 2));
  const uint8_t unreached[] = {qel_wire::kPathTrue, qel_wire::kPathFalse, qel_wire::kPathTrue,
                               qel_wire::kPathFalse};
  EXPECT_FALSE(qel_wire::paths_well_formed(unreached, 2));
  // Too many paths saturate instead of overflowing: 32 groups `(x || y)`.
  std::vector<uint8_t> groups(128);
  for (int g = 0; g < 32; ++g) {
    const uint8_t x = static_cast<uint8_t>(2 * g), y = static_cast<uint8_t>(2 * g + 1);
    const uint8_t after = g == 31 ? qel_wire::kPathTrue : static_cast<uint8_t>(2 * g + 2);
    groups[2 * x] = after;
    groups[2 * x + 1] = y;
    groups[2 * y] = after;
    groups[2 * y + 1] = qel_wire::kPathFalse;
  }
  ASSERT_TRUE(qel_wire::paths_well_formed(groups.data(), 64));
  EXPECT_EQ(qel_wire::number_paths(groups.data(), 64, &from), qel_wire::kMaxCounterPaths + 1);
}

// A last-data message as the crash sender encodes it, decoded.
qelc::LastDataMsg last_data(qel_wire::LastKind kind, const uint64_t* records, std::size_t n,
                            uint32_t& number, uint16_t group, bool little) {
  const std::string message = qel_wire::encode_last_data(kind, records, n, number, group, little);
  return decoded<qelc::LastDataMsg>(qelc::Channel::LastData, text_message(message, false), little);
}

TEST(ProtocolRoundTrip, LastDataMessagesInBothByteOrders) {
  for (bool little : {true, false}) {
    // Byte 0 of each entry keeps three bits: units up to 7 survive in
    // either order.
    const uint64_t nodes[2] = {qel_wire::node_record(5, 7, 1, little),
                               qel_wire::node_record(6, 0xFFFE, 0x8001, little)};
    uint32_t number = 41;
    auto n = last_data(qel_wire::kLastNode, nodes, 2, number, 0, little);
    EXPECT_EQ(number, 43u);
    ASSERT_EQ(n.entries.size(), 2u);
    EXPECT_EQ(n.kind, qel_wire::kLastNode);
    EXPECT_EQ(n.entries[0].unit, 5);
    EXPECT_EQ(n.entries[0].id, 7);
    EXPECT_EQ(n.entries[0].value, 1);
    EXPECT_EQ(n.entries[0].number, 41u);
    EXPECT_EQ(n.entries[1].unit, 6);
    EXPECT_EQ(n.entries[1].id, 0xFFFE);
    EXPECT_EQ(n.entries[1].value, 0x8001);
    EXPECT_EQ(n.entries[1].number, 42u);

    const uint64_t conds[1] = {qel_wire::cond_record(3, 0x0304, false, 0x0009, little)};
    number = 1;
    auto c = last_data(qel_wire::kLastCond, conds, 1, number, 0, little);
    ASSERT_EQ(c.entries.size(), 1u);
    EXPECT_EQ(c.entries[0].unit, 3);
    EXPECT_EQ(c.entries[0].id, 0x0304);
    EXPECT_FALSE(c.entries[0].outcome);
    EXPECT_EQ(c.entries[0].group, 0x0009);
    EXPECT_EQ(c.entries[0].number, 1u);

    // With the flag clear byte 0 on the wire is the top byte of the codes:
    // a vector whose slots 12 to 15 fit in three bits survives.
    const uint64_t mcdcs[1] = {qel_wire::mcdc_record(2, 5, true, 0x03FFFF1Bu)};
    number = 4;
    auto m = last_data(qel_wire::kLastMcdc, mcdcs, 1, number, 7, little);
    ASSERT_EQ(m.entries.size(), 1u);
    EXPECT_EQ(m.entries[0].unit, 2);
    EXPECT_EQ(m.entries[0].id, 5);
    EXPECT_TRUE(m.entries[0].outcome);
    EXPECT_EQ(m.entries[0].codes, 0x03FFFF1Bu) << little;
    EXPECT_EQ(m.entries[0].group, 7);
    EXPECT_EQ(m.entries[0].number, 4u);
  }
}

TEST(ProtocolRoundTrip, PropertyMessagesOfEveryIndex) {
  for (int i = 0; i < qel_wire::kDataIndexCount; ++i) {
    const auto index = static_cast<DATA_INDEX>(i);
    const auto m = property(index, "a:///b");
    EXPECT_EQ(static_cast<int>(m.index), i);
    EXPECT_EQ(m.text, "a:///b");
  }
  const auto none = property(static_cast<DATA_INDEX>(7), "x");
  EXPECT_EQ(none.index, qelc::DataIndex::None);
  EXPECT_EQ(none.text, "x");
}

// The announcements travel as property messages of the empty prefix: a
// reader that knows them gets every field back, one that does not keeps the
// text, and a text that only looks like one stays a text.
TEST(ProtocolRoundTrip, ProcessAnnouncementsOfStartAndEnd) {
  qel_wire::ProcessStart s;
  s.pid = 2147483647;
  s.stream = 0xfedcba9876543210ull;
  s.protocol = qel_wire::kProtocolVersion;
  s.program = "C:\\tests\\my prog.exe";
  const auto start = property(ProcessStart, qel_wire::process_start_text(s));
  EXPECT_EQ(QelSendProperty::format_message(ProcessStart, "x"), ":///x");
  ASSERT_EQ(start.index, qelc::DataIndex::ProcessStart);
  EXPECT_TRUE(start.understood);
  EXPECT_EQ(start.start.pid, s.pid);
  EXPECT_EQ(start.start.stream, s.stream);
  EXPECT_EQ(start.start.protocol, qel_wire::kProtocolVersion);
  EXPECT_EQ(start.start.program, s.program);

  qel_wire::ProcessEnd e;
  e.pid = 12;
  e.stream = 1;
  e.delivered = {18446744073709551615ull, 0, 2, 3, 4, 5, 6, 7};
  const std::string text = qel_wire::process_end_text(e);
  EXPECT_EQ(text,
            "process-end pid=12 stream=0000000000000001 "
            "delivered=18446744073709551615,0,2,3,4,5,6,7");
  const auto end = property(ProcessEnd, text);
  ASSERT_EQ(end.index, qelc::DataIndex::ProcessEnd);
  EXPECT_EQ(end.end.pid, 12);
  EXPECT_EQ(end.end.stream, 1u);
  EXPECT_EQ(end.end.delivered, e.delivered);

  for (const std::string bad :
       {"process-end pid=12 stream=1 delivered=1,2,3",
        "process-end pid=12 stream=1 "
        "delivered=1,2,3,4,5,6,7,8,9",
        "process-end pid=12 stream=1 delivered=18446744073709551616,0,0,0,0,0,0,0",
        "process-end pid=x stream=1 delivered=0,0,0,0,0,0,0,0",
        "process-start pid=1 stream=1 protocol=2",
        "process-start pid=2147483648 stream=1 "
        "protocol=2 program=p",
        "process-end pid=12 stream=1 delivered=0,0,0,0,0,0,0,0 "}) {
    const auto m = property(ProcessEnd, bad);
    EXPECT_EQ(m.index, qelc::DataIndex::None) << bad;
    EXPECT_FALSE(m.understood) << bad;
    EXPECT_EQ(m.text, bad);
  }
}

// What tells apart the processes and the test cases of one collection:
// the connections' origin, the command line and the test-case windows, all
// read back as they were written, and anything else left as a text.
TEST(ProtocolRoundTrip, OriginsCommandLinesAndTestCaseWindows) {
  EXPECT_EQ(qel_wire::origin_text(4711, 0x1267a3b4c5d6ull), "4711/00001267a3b4c5d6");
  int32_t pid = 0;
  uint64_t stream = 0;
  ASSERT_TRUE(qel_wire::parse_origin("4711/00001267a3b4c5d6", &pid, &stream));
  EXPECT_EQ(pid, 4711);
  EXPECT_EQ(stream, 0x1267a3b4c5d6ull);
  ASSERT_TRUE(qel_wire::parse_origin("99", &pid, &stream));  // a spool's pid alone
  EXPECT_EQ(pid, 99);
  EXPECT_EQ(stream, 0u);
  for (const char* bad : {"", "/0000000000000001", "12/1", "12/000000000000000G", "2147483648",
                          "-1/0000000000000001", "12/00000000000000001"})
    EXPECT_FALSE(qel_wire::parse_origin(bad, &pid, &stream)) << bad;

  EXPECT_EQ(qel_wire::quoted_argument("plain"), "plain");
  EXPECT_EQ(qel_wire::quoted_argument(""), "''");
  EXPECT_EQ(qel_wire::quoted_argument("two words"), "'two words'");
  EXPECT_EQ(qel_wire::quoted_argument("it's"), "'it'\\''s'");
  qel_wire::ProcessCommand c;
  c.pid = 7;
  c.stream = 2;
  c.command = "./prog -v 'a b'";
  const auto command = property(ProcessCommand, qel_wire::process_command_text(c));
  ASSERT_EQ(command.index, qelc::DataIndex::ProcessCommand);
  EXPECT_EQ(command.command.pid, 7);
  EXPECT_EQ(command.command.stream, 2u);
  EXPECT_EQ(command.command.command, c.command);
  c.command = std::string(5000, 'x');
  const std::string cut = qel_wire::process_command_text(c);
  ASSERT_TRUE(qel_wire::parse_process_command(cut, &c));
  EXPECT_EQ(c.command.size(), qel_wire::kMaxCommandText);
  EXPECT_EQ(c.command.substr(c.command.size() - 3), "...");

  qel_wire::TestCaseWindow w;
  w.start = false;
  w.ordinal = 3;
  w.next = {4294967295u, 1, 0};
  const std::string text = qel_wire::test_case_window_text(w);
  EXPECT_EQ(text, "test-case-window stop=3 node=4294967295 cond=1 mcdc=0");
  const auto window = property(TestCaseWindow, text);
  ASSERT_EQ(window.index, qelc::DataIndex::TestCaseWindow);
  EXPECT_FALSE(window.window.start);
  EXPECT_EQ(window.window.ordinal, 3u);
  EXPECT_EQ(window.window.next, w.next);
  EXPECT_TRUE(
      property(TestCaseWindow, "test-case-window start=1 node=1 cond=2 mcdc=3").window.start);

  for (const std::string bad :
       {"test-case-window start=0 node=1 cond=1 mcdc=1",
        "test-case-window start=1 node=4294967296 cond=1 mcdc=1",
        "test-case-window begin=1 node=1 cond=1 mcdc=1", "test-case-window start=1 node=1 cond=1",
        "test-case-window start=1 node=1 cond=1 mcdc=1 ", "process-command pid=1 stream=1",
        "process-command pid=x stream=1 command=a"}) {
    const auto m = property(ProcessEnd, bad);
    EXPECT_EQ(m.index, qelc::DataIndex::None) << bad;
    EXPECT_FALSE(m.understood) << bad;
  }
}

TEST(ProtocolRoundTrip, CrashTextsAndTheirDataLists) {
  const auto crash =
      property(Crash, qel_wire::crash_text("two\nlines", "signal", "SIGSEGV (signal 11)"));
  ASSERT_TRUE(crash.understood);
  EXPECT_EQ(crash.crash.name, "two\nlines");
  EXPECT_EQ(crash.crash.testcase, "0");
  EXPECT_EQ(crash.crash.type, "signal");
  EXPECT_EQ(crash.crash.cause, "SIGSEGV (signal 11)");

  for (bool little : {true, false}) {
    const std::string nodes =
        qel_wire::node_entry(qel_wire::node_record(5, 7, 9, little), little) +
        qel_wire::node_entry(qel_wire::node_record(0x0102, 3, 0, little), little);
    auto dd = property(CrashLastDD, qel_wire::data_text("p", nodes));
    ASSERT_TRUE(dd.understood) << little;
    ASSERT_EQ(dd.last.entries.size(), 2u);
    EXPECT_EQ(dd.last.entries[0].unit, 5u);
    EXPECT_EQ(dd.last.entries[0].second, 7u);
    EXPECT_EQ(dd.last.entries[1].unit, 0x0102u);
    EXPECT_EQ(dd.last.entries[1].second, 3u);

    const std::string conds =
        qel_wire::cond_entry(qel_wire::cond_record(4, 6, true, 1, little), little);
    auto cond = property(CrashLastCond, qel_wire::data_text("p", conds));
    ASSERT_TRUE(cond.understood);
    ASSERT_EQ(cond.last.entries.size(), 1u);
    EXPECT_EQ(cond.last.entries[0].unit, 4u);
    EXPECT_EQ(cond.last.entries[0].second, 6u);
    EXPECT_EQ(cond.last.entries[0].third, qel_wire::kHeld);
  }

  // MC/DC records have one layout, the one with the flag set.
  const std::string mcdcs =
      qel_wire::mcdc_entry(qel_wire::mcdc_record(3, 9, true, 0xFFFFFF1Bu), true) +
      qel_wire::mcdc_entry(qel_wire::mcdc_record(3, 10, false, qel_wire::kAllUnset), true);
  auto m = property(CrashLastMCDC, qel_wire::data_text("p", mcdcs));
  ASSERT_TRUE(m.understood);
  ASSERT_EQ(m.last.entries.size(), 2u);
  EXPECT_EQ(m.last.entries[0].unit, 3u);
  EXPECT_EQ(m.last.entries[0].second, 9u);
  EXPECT_EQ(m.last.entries[0].conds, "012");
  EXPECT_EQ(m.last.entries[1].second, 10u);
  EXPECT_EQ(m.last.entries[1].conds, "");
}

TEST(ProtocolRoundTrip, LeakReportLines) {
  void* block = QelNew(24, "src/a b.c", "make_it", 42);
  ASSERT_NE(block, nullptr);
  const qel_leak::Report report = qel_leak::make_report();
  QelDelete(block);
  ASSERT_EQ(report.lines.size(), 2u);
  const auto header = property(MemoryLeak, report.lines[0]);
  ASSERT_TRUE(header.understood);
  EXPECT_EQ(header.leak.kind, qelc::LeakLine::Kind::Header);
  const auto line = property(MemoryLeak, report.lines[1]);
  ASSERT_TRUE(line.understood);
  EXPECT_EQ(line.leak.kind, qelc::LeakLine::Kind::Block);
  EXPECT_EQ(line.leak.size, 24u);
  EXPECT_EQ(line.leak.file, "src/a b.c");
  EXPECT_EQ(line.leak.function, "make_it");
  EXPECT_EQ(line.leak.line, 42);

  const qel_leak::Report empty = qel_leak::make_report();
  ASSERT_EQ(empty.lines.size(), 2u);
  const auto nothing = property(MemoryLeak, empty.lines[1]);
  ASSERT_TRUE(nothing.understood);
  EXPECT_EQ(nothing.leak.kind, qelc::LeakLine::Kind::Nothing);
}

TEST(ProtocolRoundTrip, TestCaseEvents) {
  using qelc::TestCaseEvent;
  const auto created = decoded<TestCaseEvent>(qelc::Channel::TestCase,
                                              text_message(qel_wire::created_event("tc 1"), false));
  EXPECT_EQ(created.kind, TestCaseEvent::Kind::Created);
  EXPECT_EQ(created.arg, "tc 1");
  const auto unnamed = decoded<TestCaseEvent>(
      qelc::Channel::TestCase, text_message(qel_wire::created_event(nullptr), false));
  EXPECT_EQ(unnamed.arg, "");
  for (auto kind : {qel_wire::TestCaseEvent::Started, qel_wire::TestCaseEvent::Stopped}) {
    const auto text = qel_wire::number_event(kind);
    const auto e = decoded<TestCaseEvent>(qelc::Channel::TestCase, Bytes(text.begin(), text.end()));
    EXPECT_EQ(e.kind, kind == qel_wire::TestCaseEvent::Started ? TestCaseEvent::Kind::Started
                                                               : TestCaseEvent::Kind::Stopped);
    EXPECT_EQ(e.arg, "0");
  }
}

std::string value_item(const char* name, int code, ...) {
  char out[qel_text::kItemBuffer];
  va_list args;
  va_start(args, code);
  const int n = qel_text::format_item(out, name, code, args);
  va_end(args);
  return n < 0 ? std::string() : std::string(out, static_cast<std::size_t>(n));
}

TEST(ProtocolRoundTrip, ValueRecordsWithEveryTag) {
  // Every type code the probe takes, and the tag the collector must know.
  const std::string items[] = {
      value_item("s", QEL_STRING, "x$y#z"),
      value_item("bt", QEL_BOOL_TEXT, "true"),
      value_item("cu", QEL_CHAR_U, 'A'),
      value_item("uc", QEL_UCHAR, 'B'),
      value_item("b", QEL_BOOL, 1),
      value_item("us", QEL_USHORT, 65535),
      value_item("ul", QEL_ULONG, 4294967295ul),
      value_item("ull", QEL_ULONGLONG, 18446744073709551615ull),
      value_item("cs", QEL_CHAR_S, 'C'),
      value_item("c", QEL_CHAR, 'D'),
      value_item("sh", QEL_SHORT, -32768),
      value_item("i", QEL_INT, -5),
      value_item("l", QEL_LONG, -3l),
      value_item("ll", QEL_LONGLONG, -5000000000ll),
      value_item("f", QEL_FLOAT, 1.5),
      value_item("d", QEL_DOUBLE, -2.25),
      value_item("ld", QEL_LONGDOUBLE, 1.5L),
  };
  std::string text = "f1";
  for (const std::string& item : items) text += item;
  const auto r = decoded<qelc::ValueRecord>(qelc::Channel::Value, text_message(text));
  EXPECT_EQ(r.header, "f1");
  ASSERT_EQ(r.items.size(), sizeof(items) / sizeof(items[0]));
  EXPECT_EQ(r.items[0].name, "s");
  EXPECT_EQ(r.items[0].tag, "QEL_STRING");
  EXPECT_EQ(r.items[0].value, "x$y#z");
  EXPECT_EQ(r.items[1].tag, "QEL_BOOL");
  EXPECT_EQ(r.items[7].value, "18446744073709551615");
  EXPECT_EQ(r.items[13].name, "ll");
  EXPECT_EQ(r.items[13].tag, "QEL_LONGLONG");
  EXPECT_EQ(r.items[13].value, "-5000000000");
  EXPECT_EQ(r.items[16].tag, "QEL_LONGDOUBLE");
  EXPECT_EQ(r.items[16].value, "1.500000");
}

TEST(ProtocolRoundTrip, TimingRecords) {
  const auto t = decoded<qelc::TimingMsg>(qelc::Channel::Timing,
                                          text_message(qel_wire::timing_text(-1, 0, 2147483647)));
  EXPECT_EQ(t.a, -1);
  EXPECT_EQ(t.b, 0);
  EXPECT_EQ(t.c, 2147483647);
  const auto low = decoded<qelc::TimingMsg>(qelc::Channel::Timing,
                                            text_message(qel_wire::timing_text(INT32_MIN, 1, -1)));
  EXPECT_EQ(low.a, INT32_MIN);
}

TEST(ProtocolRoundTrip, EverySenderUsesItsChannelsPort) {
  // The runtime opens its sockets from the same table the collector
  // listens by; each channel has one port and one name.
  EXPECT_EQ(QelSendDD().port(), qelc::channelInfo(qelc::Channel::Node).port);
  EXPECT_EQ(QelSendCond().port(), qelc::channelInfo(qelc::Channel::Cond).port);
  EXPECT_EQ(QelSendMCDC().port(), qelc::channelInfo(qelc::Channel::Mcdc).port);
  for (const auto& e : qelc::kChannels) EXPECT_EQ(&qelc::channelInfo(e.channel), &e);
}

}  // namespace
