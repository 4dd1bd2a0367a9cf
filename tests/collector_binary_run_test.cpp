// The binary saved run (.qelrun): messages as the receiver decoded them read
// back into the same messages with their senders' names, a file of counts
// far smaller than its JSON lines, damaged files refused at their offset,
// and qelcollect report reading it beside JSON lines.
#include <gtest/gtest.h>

#include <sstream>

#include "collection.hpp"
#include "qelmq/protocol/messages.h"
#include "report_fixtures.h"
#include "runfile.hpp"
#include "text_report.hpp"
#include "verbose_report.h"

using namespace qelc;

namespace {

namespace wire = qel_wire;

// A message as the receiver hands it over: decoded, with its bytes kept
// where its kind needs them.
Message received(Channel c, const std::string& bytes, const std::string& origin = "") {
  Message m;
  m.channel = c;
  m.port = static_cast<uint16_t>(channelInfo(c).port + 100);
  m.origin = origin;
  const auto* d = reinterpret_cast<const uint8_t*>(bytes.data());
  m.body = decode(c, d, bytes.size());
  keepWire(&m, d, bytes.size());
  return m;
}

std::string nodeBytes(int unit, int node, int value, int32_t count, int32_t seq) {
  uint8_t b[wire::kMaxCountedMessage] = {};
  const std::size_t n =
      wire::encode_counted(wire::node_record(unit, node, value, true), count, seq, true, b);
  return std::string(reinterpret_cast<const char*>(b), n);
}

std::string withZero(const std::string& text) { return text + std::string(1, '\0'); }

// Every kind the receiver decodes, from the bytes a runtime sends, spread
// over three senders.
std::vector<Message> liveRun() {
  std::vector<Message> v;
  uint8_t b[wire::kMaxCountedMessage] = {};
  const auto bytes = [&](std::size_t n) {
    return std::string(reinterpret_cast<const char*>(b), n);
  };
  v.push_back(received(Channel::Node, nodeBytes(1, 2, 3, 40, 1), "proc-a"));
  v.push_back(received(Channel::Node, nodeBytes(32767, 65535, 0, -1, -1), "proc-b"));
  v.push_back(received(Channel::Node, nodeBytes(1, 0, 7, 1, 2), "proc-a"));
  v.push_back(received(Channel::Node,
                       bytes(wire::encode_unit_identity(5, 0x89ABCDEF01234567ull, 3, true, b)),
                       "proc-a"));
  v.push_back(received(
      Channel::Cond,
      bytes(wire::encode_counted(wire::cond_record(1, 4, true, 7, true), 2, 1, true, b)), ""));
  v.push_back(
      received(Channel::Cond,
               bytes(wire::encode_counted(wire::cond_record(1, 3, false, 7, true), 9, 2, true, b)),
               "proc-b"));
  v.push_back(received(
      Channel::Mcdc,
      bytes(wire::encode_mcdc(wire::mcdc_record(1, 3, true, 0xFFFFFF5Fu), 7, 5, 1, true, b)),
      "proc-a"));
  wire::WideCodes wide;
  wide.word[0] = 0x5F5F5F5F;
  wide.word[1] = 0x1B1B1B1B;
  wide.word[2] = 0xFFFF5555;
  v.push_back(received(Channel::Mcdc,
                       bytes(wire::encode_wide_mcdc(1, 9, false, wide, 40, 7, 2, 4, true, b)),
                       "proc-a"));
  v.push_back(received(Channel::Property,
                       withZero(wire::property_text(-1, wire::module_text("/opt/lib\xff/x.so"))),
                       "proc-a"));
  v.push_back(
      received(Channel::Property, withZero(wire::property_text(1, "not a crash text")), "proc-a"));
  v.push_back(received(Channel::TestCase, wire::created_event("case \xc3\xa9"), "proc-b"));
  v.push_back(received(Channel::TestCase, std::string("1 0"), "proc-b"));
  const auto stop = wire::stop_event(wire::TestVerdict::Failed);
  v.push_back(received(Channel::TestCase, std::string(stop.begin(), stop.end()), "proc-b"));
  v.push_back(received(Channel::Value, withZero("f$a#QEL_INT#-5$s#QEL_STR#x\ty"), "proc-a"));
  v.push_back(received(Channel::Timing, withZero("1 2 -3"), ""));
  // Malformed on the wire: kept as the receiver described it.
  v.push_back(received(Channel::Node, std::string("\x81\x02", 2), "proc-c"));
  Message huge;
  huge.channel = Channel::Value;
  huge.port = 15561;
  huge.body = malformed("message of 9000000 bytes, above the limit", b, 8);
  std::get<Malformed>(huge.body).size = 9000000;
  v.push_back(huge);
  return v;
}

std::string encode(const std::vector<Message>& run) {
  BinaryRunEncoder enc;
  std::string file = BinaryRunEncoder::header();
  double t = 0;
  for (const Message& m : run) enc.add(m, t += 0.25, &file);
  return file;
}

bool decodeAll(const std::string& file, std::vector<Message>* out, std::vector<double>* times,
               std::string* error) {
  return readBinaryRun(
      reinterpret_cast<const uint8_t*>(file.data()), file.size(),
      [&](Message&& m, double t) {
        out->push_back(std::move(m));
        if (times) times->push_back(t);
      },
      error);
}

std::string reportOf(const std::vector<Message>& run) {
  Collection c;
  for (const Message& m : run) c.add(m);
  return qeltest::verboseTextReport(c);
}

}  // namespace

