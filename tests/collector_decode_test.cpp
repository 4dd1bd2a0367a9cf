// Decoding of every wire format, from the runtime's documented byte strings,
// and the handling of short, long and garbled messages.
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "collection.hpp"
#include "decode.hpp"
#include "qeltools/json_io.hpp"
#include "runfile.hpp"
#include "text_report.hpp"

using namespace qelc;

namespace {

Body dec(Channel c, const std::vector<uint8_t>& b) { return decode(c, b.data(), b.size()); }

Body decText(Channel c, const std::string& s, bool zero = true) {
  std::vector<uint8_t> b(s.begin(), s.end());
  if (zero) b.push_back(0);
  return dec(c, b);
}

// By value: the decoded body is usually a temporary.
template <class T>
T as(const Body& b) {
  if (const auto* bad = std::get_if<Malformed>(&b)) ADD_FAILURE() << "malformed: " << bad->reason;
  const T* p = std::get_if<T>(&b);
  return p ? *p : T{};
}

const std::vector<uint8_t> kNode = {0x81, 0x02, 0x03, 0x04, 0x05, 0x06, 0x00, 0x00, 0x30,
                                    0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00, 0x05, 0x31};
const std::vector<uint8_t> kCond = {0x81, 0x02, 0x03, 0x04, 0x00, 0xCC, 0x00, 0x09, 0x30,
                                    0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00, 0x05, 0x31};
const std::vector<uint8_t> kMcdc = {0x81, 0x02, 0x80, 0x05, 0x4F, 0xFF, 0xFF, 0xFF, 0x00, 0x07,
                                    0x30, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x03};

}  // namespace

TEST(CollectorDecode, BinaryRecordsFromDocumentedBytes) {
  const auto& n = as<NodeMsg>(dec(Channel::Node, kNode));
  EXPECT_EQ(n.unit, 0x0102);
  EXPECT_EQ(n.node, 0x0304);
  EXPECT_EQ(n.value, 0x0506);
  EXPECT_EQ(n.count, 3u);
  EXPECT_EQ(n.seq, 5u);

  const auto& c = as<CondMsg>(dec(Channel::Cond, kCond));
  EXPECT_EQ(c.unit, 0x0102);
  EXPECT_EQ(c.cond, 0x0304);
  EXPECT_TRUE(c.held);
  EXPECT_EQ(c.group, 9);
  EXPECT_EQ(c.count, 3u);
  EXPECT_EQ(c.seq, 5u);
  auto notHeld = kCond;
  notHeld[5] = 0x33;
  EXPECT_FALSE(as<CondMsg>(dec(Channel::Cond, notHeld)).held);

  const auto& m = as<McdcMsg>(dec(Channel::Mcdc, kMcdc));
  EXPECT_EQ(m.unit, 0x0102);
  EXPECT_EQ(m.decision, 5);
  EXPECT_TRUE(m.outcome);
  EXPECT_EQ(m.codes, 0xFFFFFF4Fu);
  EXPECT_EQ(m.group, 7);
  EXPECT_EQ(m.count, 2u);
  EXPECT_EQ(m.seq, 3u);
  EXPECT_EQ(codesText(m.codes), "TF");
}

TEST(CollectorDecode, UnitAndDecisionAreFifteenBits) {
  auto node = kNode;
  node[0] = 0xFF;  // unit 0x7F02 with the marker bit
  EXPECT_EQ(as<NodeMsg>(dec(Channel::Node, node)).unit, 0x7F02);
  auto mc = kMcdc;
  mc[2] = 0x7F;  // outcome 0, decision high bits all set
  mc[3] = 0xFF;
  const auto& m = as<McdcMsg>(dec(Channel::Mcdc, mc));
  EXPECT_FALSE(m.outcome);
  EXPECT_EQ(m.decision, 0x7FFF);
}

