// Value probes and method timing: the items QelPrint formats, what it does to
// the caller's buffer, and the records as they reach a collector.
#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <cstdarg>
#include <cstring>
#include <string>
#include <vector>

#include "qelmq/TextSender.h"
#include "qelmq/thread_exit.h"
#include "test_collector.h"
#include "value_item.h"

namespace {

using Clock = std::chrono::steady_clock;
using qel_test::Bytes;
using qel_test::TestCollector;

// Formats one item the way QelPrint does; "<none>" when it adds none.
std::string item(const char* name, int code, ...) {
  char out[qel_text::kItemBuffer];
  va_list args;
  va_start(args, code);
  int n = qel_text::format_item(out, name, code, args);
  va_end(args);
  return n < 0 ? std::string("<none>") : std::string(out, static_cast<size_t>(n));
}

TEST(QelPrintItem, TextAndCharacterCodes) {
  EXPECT_EQ(item("s", 0, "xy"), "$s#QEL_STRING#xy");
  EXPECT_EQ(item("s", 0, ""), "$s#QEL_STRING#");
  EXPECT_EQ(item("b", 1, "true"), "$b#QEL_BOOL#true");
  EXPECT_EQ(item("s", 0, static_cast<const char*>(nullptr)), "<none>");
  EXPECT_EQ(item("b", 1, static_cast<const char*>(nullptr)), "<none>");
  EXPECT_EQ(item("c", 2, 65), "$c#QEL_CHAR_U#A");
  EXPECT_EQ(item("c", 3, 'z'), "$c#QEL_UCHAR#z");
  EXPECT_EQ(item("c", 12, '-'), "$c#QEL_CHAR_S#-");
  EXPECT_EQ(item("c", 13, '7'), "$c#QEL_CHAR#7");
}

TEST(QelPrintItem, IntegerCodesReadTheCallersType) {
  EXPECT_EQ(item("b", 7, 1), "$b#QEL_BOOL#1");
  EXPECT_EQ(item("u", 8, 65535), "$u#QEL_USHORT#65535");
  EXPECT_EQ(item("ul", 9, ULONG_MAX), "$ul#QEL_ULONG#18446744073709551615");
  EXPECT_EQ(item("ull", 10, 12345678901234567890ULL), "$ull#QEL_ULONGLONG#12345678901234567890");
  EXPECT_EQ(item("h", 15, -32768), "$h#QEL_SHORT#-32768");
  EXPECT_EQ(item("a", 16, INT_MIN), "$a#QEL_INT#-2147483648");
  EXPECT_EQ(item("n", 17, -3L), "$n#QEL_LONG#-3");
  EXPECT_EQ(item("n", 17, LONG_MIN), "$n#QEL_LONG#-9223372036854775808");
  EXPECT_EQ(item("m", 18, -5000000000LL), "$m#QEL_LONGLONG#-5000000000");
}

TEST(QelPrintItem, FloatingCodesPrintSixDecimals) {
  EXPECT_EQ(item("f", 21, static_cast<double>(1.25f)), "$f#QEL_FLOAT#1.250000");
  EXPECT_EQ(item("d", 22, -0.5), "$d#QEL_DOUBLE#-0.500000");
  EXPECT_EQ(item("x", 23, 1.5L), "$x#QEL_LONGDOUBLE#1.500000");
}

TEST(QelPrintItem, UnusedCodesAddNothing) {
  for (int code : {4, 5, 6, 11, 14, 19, 20, 24, 25, 28, 30, -1, 1000})
    EXPECT_EQ(item("v", code, 1), "<none>") << code;
}

// The caller's buffer: items append at the position, the header goes to the
// start, nothing else is touched.
class QelPrintBuffer : public ::testing::Test {
 protected:
  void SetUp() override { std::memset(buf, '@', sizeof(buf)); }
  std::string text() const { return std::string(buf, static_cast<size_t>(pos)); }
  // Bytes from `from` on still hold the fill byte.
  bool untouched_from(size_t from) const {
    for (size_t i = from; i < sizeof(buf); ++i)
      if (buf[i] != '@') return false;
    return true;
  }
  char buf[8192];
  int pos = 0;
};

TEST_F(QelPrintBuffer, BuildsTheRecordWithoutTerminators) {
  QelPrint("f1", buf, &pos, 26);
  QelPrint("a", buf, &pos, 16, 5);
  QelPrint("s", buf, &pos, 0, "xy");
  EXPECT_EQ(pos, 30);
  EXPECT_EQ(text(), "f1$a#QEL_INT#5$s#QEL_STRING#xy");
  EXPECT_TRUE(untouched_from(30));
}

TEST_F(QelPrintBuffer, UnusedCodesAndNullTextChangeNothing) {
  for (int code : {4, 5, 6, 11, 14, 19, 20, 24, 25, 28, 30}) QelPrint("v", buf, &pos, code, 7);
  QelPrint("s", buf, &pos, 0, static_cast<const char*>(nullptr));
  EXPECT_EQ(pos, 0);
  EXPECT_TRUE(untouched_from(0));
  // Nothing to write to: ignored rather than crashing.
  QelPrint("a", nullptr, &pos, 16, 1);
  QelPrint("a", buf, nullptr, 16, 1);
  int negative = -4;
  QelPrint("a", buf, &negative, 16, 1);
  EXPECT_EQ(negative, -4);
  EXPECT_TRUE(untouched_from(0));
}

TEST_F(QelPrintBuffer, HeaderGoesToTheStartAndAddsItsLength) {
  QelPrint("a", buf, &pos, 16, 1);  // "$a#QEL_INT#1", 12 characters
  QelPrint("HDR", buf, &pos, 26);
  EXPECT_EQ(pos, 15);
  EXPECT_EQ(std::string(buf, 12), "HDRQEL_INT#1");
}

TEST_F(QelPrintBuffer, OverlongItemIsCutAt1023Characters) {
  std::string name(5000, 'n');
  QelPrint(name.c_str(), buf, &pos, 16, 42);
  ASSERT_EQ(pos, 1023);
  EXPECT_EQ(text(), "$" + std::string(1022, 'n'));
  EXPECT_TRUE(untouched_from(1023));
  // The next item goes right after the cut one.
  QelPrint("b", buf, &pos, 7, 0);
  EXPECT_EQ(pos, 1023 + 13);
  EXPECT_EQ(std::string(buf + 1023, 13), "$b#QEL_BOOL#0");

  pos = 0;
  std::string value(5000, 'v');
  QelPrint("s", buf, &pos, 0, value.c_str());
  ASSERT_EQ(pos, 1023);
  EXPECT_EQ(text(), "$s#QEL_STRING#" + std::string(1023 - 14, 'v'));
}

// End to end through the runtime instance, collector on loopback.
class ProbesToCollector : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    collector = new TestCollector({15561, 15564});
    thread_exit::getInst();
  }
  static void TearDownTestSuite() {
    QelExit();
    delete collector;
    collector = nullptr;
  }
  static std::string next(int port) {
    Bytes b;
    if (!collector->recv(port, b, 5000)) return "<nothing>";
    return std::string(b.begin(), b.end());
  }
  static TestCollector* collector;
};
TestCollector* ProbesToCollector::collector = nullptr;