TEST(BinaryRun, EveryMessageReadsBackAsReceived) {
  const std::vector<Message> live = liveRun();
  const std::string file = encode(live);
  std::vector<Message> back;
  std::vector<double> times;
  std::string error;
  ASSERT_TRUE(decodeAll(file, &back, &times, &error)) << error;
  ASSERT_EQ(back.size(), live.size());
  for (std::size_t i = 0; i < live.size(); ++i) {
    SCOPED_TRACE(toJson(live[i], 0));
    EXPECT_EQ(toJson(back[i], 0), toJson(live[i], 0));
    EXPECT_EQ(back[i].channel, live[i].channel);
    EXPECT_EQ(back[i].port, live[i].port);
    EXPECT_EQ(back[i].origin, live[i].origin);
    EXPECT_EQ(back[i].wire, live[i].wire);
    EXPECT_DOUBLE_EQ(times[i], 0.25 * static_cast<double>(i + 1));
  }
  EXPECT_EQ(reportOf(back), reportOf(live));
  // Each sender's name is written once, however often it sends.
  for (const char* origin : {"proc-a", "proc-b", "proc-c"}) {
    const std::size_t first = file.find(origin);
    ASSERT_NE(first, std::string::npos) << origin;
    EXPECT_EQ(file.find(origin, first + 1), std::string::npos) << origin;
  }
}

TEST(BinaryRun, MessagesWithoutTheirBytesStillReadBack) {
  // Built in a program rather than received: a property and a value.
  Message p;
  p.channel = Channel::Property;
  p.port = 15559;
  PropertyMsg crash;
  crash.index = DataIndex::Crash;
  crash.crash = CrashText{"prog", "3", "SIGSEGV", "null \"pointer\"\n"};
  p.body = crash;
  p.origin = "x";
  Message v;
  v.channel = Channel::Value;
  v.port = 15561;
  v.body = ValueRecord{"g", {{"c", "QEL_CHAR", "\xff\x80"}}};
  // A count on a channel that is not its own is kept as it is too.
  Message odd;
  odd.channel = Channel::Timing;
  odd.port = 1;
  odd.body = NodeMsg{1, 2, 3, 4, 5};
  const std::vector<Message> run{p, v, odd};
  std::vector<Message> back;
  std::string error;
  ASSERT_TRUE(decodeAll(encode(run), &back, nullptr, &error)) << error;
  ASSERT_EQ(back.size(), run.size());
  for (std::size_t i = 0; i < run.size(); ++i) {
    EXPECT_EQ(toJson(back[i], 1), toJson(run[i], 1));
    EXPECT_EQ(back[i].origin, run[i].origin);
  }
}

TEST(BinaryRun, CountsTakeAFewBytesEachAndKeepEverySequenceNumber) {
  // What a counting runtime sends: every node of a unit once per send,
  // numbered, from two processes in turn.
  std::vector<Message> run;
  for (int send = 0; send < 20; ++send)
    for (int node = 0; node < 500; ++node)
      run.push_back(received(
          Channel::Node, nodeBytes(1 + send % 2, node, 0, 1 + node % 300, send * 500 + node + 1),
          send % 2 ? "b" : "a"));
  const std::string file = encode(run);
  std::string jsonl;
  for (const Message& m : run) jsonl += toJson(m, 1234.5) + "\n";
  EXPECT_LT(file.size(), run.size() * 8) << file.size();
  EXPECT_LT(file.size() * 10, jsonl.size());

  std::vector<Message> back;
  std::string error;
  ASSERT_TRUE(decodeAll(file, &back, nullptr, &error)) << error;
  Collection a, b;
  for (const Message& m : run) a.add(m);
  for (const Message& m : back) b.add(m);
  EXPECT_EQ(b.sequenceGaps(), a.sequenceGaps());
  EXPECT_EQ(b.count(Channel::Node), a.count(Channel::Node));
  EXPECT_EQ(reportOf(back), reportOf(run));
}