TEST(CollectorDecode, ConditionSlots) {
  // Slot 0 lives in the top pair of the least significant byte.
  EXPECT_EQ(slotCode(0xFFFFFF7F, 0), CondCode::True);
  EXPECT_EQ(slotCode(0xFFFFFF3F, 0), CondCode::False);
  EXPECT_EQ(slotCode(0xFFFFFF3F, 1), CondCode::Unset);
  // Indices 0 then 3: slots 1 and 2 short-circuited.
  EXPECT_EQ(codesText(0xFFFFFF68), "T--F");
  EXPECT_EQ(slotCode(0x7FFFFFFF, 12), CondCode::True);
  EXPECT_EQ(slotCode(0xFDFFFFFF, 15), CondCode::True);
  EXPECT_EQ(codesText(0xFFFFFFFF), "");
  EXPECT_EQ(codesText(0x00000000), std::string(16, 'F'));
  // Text back to the word: the inverse, slot 0 first.
  EXPECT_EQ(codesFromText("T--F"), 0xFFFFFF68u);
  EXPECT_EQ(codesFromText(""), 0xFFFFFFFFu);
  for (const std::string t : {"T", "F.T", "-TF-TF-TF-TF-TFT", "FFFFFFFFFFFFFFFF"})
    EXPECT_EQ(codesText(codesFromText(t)), t);
}

TEST(CollectorDecode, PropertyMessages) {
  const auto& p = as<PropertyMsg>(decText(Channel::Property, "MemoryLeak:///abc"));
  EXPECT_EQ(p.index, DataIndex::MemoryLeak);
  EXPECT_EQ(p.text, "abc");
  EXPECT_FALSE(p.understood);  // well formed, but not a report line

  const auto& none = as<PropertyMsg>(decText(Channel::Property, ":///free text"));
  EXPECT_EQ(none.index, DataIndex::None);
  EXPECT_EQ(none.text, "free text");

  const auto& empty = as<PropertyMsg>(decText(Channel::Property, "Crash:///"));
  EXPECT_EQ(empty.index, DataIndex::Crash);
  EXPECT_FALSE(empty.understood);

  const std::string moduleText =
      qel_wire::property_text(LoadedModule, "module path=/usr/lib/libq.so");
  EXPECT_EQ(moduleText, ":///module path=/usr/lib/libq.so");
  const auto& module = as<PropertyMsg>(decText(Channel::Property, moduleText));
  EXPECT_EQ(module.index, DataIndex::LoadedModule);
  EXPECT_EQ(module.text, "/usr/lib/libq.so");
  EXPECT_TRUE(module.understood);
  const auto& noPath = as<PropertyMsg>(decText(Channel::Property, ":///module path="));
  EXPECT_EQ(noPath.index, DataIndex::None);
  EXPECT_FALSE(noPath.understood);
}

TEST(CollectorDecode, LeakReportLines) {
  const auto& h = as<PropertyMsg>(
      decText(Channel::Property, "MemoryLeak:///2024-05-01 10:11:12  size file function line pid"));
  ASSERT_TRUE(h.understood);
  EXPECT_EQ(h.leak.kind, LeakLine::Kind::Header);
  EXPECT_EQ(h.leak.stamp, "2024-05-01 10:11:12");

  const auto& b = as<PropertyMsg>(decText(Channel::Property, "MemoryLeak:///16 a.c f 12 4242"));
  ASSERT_TRUE(b.understood);
  EXPECT_EQ(b.leak.kind, LeakLine::Kind::Block);
  EXPECT_EQ(b.leak.size, 16u);
  EXPECT_EQ(b.leak.file, "a.c");
  EXPECT_EQ(b.leak.function, "f");
  EXPECT_EQ(b.leak.line, 12);
  EXPECT_EQ(b.leak.pid, 4242);

  bool ok = false;
  const LeakLine spaced = parseLeakLine("8 C:\\My Files\\x.c make_it 3 7", &ok);
  ASSERT_TRUE(ok);
  EXPECT_EQ(spaced.file, "C:\\My Files\\x.c");
  EXPECT_EQ(spaced.function, "make_it");
  EXPECT_EQ(parseLeakLine("0 zero zero 0 0", &ok).kind, LeakLine::Kind::Nothing);
  EXPECT_TRUE(ok);
  parseLeakLine("16 f 12 34", &ok);  // a field is missing
  EXPECT_FALSE(ok);
  parseLeakLine("x a.c f 1 2", &ok);
  EXPECT_FALSE(ok);
}

