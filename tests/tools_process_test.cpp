// Starting programs: how they ended (128+N after signal N), their files, and
// a program that cannot be had.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "qeltools/process.hpp"

namespace {

using qeltools::Process;
using qeltools::runToEnd;
using qeltools::StartOptions;

std::string Slurp(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST(ToolsProcess, ExitCodesAndSignals) {
  std::string why;
  EXPECT_EQ(runToEnd({"sh", "-c", "exit 0"}, {}, &why), 0);
  EXPECT_EQ(runToEnd({"sh", "-c", "exit 3"}, {}, &why), 3);
  EXPECT_EQ(runToEnd({"sh", "-c", "exit 255"}, {}, &why), 255);
  EXPECT_EQ(runToEnd({"sh", "-c", "kill -TERM $$"}, {}, &why), 128 + SIGTERM);
  EXPECT_EQ(runToEnd({"sh", "-c", "kill -SEGV $$"}, {}, &why), 128 + SIGSEGV);
  EXPECT_TRUE(why.empty()) << why;

  Process process;
  ASSERT_TRUE(process.start({"sh", "-c", "kill -KILL $$"}, {}, &why)) << why;
  const qeltools::Ending ending = process.wait();
  EXPECT_TRUE(ending.signalled);
  EXPECT_EQ(ending.number, SIGKILL);
  EXPECT_EQ(ending.status(), 137);
  EXPECT_FALSE(process.running());
}

TEST(ToolsProcess, PollDoesNotWaitAndSignalEnds) {
  Process process;
  std::string why;
  ASSERT_TRUE(process.start({"sleep", "30"}, {}, &why)) << why;
  EXPECT_TRUE(process.running());
  EXPECT_FALSE(process.poll().has_value());
  process.signal(SIGTERM);
  EXPECT_EQ(process.wait().status(), 128 + SIGTERM);
  EXPECT_EQ(process.poll()->status(), 128 + SIGTERM);
  process.signal(SIGKILL);  // ended: nothing to send, nothing to fail
}

TEST(ToolsProcess, FilesAndEnvironment) {
  char dir[] = "/tmp/qeltools_process.XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string out = std::string(dir) + "/out", err = std::string(dir) + "/err";
  {
    std::ofstream old(out);
    old << "what was there before, and longer than the new text\n";
  }
  StartOptions options;
  options.outputFile = out;
  options.errorFile = err;
  std::string value = "QEL_PROCESS_TEST=seen";
  char* env[] = {value.data(), nullptr};
  options.environment = env;
  std::string why;
  EXPECT_EQ(runToEnd({"/bin/sh", "-c", "echo \"$QEL_PROCESS_TEST\"; echo oops >&2; exit 4"},
                     options, &why),
            4);
  EXPECT_EQ(Slurp(out), "seen\n");
  EXPECT_EQ(Slurp(err), "oops\n");

  // A file that cannot be written: the program does not start.
  options.outputFile = std::string(dir) + "/missing/out";
  EXPECT_EQ(runToEnd({"/bin/sh", "-c", "exit 0"}, options, &why), 127);
  EXPECT_FALSE(why.empty());
  std::remove(out.c_str());
  std::remove(err.c_str());
  rmdir(dir);
}

TEST(ToolsProcess, AProgramThatCannotBeHad) {
  std::string why;
  Process process;
  EXPECT_FALSE(process.start({"qeltools-no-such-program"}, {}, &why));
  EXPECT_NE(why.find("No such file"), std::string::npos) << why;
  EXPECT_FALSE(process.running());
  EXPECT_EQ(runToEnd({"qeltools-no-such-program"}, {}, &why), 127);
  StartOptions exact;
  exact.searchPath = false;
  EXPECT_EQ(runToEnd({"sh", "-c", "exit 0"}, exact, &why), 127);  // no "./sh" here
  EXPECT_FALSE(process.start({}, {}, &why));
}

}  // namespace