TEST(BinaryRun, DamagedFilesAreRefusedAtTheirOffset) {
  const std::vector<Message> live = liveRun();
  const std::string file = encode(live);
  // Cut anywhere: never a crash, never a message that was not written,
  // and an error naming an offset inside the file unless the cut falls
  // between records.
  for (std::size_t cut = 0; cut < file.size(); ++cut) {
    std::vector<Message> back;
    std::string error;
    const bool fine = decodeAll(file.substr(0, cut), &back, nullptr, &error);
    ASSERT_LE(back.size(), live.size());
    for (std::size_t i = 0; i < back.size(); ++i) EXPECT_EQ(toJson(back[i], 0), toJson(live[i], 0));
    if (cut < kBinaryRunHeaderSize) {
      EXPECT_FALSE(fine) << cut;
    } else if (!fine) {
      EXPECT_EQ(error.rfind("offset ", 0), 0u) << error;
      EXPECT_NE(error.find("ends inside a record"), std::string::npos) << error;
    }
  }
  // Every byte changed in turn: read or refused, never a crash.
  for (std::size_t at = 0; at < file.size(); ++at) {
    std::string bad = file;
    bad[at] = static_cast<char>(bad[at] ^ 0xA5);
    std::vector<Message> back;
    std::string error;
    if (!decodeAll(bad, &back, nullptr, &error)) {
      EXPECT_EQ(error.rfind("offset ", 0), 0u) << error;
    }
  }
  const auto refused = [](const std::string& f) {
    std::vector<Message> back;
    std::string error;
    EXPECT_FALSE(decodeAll(f, &back, nullptr, &error));
    return error;
  };
  const std::string head = BinaryRunEncoder::header();
  std::string later = head;
  later[kBinaryRunMagic.size()] = 9;
  EXPECT_EQ(refused(later), "offset 8: binary run of version 9 (this collector reads version 1)");
  EXPECT_EQ(refused(head + "\x7f"), "offset 9: unknown record tag 127");
  // An origin index that was never given, and a count with no port yet.
  EXPECT_EQ(refused(head + std::string("\x02\x00\x01\x00\x05\x01\x00", 7)),
            "offset 9: a number above 0");
  EXPECT_EQ(refused(head + std::string("\x80\x00", 2)),
            "offset 9: a count record before any of its kind named its port");
  EXPECT_EQ(refused(head + std::string("\x84\x00\x01\x00\x02\x00\x00\x01\x01", 9)),
            "offset 9: a field out of its range");
  // A varint that never ends.
  EXPECT_EQ(refused(head + std::string("\x02") + std::string(12, '\xff')),
            "offset 9: a number of more than 64 bits");
}

TEST(BinaryRun, ReportReadsBinaryAndJsonLinesAlikeAndConverts) {
  const std::string dir = qeltest::freshDir("binrun");
  const std::vector<Message> live = liveRun();
  std::string error;
  RunFileWriter bin, json;
  ASSERT_EQ(runFormatForName(dir + "/a.qelrun"), RunFormat::Binary);
  ASSERT_EQ(runFormatForName(dir + "/a.jsonl"), RunFormat::Jsonl);
  ASSERT_TRUE(bin.open(dir + "/a.qelrun", RunFormat::Binary, &error)) << error;
  ASSERT_TRUE(json.open(dir + "/b.jsonl", RunFormat::Jsonl, &error)) << error;
  double t = 0;
  for (const Message& m : live) {
    bin.write(m, t += 1.5);
    json.write(m, t);
  }
  ASSERT_TRUE(bin.close());
  ASSERT_TRUE(json.close());

  int rc = 0, rcJson = 0;
  const std::string fromBinary =
      qeltest::runQelcollect("report --verbose " + dir + "/a.qelrun", &rc);
  const std::string fromJson =
      qeltest::runQelcollect("report --verbose " + dir + "/b.jsonl", &rcJson);
  EXPECT_EQ(fromBinary, fromJson);
  EXPECT_EQ(rc, rcJson);
  EXPECT_NE(fromBinary.find("case \xc3\xa9"), std::string::npos) << fromBinary;
  // Both kinds in one call, each a test of its own.
  const std::string mixed =
      qeltest::runQelcollect("report " + dir + "/a.qelrun " + dir + "/b.jsonl --verbose", &rc);
  EXPECT_EQ(rc, rcJson) << mixed;
  EXPECT_NE(mixed.find("Malformed messages: 4"), std::string::npos) << mixed;

  // Turned into JSON lines, the binary run is the JSON-lines run.
  const std::string converted = qeltest::runQelcollect(
      "report " + dir + "/a.qelrun --no-report --save-jsonl " + dir + "/c.jsonl", &rc);
  EXPECT_EQ(qeltest::readText(dir + "/c.jsonl"), qeltest::readText(dir + "/b.jsonl"));

  // A run cut short names the file and where.
  const std::string whole = qeltest::readText(dir + "/a.qelrun");
  qeltest::writeText(dir + "/cut.qelrun", whole.substr(0, whole.size() - 3));
  const std::string cut = qeltest::runQelcollect("report " + dir + "/cut.qelrun", &rc);
  EXPECT_EQ(rc, 2) << cut;
  EXPECT_NE(cut.find(dir + "/cut.qelrun: offset "), std::string::npos) << cut;
  EXPECT_NE(cut.find("ends inside a record"), std::string::npos) << cut;

  EXPECT_NE(qeltest::runQelcollect("--out-format xml --out x -- true", &rc).find("--out-format"),
            std::string::npos);
  EXPECT_EQ(rc, 2);
  EXPECT_NE(
      qeltest::runQelcollect("--out-format binary -- true", &rc).find("--out-format needs --out"),
      std::string::npos);
  EXPECT_EQ(rc, 2);
}
