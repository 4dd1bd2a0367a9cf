// QelDelete of a pointer QelNew did not hand out, or of a block already
// deleted: reported in one trace line and ignored, the heap left intact.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>

#include "qelmq/leak.h"
#include "qelmq/probes.h"

namespace {

// The trace goes to standard error, the runtime's channel by default.
std::string delete_and_capture(void* p) {
  testing::internal::CaptureStderr();
  QelDelete(p);
  return testing::internal::GetCapturedStderr();
}

TEST(QelDeleteChecks, ForeignAndDoubleDeletesAreReportedAndIgnored) {
  // A block of QelNew goes once, silently; the second delete is reported.
  void* tracked = QelNew(32, "a.c", "f", 7);
  void* untracked = QelNew(16, "a.c", "f", 0);
  ASSERT_NE(tracked, nullptr);
  ASSERT_NE(untracked, nullptr);
  EXPECT_EQ(delete_and_capture(tracked), "");
  EXPECT_EQ(delete_and_capture(untracked), "");
  std::string twice = delete_and_capture(tracked);
  EXPECT_NE(twice.find("QelDelete of"), std::string::npos) << twice;
  EXPECT_NE(twice.find("ignored: not a block from QelNew, or already deleted"), std::string::npos)
      << twice;
  EXPECT_NE(twice.find("called from runtime_delete_test"), std::string::npos)
      << "the trace names the caller's module and offset\n"
      << twice;
  EXPECT_EQ(std::count(twice.begin(), twice.end(), '\n'), 1) << twice;
  EXPECT_NE(delete_and_capture(untracked).find("ignored"), std::string::npos);

  // Pointers that never came from QelNew: on the stack, from malloc, and
  // into the middle of a live block (which must stay live and intact).
  int local = 5;
  EXPECT_NE(delete_and_capture(&local).find("ignored"), std::string::npos);
  void* foreign = std::malloc(8);
  EXPECT_NE(delete_and_capture(foreign).find("ignored"), std::string::npos);
  std::free(foreign);  // still ours to free: QelDelete left it alone
  auto* live = static_cast<unsigned char*>(QelNew(64, "b.c", "g", 3));
  for (int i = 0; i < 64; ++i) live[i] = static_cast<unsigned char>(i);
  EXPECT_NE(delete_and_capture(live + 8).find("ignored"), std::string::npos);
  qel_leak::Report r = qel_leak::make_report();
  EXPECT_EQ(r.blocks, 1u) << "the live block is still listed, the line-0 block never was";
  for (int i = 0; i < 64; ++i) ASSERT_EQ(live[i], i);
  EXPECT_EQ(delete_and_capture(live), "");
  EXPECT_EQ(qel_leak::make_report().blocks, 0u);
}

// The instrumenter's rewritten free: a block of QelNew's leaves the table,
// a block of the C library's goes back to it; neither is reported.
TEST(QelDeleteChecks, QelFreeTakesBlocksOfEitherAllocator) {
  void* tracked = QelNew(24, "c.c", "h", 11);
  void* foreign = std::malloc(24);
  ASSERT_NE(tracked, nullptr);
  ASSERT_NE(foreign, nullptr);
  testing::internal::CaptureStdout();
  QelFree(tracked);
  QelFree(foreign);  // a leak or a heap error under ASan if it were ignored
  QelFree(nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(qel_leak::make_report().blocks, 0u);
}

}  // namespace