TEST(CollectorDecode, CrashTexts) {
  const auto& c = as<PropertyMsg>(decText(
      Channel::Property,
      "Crash:///name:///demo\ntestcase:///0\ntype:///SIGSEGV\\nat x\ncause:///null deref\n"));
  ASSERT_TRUE(c.understood);
  EXPECT_EQ(c.crash.name, "demo");
  EXPECT_EQ(c.crash.testcase, "0");
  EXPECT_EQ(c.crash.type, "SIGSEGV\\nat x");
  EXPECT_EQ(c.crash.cause, "null deref");

  // Only the name may hold line feeds; the fixed lines are read from the end.
  CrashText multi;
  ASSERT_TRUE(parseCrashText("name:///a\nb\ntestcase:///0\ntype:///t\ncause:///c\n", &multi));
  EXPECT_EQ(multi.name, "a\nb");

  CrashText bad;
  EXPECT_FALSE(parseCrashText("name:///a\ntestcase:///0\ntype:///t\n", &bad));
  EXPECT_FALSE(parseCrashText("name:///a\ntestcase:///0\ntype:///t\ncause:///c", &bad));
}

TEST(CollectorDecode, CrashLastDataLists) {
  const auto& dd = as<PropertyMsg>(
      decText(Channel::Property,
              "CrashLastDD:///name:///n\ntestcase:///0\ndata:///5 7 0 0 0 1 0;6 8 0 0 0 1 0;\n"));
  ASSERT_TRUE(dd.understood);
  ASSERT_EQ(dd.last.entries.size(), 2u);
  EXPECT_EQ(dd.last.entries[0].unit, 5u);
  EXPECT_EQ(dd.last.entries[0].second, 7u);
  EXPECT_EQ(dd.last.entries[1].second, 8u);

  CrashLastText t;
  ASSERT_TRUE(parseCrashLastText(DataIndex::CrashLastCond,
                                 "name:///n\ntestcase:///0\ndata:///1 2 204 0 0 0 1 0;\n", &t));
  EXPECT_EQ(t.entries.at(0).third, 204u);

  // Two blanks before the condition text; an empty one leaves three.
  ASSERT_TRUE(parseCrashLastText(
      DataIndex::CrashLastMCDC,
      "name:///n\ntestcase:///0\ndata:///3 9  012 0 0 0 1 0;3 9   0 0 0 1 0;\n", &t));
  ASSERT_EQ(t.entries.size(), 2u);
  EXPECT_EQ(t.entries[0].second, 9u);
  EXPECT_EQ(t.entries[0].conds, "012");
  EXPECT_EQ(t.entries[1].conds, "");

  ASSERT_TRUE(
      parseCrashLastText(DataIndex::CrashLastDD, "name:///n\ntestcase:///0\ndata:///\n", &t));
  EXPECT_TRUE(t.entries.empty());
  EXPECT_FALSE(parseCrashLastText(DataIndex::CrashLastDD,
                                  "name:///n\ntestcase:///0\ndata:///5 7 0 0 0 1 0\n", &t));
  EXPECT_FALSE(parseCrashLastText(DataIndex::CrashLastMCDC,
                                  "name:///n\ntestcase:///0\ndata:///3 9 x 012 0 0 0 1 0;\n", &t));
}

TEST(CollectorDecode, TestCaseEvents) {
  const auto& c = as<TestCaseEvent>(decText(Channel::TestCase, "0 tc1", false));
  EXPECT_EQ(c.kind, TestCaseEvent::Kind::Created);
  EXPECT_EQ(c.arg, "tc1");
  EXPECT_EQ(as<TestCaseEvent>(decText(Channel::TestCase, "0 ", false)).arg, "");
  EXPECT_EQ(as<TestCaseEvent>(decText(Channel::TestCase, "1 0", false)).kind,
            TestCaseEvent::Kind::Started);
  EXPECT_EQ(as<TestCaseEvent>(decText(Channel::TestCase, "2 0", false)).kind,
            TestCaseEvent::Kind::Stopped);
}

