// The shared library as a program sees it: load-time bootstrap, traces,
// exported symbols, exit without a collector, fork.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

namespace {

struct Outcome {
  std::string out;
  int status = -1;
  double seconds = 0;
};

// Runs `cmd` with its standard error where `err` says (merged by default).
Outcome run(const std::string& cmd, const std::string& err = "2>&1") {
  Outcome r;
  auto t0 = std::chrono::steady_clock::now();
  FILE* p = popen((cmd + " " + err + " </dev/null").c_str(), "r");
  if (!p) return r;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof(buf), p)) > 0) r.out.append(buf, n);
  r.status = pclose(p);
  r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  return r;
}

// Asserts that `needles` occur in `hay` in this order.
void expect_in_order(const std::string& hay, const std::vector<std::string>& needles) {
  size_t at = 0;
  for (const std::string& n : needles) {
    size_t f = hay.find(n, at);
    ASSERT_NE(f, std::string::npos) << "missing or out of order: " << n << "\n--- output:\n" << hay;
    at = f + n.size();
  }
}

// The traces on the old channel: QELMQ_TRACE=stdout.
TEST(Bootstrap, TracesInOrderAndBoundedExitWithoutCollector) {
  Outcome r = run(std::string("QELMQ_TRACE=stdout ") + QEL_HELLO);
  ASSERT_TRUE(WIFEXITED(r.status)) << r.out;
  EXPECT_EQ(WEXITSTATUS(r.status), 0) << r.out;
  size_t at = r.out.find("::.!::");
  ASSERT_NE(at, std::string::npos) << r.out;
  std::string pid = r.out.substr(at + 6, r.out.find('\n', at) - at - 6);
  expect_in_order(r.out,
                  {"\nrenew thread_ins::v0::.!::" + pid + "\n", "Current EXEPAth:", "Server.cfg\n",
                   "pthread_create_begin!::" + pid + "\n", "-pthread_create_over!::" + pid + "\n",
                   "hello from an instrumented program\n", "~GlobleIns()_exit0::" + pid + "\n",
                   "~~~~thread_exit0()::" + pid + "\n", "~~~~thread_exit_end()::" + pid + "\n",
                   "~GlobleIns()_exit1::" + pid + "\n", "~~~~QelExit0()::" + pid + "\n",
                   "~~~~QelExit_end()::" + pid + "\n"});
  // What the program had recorded waited (bounded) for a collector that
  // never came; the bound only catches a hang at exit.
  EXPECT_LT(r.seconds, 3.0);
  std::printf("load-to-exit without collector: %.3f s\n", r.seconds);
}

// By default the traces go to standard error: the program's standard output
// is its own, byte for byte.
TEST(Bootstrap, TracesGoToStandardErrorByDefault) {
  const std::string err_file =
      testing::TempDir() + "qel_bootstrap_err_" + std::to_string(::getpid());
  Outcome r = run(QEL_HELLO, "2>" + err_file);
  ASSERT_TRUE(WIFEXITED(r.status)) << r.out;
  EXPECT_EQ(r.out, "hello from an instrumented program\n");
  std::string err;
  if (FILE* f = std::fopen(err_file.c_str(), "r")) {
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof(buf), f)) > 0) err.append(buf, n);
    std::fclose(f);
  }
  std::remove(err_file.c_str());
  expect_in_order(err, {"\nrenew thread_ins::v0::.!::", "Current EXEPAth:",
                        "pthread_create_begin!::", "-pthread_create_over!::",
                        "~GlobleIns()_exit0::", "~~~~thread_exit0()::", "~~~~thread_exit_end()::",
                        "~GlobleIns()_exit1::", "~~~~QelExit0()::", "~~~~QelExit_end()::"});
}

TEST(Bootstrap, ExportsOnlyTheRuntimeInterface) {
  Outcome r = run(std::string("nm -D --defined-only ") + QEL_LIB);
  ASSERT_EQ(r.status, 0) << r.out;
  for (const char* plain : {" T QelExit", " T readIP", " B pid", " B mutexInst", " T QelNode",
                            " T QelExp", " T QelStringInit", " T QelStringAddCond", " T QelPrint",
                            " T QelNew", " T QelDelete", " T check_leak", " T check_leaks"})
    EXPECT_NE(r.out.find(std::string(plain) + "\n"), std::string::npos) << plain;
  Outcome d = run(std::string("nm -DC --defined-only ") + QEL_LIB);
  for (const char* decorated :
       {"thread_exit::pInst", "thread_exit::getInst()", "QelSendMethodTime(int, int, int)",
        "QelSendUniTest::CreateTestcase(char const*)", "QelSendLast::sendLeaveMsg(",
        "QelSendDD::sendLeaveMsg()", "QelSendCond::sendLeaveMsg()", "QelSendMCDC::sendLeaveMsg()",
        "QelSendParam::sendLeaveMsg()", "QelSendTime::sendLeaveMsg()",
        "QelSendUniTest::StartTestcase(int)", "QelSendUniTest::StopTestcase(int)"})
    EXPECT_NE(d.out.find(decorated), std::string::npos) << decorated;
  // Internal namespaces stay hidden (they may only appear inside the
  // signatures of exported class members).
  for (const char* hidden : {"T qel_port::", "B qel_port::", "T qel_net::", "B qel_net::",
                             "T qel_wire::", "T qel_runtime::"})
    EXPECT_EQ(d.out.find(hidden), std::string::npos) << hidden;
}

