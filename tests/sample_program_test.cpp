// The program orrin: its whole output and its exit status.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <string>

TEST(SampleProgram, PrintsZeroToFourWithoutLineEndAndExitsZero) {
  FILE* pipe = popen(ORRIN_PROGRAM " </dev/null", "r");
  ASSERT_NE(pipe, nullptr);
  std::string out;
  char buffer[256];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
  const int status = pclose(pipe);
  EXPECT_EQ(out, "01234");
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}