TEST(CollectorDecode, ValueTextsSplitIntoItems) {
  const auto& r = as<ValueRecord>(decText(Channel::Value, "f1$a#QEL_INT#5$s#QEL_STRING#xy"));
  EXPECT_EQ(r.header, "f1");
  ASSERT_EQ(r.items.size(), 2u);
  EXPECT_EQ(r.items[0].name, "a");
  EXPECT_EQ(r.items[0].tag, "QEL_INT");
  EXPECT_EQ(r.items[0].value, "5");
  EXPECT_EQ(r.items[1].value, "xy");

  // A '$' or '#' inside a text value does not start a new item.
  const auto& tricky =
      as<ValueRecord>(decText(Channel::Value, "$s#QEL_STRING#a$b#c$n#QEL_LONG#-3"));
  EXPECT_EQ(tricky.header, "");
  ASSERT_EQ(tricky.items.size(), 2u);
  EXPECT_EQ(tricky.items[0].value, "a$b#c");
  EXPECT_EQ(tricky.items[1].value, "-3");

  const auto& emptyRec = as<ValueRecord>(decText(Channel::Value, ""));
  EXPECT_TRUE(emptyRec.header.empty());
  EXPECT_TRUE(emptyRec.items.empty());
}

TEST(CollectorDecode, TimingTexts) {
  const auto& t = as<TimingMsg>(decText(Channel::Timing, "-1 0 2147483647"));
  EXPECT_EQ(t.a, -1);
  EXPECT_EQ(t.b, 0);
  EXPECT_EQ(t.c, 2147483647);
}

TEST(CollectorDecode, LastDataMessages) {
  // Two node entries: unit 5 node 7 value 1, then unit 0x0102 (high bits
  // beyond 0x07 are not carried) node 3.
  const std::vector<uint8_t> node = {1,    0x00, 0x05, 0x00, 0x07, 0x00, 0x01, 0, 0, 0, 1,
                                     0x01, 0x02, 0x00, 0x03, 0x00, 0x00, 0,    0, 0, 2};
  const auto& n = as<LastDataMsg>(dec(Channel::LastData, node));
  ASSERT_EQ(n.entries.size(), 2u);
  EXPECT_EQ(n.entries[0].unit, 5);
  EXPECT_EQ(n.entries[0].id, 7);
  EXPECT_EQ(n.entries[0].value, 1);
  EXPECT_EQ(n.entries[0].number, 1u);
  EXPECT_EQ(n.entries[1].unit, 0x0102);
  EXPECT_EQ(n.entries[1].number, 2u);

  const std::vector<uint8_t> cond = {2,    0x01, 0x02, 0x03, 0x04, 0x00, 0x33,
                                     0x00, 0x09, 0,    0,    0,    51};
  const auto& c = as<LastDataMsg>(dec(Channel::LastData, cond));
  ASSERT_EQ(c.entries.size(), 1u);
  EXPECT_FALSE(c.entries[0].outcome);
  EXPECT_EQ(c.entries[0].group, 9);
  EXPECT_EQ(c.entries[0].number, 51u);

  const std::vector<uint8_t> mc = {3,    0x01, 0x02, 0x80, 0x05, 0x1B, 0xFF, 0xFF,
                                   0xFF, 0x00, 0x07, 0,    0,    0,    4};
  const auto& m = as<LastDataMsg>(dec(Channel::LastData, mc));
  ASSERT_EQ(m.entries.size(), 1u);
  EXPECT_TRUE(m.entries[0].outcome);
  EXPECT_EQ(m.entries[0].id, 5);
  EXPECT_EQ(codesText(m.entries[0].codes), "FT-");  // 0x1B: 00 01 10 11
  EXPECT_EQ(m.entries[0].group, 7);
  EXPECT_EQ(m.entries[0].number, 4u);
}