TEST(Bootstrap, ForkedChildrenBootstrapTheirOwnOrLeaveTheParentsAlone) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "ThreadSanitizer cannot start threads in the child of a multi-threaded fork";
#elif defined(__SANITIZE_ADDRESS__)
  // gcc 12's ASan allocator takes no lock across fork(): a child forked while
  // a thread of the parent (the program's or the runtime's) allocates waits
  // for that lock for ever on its first allocation of the same size.
  GTEST_SKIP() << "AddressSanitizer's allocator is not fork-safe in a multi-threaded parent";
#endif
  Outcome r = run(QEL_FORK_PROBE);
  ASSERT_TRUE(WIFEXITED(r.status)) << r.out;
  EXPECT_EQ(WEXITSTATUS(r.status), 0) << r.out;
  EXPECT_NE(r.out.find("busy-forks-bad 0"), std::string::npos)
      << "children forked while other threads held the runtime's locks must not hang\n"
      << r.out;
  EXPECT_NE(r.out.find("parent-done 0"), std::string::npos) << r.out;
  size_t c = r.out.find("child-probed ");
  ASSERT_NE(c, std::string::npos) << r.out;
  std::string child = r.out.substr(c + 13, r.out.find('\n', c) - c - 13);
  EXPECT_NE(r.out.find("renew thread_ins::v0::.!::" + child + "\n"), std::string::npos)
      << "the probing child bootstraps its own instance\n"
      << r.out;
  EXPECT_NE(r.out.find("~~~~thread_exit_end()::" + child + "\n"), std::string::npos) << r.out;
  EXPECT_LT(r.seconds, 20.0);
}

// A short program with no collector and no wait opens no socket at its
// exit (none could have a peer), and still accounts for every message it
// could not deliver: a record that went nowhere is named, never skipped.
TEST(Bootstrap, ExitWithoutWaitNamesEveryUndeliveredMessage) {
  Outcome r = run(std::string("QELMQ_TRACE=stdout QELMQ_COLLECTOR_WAIT_MS=0 ") + QEL_HELLO);
  ASSERT_TRUE(WIFEXITED(r.status)) << r.out;
  EXPECT_EQ(WEXITSTATUS(r.status), 0) << r.out;
  EXPECT_NE(r.out.find("messages dropped, no collector connected within 0 ms of the start: node 2, "
                       "condition 1, mcdc 1, property "),
            std::string::npos)
      << r.out;
}

// A program pays for the threads it needs: at its start only the insert
// thread and the crash guard's flush thread run beside it; the senders'
// threads (and ZeroMQ's) start once it has lived the first period.
TEST(Bootstrap, SendersThreadsStartOnlyAfterTheFirstPeriod) {
  Outcome r = run(std::string("QELMQ_TRACE=0 QELMQ_COLLECTOR_WAIT_MS=0 ") + QEL_THREAD_LIFE);
  ASSERT_TRUE(WIFEXITED(r.status)) << r.out;
  ASSERT_EQ(WEXITSTATUS(r.status), 0) << r.out;
  int early = -1, later = -1;
  long lived = -1;
  ASSERT_EQ(std::sscanf(r.out.c_str(), "early %d lived %ld later %d", &early, &lived, &later), 3)
      << r.out;
  // A machine so loaded that the program reached main only after the
  // period cannot show the early state; the later one it always shows.
  if (lived >= 0 && lived < 60) {
    // main, the insert thread, the flush thread (and a sanitizer's own).
    EXPECT_LE(early, 4) << r.out;
  }
  EXPECT_GE(later, early + 6) << r.out;  // six senders, besides ZeroMQ's own
}

TEST(Bootstrap, UnloadShutsDownAndReloadBootstrapsAgain) {
  Outcome r = run(std::string(QEL_DL_CYCLE) + " " + QEL_LIB);
  ASSERT_TRUE(WIFEXITED(r.status)) << r.out;
  EXPECT_EQ(WEXITSTATUS(r.status), 0) << r.out;
  // Each unload runs the global object's shutdown, then the registered exit.
  for (int round = 0; round < 2; ++round) {
    std::string n = std::to_string(round);
    expect_in_order(r.out, {"round " + n + " probed\n"});
  }
  expect_in_order(
      r.out, {"renew thread_ins", "round 0 probed\n", "~GlobleIns()_exit0", "~~~~thread_exit_end()",
              "~GlobleIns()_exit1", "~~~~QelExit_end()", "round 0 unloaded\n", "renew thread_ins",
              "round 1 probed\n", "~GlobleIns()_exit1", "round 1 unloaded\n"});
}

}  // namespace