TEST_F(ProbesToCollector, FlushSendsTheRecordAsOneMessage) {
  char buf[256];
  int pos = 0;
  QelPrint("f1", buf, &pos, 26);
  QelPrint("a", buf, &pos, 16, 5);
  QelPrint("s", buf, &pos, 0, "xy");
  QelPrint("", buf, &pos, 27);
  EXPECT_EQ(pos, 30);
  std::string m = next(15561);
  EXPECT_EQ(m.size(), 31u);
  EXPECT_EQ(m, std::string("f1$a#QEL_INT#5$s#QEL_STRING#xy") + '\0');

  pos = 0;
  QelPrint("", buf, &pos, 27);
  EXPECT_EQ(pos, 0);
  EXPECT_EQ(next(15561), std::string(1, '\0'));
}

TEST_F(ProbesToCollector, MethodTimeSendsThreeNumbersInCallOrder) {
  QelSendMethodTime(1, 2, 3);
  QelSendMethodTime(-1, 0, 2147483647);
  QelSendMethodTime(7, 8, 9);
  std::string a = next(15564), b = next(15564), c = next(15564);
  EXPECT_EQ(a.size(), 6u);
  EXPECT_EQ(a, std::string("1 2 3") + '\0');
  EXPECT_EQ(b.size(), 16u);
  EXPECT_EQ(b, std::string("-1 0 2147483647") + '\0');
  EXPECT_EQ(c, std::string("7 8 9") + '\0');
}

// 25,000 flushes in one burst: all arrive, in order, in paced batches of at
// most 10,000 separated by the one-second pause.
TEST_F(ProbesToCollector, BurstArrivesCompleteInOrderInPacedBatches) {
  const int total = 25000;
  char buf[64];
  for (int i = 0; i < total; ++i) {
    int pos = 0;
    QelPrint("i", buf, &pos, 16, i);
    QelPrint("", buf, &pos, 27);
  }
  std::vector<std::string> got;
  std::vector<Clock::time_point> when;
  Bytes b;
  while (got.size() < static_cast<size_t>(total) && collector->recv(15561, b, 5000)) {
    got.emplace_back(b.begin(), b.end());
    when.push_back(Clock::now());
  }
  ASSERT_EQ(got.size(), static_cast<size_t>(total));
  for (int i = 0; i < total; ++i) ASSERT_EQ(got[i], "$i#QEL_INT#" + std::to_string(i) + '\0') << i;

  // A batch ends where the collector sees a pause of more than half a second.
  std::vector<size_t> batches{1};
  for (size_t i = 1; i < when.size(); ++i) {
    auto gap = std::chrono::duration_cast<std::chrono::milliseconds>(when[i] - when[i - 1]);
    if (gap.count() > 500)
      batches.push_back(1);
    else
      ++batches.back();
  }
  EXPECT_GE(batches.size(), 3u);
  for (size_t n : batches) EXPECT_LE(n, static_cast<size_t>(TextSender::kBatch));
}

}  // namespace
