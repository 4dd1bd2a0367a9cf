#include "qelmq/QelSendProperty.h"

#include <gtest/gtest.h>

#include <set>
#include <thread>
#include <vector>

#include "qelmq/thread_exit.h"
#include "test_collector.h"

namespace {

using qel_test::Bytes;

std::string text_of(const Bytes& b) { return std::string(b.begin(), b.end()); }

TEST(PropertyFormat, IntCharWritesPlainDecimal) {
  char out[16];
  for (auto [n, want] : std::vector<std::pair<int, const char*>>{
           {0, "0"}, {9, "9"}, {10, "10"}, {305, "305"}, {2147483647, "2147483647"}}) {
    QelSendProperty::int_char(n, out);
    EXPECT_STREQ(out, want);
  }
}

TEST(PropertyFormat, PrefixesByIndex) {
  EXPECT_EQ(QelSendProperty::format_message(MemoryLeak, "abc"), "MemoryLeak:///abc");
  EXPECT_EQ(QelSendProperty::format_message(Crash, ""), "Crash:///");
  EXPECT_EQ(QelSendProperty::format_message(CrashLastDD, "x"), "CrashLastDD:///x");
  EXPECT_EQ(QelSendProperty::format_message(CrashLastCond, "x"), "CrashLastCond:///x");
  EXPECT_EQ(QelSendProperty::format_message(CrashLastMCDC, "x"), "CrashLastMCDC:///x");
  EXPECT_EQ(QelSendProperty::format_message(static_cast<DATA_INDEX>(7), "d"), ":///d");
}

TEST(PropertySingleton, ConcurrentFirstCallsShareOneObject) {
  std::vector<QelSendProperty*> got(8, nullptr);
  std::vector<std::thread> ts;
  for (size_t i = 0; i < got.size(); ++i)
    ts.emplace_back([&got, i] { got[i] = QelSendProperty::GetSendPropertyInstance(); });
  for (auto& t : ts) t.join();
  std::set<QelSendProperty*> distinct(got.begin(), got.end());
  EXPECT_EQ(distinct.size(), 1u);
  EXPECT_NE(*distinct.begin(), nullptr);
  EXPECT_TRUE(got[0]->littleEndian.load());
}

TEST(PropertyChannel, MessagesCarryPrefixTextAndZeroByte) {
  qel_test::TestCollector collector({15559});
  thread_exit* inst = thread_exit::getInst();
  ASSERT_NE(inst, nullptr);
  QelSendProperty* prop = inst->sendProperty;
  for (int i = 0; i < 200 && !prop->socket_ready(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  ASSERT_TRUE(prop->socket_ready());

  // Reports from several threads at once: each arrives whole.
  std::vector<std::thread> ts;
  for (int t = 0; t < 4; ++t)
    ts.emplace_back([prop, t] {
      for (int i = 0; i < 50; ++i)
        prop->sendMsg(MemoryLeak, std::to_string(t) + ":" + std::to_string(i));
    });
  prop->sendMsg(Crash, "");
  prop->sendMsg(static_cast<DATA_INDEX>(7), "odd");
  for (auto& t : ts) t.join();

  std::vector<Bytes> all = collector.drain(15559);
  std::multiset<std::string> texts;
  for (const Bytes& b : all) texts.insert(text_of(b));
  EXPECT_EQ(texts.count(std::string("Crash:///") + '\0'), 1u);
  EXPECT_EQ(texts.count(std::string(":///odd") + '\0'), 1u);
  for (int t = 0; t < 4; ++t)
    for (int i = 0; i < 50; ++i) {
      std::string want = "MemoryLeak:///" + std::to_string(t) + ":" + std::to_string(i) + '\0';
      EXPECT_EQ(texts.count(want), 1u) << want;
    }
  QelExit();
}

}  // namespace
