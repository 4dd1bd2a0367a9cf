// What an isolated test case's child hands back to the driver: every field
// of the result survives the pipe, whatever bytes it holds, and anything
// short of exactly one result is refused (a child that died mid-write).
#include "isolation.h"

#include <gtest/gtest.h>

#include <string>

namespace {

CaseResult Sample() {
  CaseResult r;
  r.verdict = Verdict::kFailed;
  r.message = "stdout: expected \"8\", actual \"7\"";
  r.badVector = true;
  r.member = "i_int";
  r.problem = "does not fit";
  r.captured = true;
  r.output = std::string("\xb5\xda\0\r\n", 5);  // GBK, a NUL, a line end
  r.unread = {"i_intt", "", "x"};
  return r;
}

TEST(Isolation, ResultSurvivesTheRoundTrip) {
  const CaseResult sent = Sample();
  CaseResult got;
  ASSERT_TRUE(DecodeCaseResult(EncodeCaseResult(sent), got));
  EXPECT_EQ(got.verdict, sent.verdict);
  EXPECT_EQ(got.message, sent.message);
  EXPECT_EQ(got.badVector, sent.badVector);
  EXPECT_EQ(got.member, sent.member);
  EXPECT_EQ(got.problem, sent.problem);
  EXPECT_EQ(got.captured, sent.captured);
  EXPECT_EQ(got.output, sent.output);
  EXPECT_EQ(got.unread, sent.unread);

  CaseResult plain, back;
  ASSERT_TRUE(DecodeCaseResult(EncodeCaseResult(plain), back));
  EXPECT_EQ(back.verdict, Verdict::kPassed);
  EXPECT_FALSE(back.captured);
  EXPECT_TRUE(back.unread.empty());
}

TEST(Isolation, AnythingButExactlyOneResultIsRefused) {
  const std::string bytes = EncodeCaseResult(Sample());
  CaseResult r;
  for (std::size_t n = 0; n < bytes.size(); ++n)
    EXPECT_FALSE(DecodeCaseResult(bytes.substr(0, n), r)) << "cut at " << n;
  EXPECT_FALSE(DecodeCaseResult(bytes + '\0', r));
  EXPECT_FALSE(DecodeCaseResult(bytes + bytes, r));
  std::string verdict = bytes;
  verdict[0] = 9;  // no such verdict
  EXPECT_FALSE(DecodeCaseResult(verdict, r));
  // A text length past the end, as a torn write could leave it.
  std::string length = bytes;
  length[8] = '\xff';
  length[9] = '\xff';
  EXPECT_FALSE(DecodeCaseResult(length, r));
}

TEST(Isolation, MessagesOfAnUnfinishedTestCase) {
  EXPECT_EQ(TimedOutMessage(10), "timed out after 10 s");
  EXPECT_EQ(TimedOutMessage(0.5), "timed out after 0.5 s");
  EXPECT_EQ(EndedEarlyMessage(4), "ended with exit status 4 before the test case finished");
  EXPECT_EQ(EndedEarlyMessage(4294967295ul),
            "ended with exit status 4294967295 before the test case finished");
}

}  // namespace