TEST(CollectorDecode, MalformedMessagesKeepTheirBytes) {
  auto shortNode = kNode;
  shortNode.pop_back();
  auto longMcdc = kMcdc;
  longMcdc.push_back(0);
  auto noMarker = kNode;
  noMarker[0] = 0x01;
  auto badOutcome = kCond;
  badOutcome[5] = 0x77;
  auto badTrailer = kNode;
  badTrailer[17] = '2';

  struct Case {
    Channel ch;
    std::vector<uint8_t> bytes;
  };
  const std::vector<Case> cases = {
      {Channel::Node, shortNode},
      {Channel::Node, {}},
      {Channel::Node, noMarker},
      {Channel::Node, badTrailer},
      {Channel::Cond, badOutcome},
      {Channel::Cond, kMcdc},
      {Channel::Mcdc, longMcdc},
      {Channel::Mcdc, kNode},
      {Channel::Property, {'C', 'r', 'a', 's', 'h', ':', '/', '/', '/'}},  // no terminator
      {Channel::Property, {'X', ':', '/', '/', '/', 0}},                   // unknown prefix
      {Channel::Property, {'a', 'b', 0}},                                  // no ":///"
      {Channel::Property,
       {'M', 'e', 'm', 'o', 'r', 'y', 'L', 'e', 'a', 'k', ':', '/', '/', '/', 'a', 0, 'b', 0}},
      {Channel::TestCase, {'1'}},
      {Channel::TestCase, {'3', ' ', '0'}},
      {Channel::TestCase, {'1', ' ', 'x'}},
      {Channel::TestCase, {'0', 'x'}},
      {Channel::Value, {'f', '$', 'a', 0}},  // '$' but no item
      {Channel::Value,
       {'f', '$', 'a', '#', 'Q', 'E', 'L', '_', 'I', 'N', 'T', '#', '1'}},  // no zero
      {Channel::Timing, {'1', ' ', '2', 0}},
      {Channel::Timing, {'1', ' ', '2', ' ', 'x', 0}},
      {Channel::Timing,
       {'1', ' ', '2', ' ', '9', '9', '9', '9', '9', '9', '9', '9', '9', '9', '9', 0}},
      {Channel::LastData, {}},
      {Channel::LastData, {1}},
      {Channel::LastData, {4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
      {Channel::LastData, {1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},  // 11 bytes after the kind
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const Body b = dec(cases[i].ch, cases[i].bytes);
    const auto* bad = std::get_if<Malformed>(&b);
    ASSERT_NE(bad, nullptr) << "case " << i << " decoded as valid";
    EXPECT_FALSE(bad->reason.empty());
    EXPECT_EQ(bad->bytes, cases[i].bytes) << "case " << i;
  }
  EXPECT_EQ(hexBytes(kNode.data(), 3), "81 02 03");
  EXPECT_EQ(hexBytes(kNode.data(), kNode.size(), 2), "81 02 ..");
}

TEST(CollectorDecode, JsonLinesNameEveryField) {
  Message m{Channel::Mcdc, 15557, dec(Channel::Mcdc, kMcdc)};
  // Times are numbers to the microsecond, written as the JSON library
  // writes numbers: 1.5, not 1.500.
  EXPECT_EQ(toJson(m, 1.5),
            "{\"t_ms\":1.5,\"port\":15557,\"channel\":\"mcdc\",\"kind\":\"mcdc\",\"unit\":258,"
            "\"decision\":5,\"outcome\":true,\"vector\":\"TF\",\"codes\":4294967119,\"group\":7,"
            "\"count\":2,\"seq\":3}");
  // A wide vector names its width and the code words beyond the first; a
  // unit's identity is written as the map writes it.
  McdcMsg wide{1, 9, true, 0xFFFFFF7F, 7, 2, 4, 17, {{0xFFFFFF3F, 0xFFFFFFFF, 0xFFFFFFFF}}};
  EXPECT_EQ(toJson(Message{Channel::Mcdc, 15557, wide}, 0),
            "{\"t_ms\":0.0,\"port\":15557,\"channel\":\"mcdc\",\"kind\":\"mcdc\",\"unit\":1,"
            "\"decision\":9,\"outcome\":true,\"vector\":\"T...............F\",\"codes\":"
            "4294967167,\"conditions\":17,\"more\":[4294967103,4294967295,4294967295],"
            "\"group\":7,\"count\":2,\"seq\":4}");
  EXPECT_EQ(toJson(Message{Channel::Node, 15555, UnitMsg{3, 0x0123456789ABCDEFull, 2}}, 0),
            "{\"t_ms\":0.0,\"port\":15555,\"channel\":\"node\",\"kind\":\"unit\",\"unit\":3,"
            "\"identity\":\"fnv1a64:0123456789abcdef\",\"seq\":2}");
  Message bad{Channel::Node, 15555, dec(Channel::Node, {0x81, 0x02})};
  EXPECT_NE(toJson(bad, 0).find("\"kind\":\"malformed\""), std::string::npos);
  EXPECT_NE(toJson(bad, 0).find("\"bytes\":\"81 02\""), std::string::npos);

  // Control characters, quotes and bytes that are not UTF-8 stay valid JSON.
  EXPECT_EQ(qeltools::jsonStringLiteral(std::string("a\"b\\c\n\x01") + "\xC3\xA9" + "\xFF"),
            "\"a\\\"b\\\\c\\n\\u0001\xC3\xA9\\u00ff\"");
  EXPECT_EQ(qeltools::jsonStringLiteral("\xE0\x80\x80"),
            "\"\\u00e0\\u0080\\u0080\"");  // overlong form
}

TEST(CollectorDecode, RandomAndMutatedBytesNeverBreakTheDecoder) {
  const std::vector<std::vector<uint8_t>> seeds = {
      kNode,
      kCond,
      kMcdc,
      {1, 0x00, 0x05, 0x00, 0x07, 0x00, 0x01, 0, 0, 0, 1},
  };
  const std::string texts[] = {
      "CrashLastMCDC:///name:///n\ntestcase:///0\ndata:///3 9  012 0 0 0 1 0;\n",
      "Crash:///name:///a\ntestcase:///0\ntype:///t\ncause:///c\n",
      "MemoryLeak:///16 a.c f 12 4242",
      "f1$a#QEL_INT#5$s#QEL_STRING#xy",
      "-1 0 2147483647",
  };
  uint32_t x = 12345;
  const auto rnd = [&x] {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    return x;
  };
  std::vector<std::vector<uint8_t>> inputs;
  for (int i = 0; i < 3000; ++i) {
    std::vector<uint8_t> b(rnd() % 48);
    for (auto& c : b) c = static_cast<uint8_t>(rnd());
    inputs.push_back(std::move(b));
  }
  for (const auto& s : seeds)
    for (int i = 0; i < 500; ++i) {
      auto b = s;
      b[rnd() % b.size()] ^= static_cast<uint8_t>(1u << (rnd() % 8));
      inputs.push_back(std::move(b));
    }
  for (const auto& t : texts)
    for (int i = 0; i < 500; ++i) {
      std::vector<uint8_t> b(t.begin(), t.end());
      b.push_back(0);
      b[rnd() % b.size()] = static_cast<uint8_t>(rnd());
      b.resize(rnd() % 2 ? b.size() : rnd() % (b.size() + 1));
      inputs.push_back(std::move(b));
    }
  Collection coll;
  for (const auto& b : inputs) {
    for (const auto& ch : kChannels) {
      const Body body = decode(ch.channel, b.data(), b.size());
      if (const auto* bad = std::get_if<Malformed>(&body)) {
        ASSERT_EQ(bad->size, b.size());
        const std::size_t kept = std::min(b.size(), kMalformedPrefix);
        ASSERT_EQ(bad->bytes, std::vector<uint8_t>(b.begin(), b.begin() + kept));
      }
      Message m{ch.channel, ch.port, body};
      ASSERT_FALSE(toJson(m, 0).empty());
      coll.add(m);
    }
  }
  std::ostringstream report;
  writeTextReport(report, coll);
  EXPECT_GT(coll.malformedCount(), 0u);
}
