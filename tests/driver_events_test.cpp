// A driver linked with the probe runtime tells the collector which test
// cases ran and how each ended.
#include <gtest/gtest.h>

#include <string>

#include "program_run.h"
#include "test_collector.h"

namespace {

std::string Next(qel_test::TestCollector& collector) {
  qel_test::Bytes b;
  if (!collector.recv(15560, b)) return "<nothing>";
  return std::string(b.begin(), b.end());
}

}  // namespace

TEST(DriverEvents, CreatedStartedAndStoppedPerTestCaseInOrder) {
  qel_test::TestCollector collector({15560});
  const qel_test::ProgramResult r = qel_test::RunProgram(
      ORRIN_DRIVE_EVENTS, {"--filter", "BuiltinTypeInt0", "--filter", "deleteLinkedList0"});
  ASSERT_TRUE(r.exited) << r.err;
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("42"), std::string::npos) << r.out;
  // Each stop carries the verdict: "1" passed, "3" skipped (the list
  // builder's call, which reads the console, is withheld).
  EXPECT_EQ(Next(collector), "0 BuiltinTypeInt0");
  EXPECT_EQ(Next(collector), "1 0");
  EXPECT_EQ(Next(collector), "2 1");
  EXPECT_EQ(Next(collector), "0 deleteLinkedList0");
  EXPECT_EQ(Next(collector), "1 0");
  EXPECT_EQ(Next(collector), "2 3");
}
