// The receive loop over real sockets, and the qelcollect command line:
// garbled traffic never stops collection, exit statuses, signals, --out.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zmq.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "qeltools/process.hpp"
#include "receiver.hpp"

using namespace qelc;
using Clock = std::chrono::steady_clock;

namespace {

// Ports well clear of the runtime's fixed ones, varied per process so that
// parallel builds (plain, sanitizers) do not meet.
// Below the kernel's ephemeral range (32768 and up), where the outgoing
// connections of tests running beside this one take their local ports.
int portOffset() { return 1000 + static_cast<int>(getpid() % 700) * 10; }

std::string readFile(const std::string& path) {
  std::ifstream f(path);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

std::string tempPath(const char* tag) {
  return ::testing::TempDir() + "qelcollect_" + tag + "_" + std::to_string(getpid());
}

// Runs a shell command line with a hard time limit; returns the exit status
// and leaves stdout+stderr in *out.
int run(const std::string& cmd, std::string* out) {
  const std::string file = tempPath("run");
  const int rc = std::system(("timeout -s KILL 60 " + cmd + " >" + file + " 2>&1").c_str());
  *out = readFile(file);
  std::remove(file.c_str());
  return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

// Starts argv with its standard output in outFile.
void spawn(qeltools::Process& process, const std::vector<std::string>& argv,
           const std::string& outFile) {
  qeltools::StartOptions options;
  options.searchPath = false;
  options.outputFile = outFile;
  options.errorFile = outFile + ".err";
  std::string why;
  ASSERT_TRUE(process.start(argv, options, &why)) << argv[0] << ": " << why;
}

// Waits up to `ms` for `text` in the file a spawned process writes to:
// a collector names its ports once its signal handlers are in place, and a
// signal sent before that (a slow start under the sanitizers) would kill it.
bool waitForText(const std::string& file, const std::string& text, int ms) {
  const auto end = Clock::now() + std::chrono::milliseconds(ms);
  while (readFile(file).find(text) == std::string::npos) {
    if (Clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

// Waits for the process up to `ms`; kills it and fails on expiry.
int waitFor(qeltools::Process& process, int ms) {
  const auto end = Clock::now() + std::chrono::milliseconds(ms);
  while (!process.poll()) {
    if (Clock::now() > end) {
      process.signal(SIGKILL);
      process.wait();
      ADD_FAILURE() << "process did not end in time";
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return process.poll()->status();
}

}  // namespace

TEST(CollectorReceive, GarbledTrafficDoesNotStopCollection) {
  ReceiverOptions opt;
  opt.bind = true;
  for (auto& ep : opt.endpoints) ep = "tcp://127.0.0.1:*";
  Receiver r(opt);

  void* ctx = zmq_ctx_new();
  std::vector<void*> push;
  for (std::size_t i = 0; i < kChannelCount; ++i) {
    void* s = zmq_socket(ctx, ZMQ_PUSH);
    ASSERT_EQ(zmq_connect(s, r.endpoints()[i].c_str()), 0);
    push.push_back(s);
  }
  const uint8_t node[18] = {0x81, 0, 0, 7, 0, 0, 0, 0, '0', 0, 0, 0, 1, 0, 0, 0, 1, '1'};
  const uint8_t junk[5] = {0xde, 0xad, 0xbe, 0xef, 0x00};
  const auto node_ = static_cast<std::size_t>(Channel::Node);
  const auto timing = static_cast<std::size_t>(Channel::Timing);
  const auto lastData = static_cast<std::size_t>(Channel::LastData);
  for (int i = 0; i < 50; ++i) {
    zmq_send(push[node_], node, sizeof node, 0);
    zmq_send(push[node_], junk, sizeof junk, 0);
    zmq_send(push[timing], junk, sizeof junk, 0);
    zmq_send(push[lastData], junk, 0, 0);
    zmq_send(push[timing], "4 5 6", 6, 0);
  }

  std::size_t good = 0, bad = 0;
  const auto end = Clock::now() + std::chrono::seconds(10);
  while (good + bad < 250 && Clock::now() < end) {
    r.poll(50, [&](Message&& m) {
      if (const auto* x = std::get_if<Malformed>(&m.body)) {
        ++bad;
        EXPECT_EQ(m.port, r.ports()[static_cast<std::size_t>(m.channel)]);
        EXPECT_LE(x->bytes.size(), 5u);
      } else {
        ++good;
      }
    });
  }
  EXPECT_EQ(good, 100u);
  EXPECT_EQ(bad, 150u);
  for (void* s : push) zmq_close(s);
  zmq_ctx_term(ctx);
}

TEST(CollectorCli, CollectsFromAProgramAndPassesOnItsStatus) {
  const std::string off = std::to_string(portOffset());
  const std::string json = tempPath("out.jsonl");
  std::string out;
  const int rc = run(std::string(QELCOLLECT_EXE) + " --port-offset " + off + " --out " + json +
                         " -- " + QELCOLLECT_FEED + " " + off + " 7",
                     &out);
  EXPECT_EQ(rc, 7) << out;
  EXPECT_NE(out.find("malformed message on port " + std::to_string(15555 + portOffset())),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("1. \"feed_case\"  started 1, stopped 1"), std::string::npos) << out;
  EXPECT_NE(out.find("unit 1: 3 nodes hit, 5 hits"), std::string::npos) << out;
  EXPECT_NE(out.find("MC/DC 1/2 (50.0%)"), std::string::npos) << out;
  EXPECT_NE(out.find("16 bytes  feed.c:42 in main"), std::string::npos) << out;
  EXPECT_NE(out.find("Malformed messages: 2"), std::string::npos) << out;

  const std::string lines = readFile(json);
  std::size_t n = 0;
  for (char c : lines) n += c == '\n';
  EXPECT_EQ(n, 16u) << lines;
  EXPECT_NE(lines.find("\"kind\":\"timing\",\"a\":1,\"b\":2,\"c\":3"), std::string::npos);
  EXPECT_NE(lines.find("\"kind\":\"leak\",\"entry\":\"block\",\"size\":16"), std::string::npos);
  std::remove(json.c_str());
}

// The binary run saved live reads back into the live report, and into the
// JSON lines the same run saves.
TEST(CollectorCli, BinaryRunSavedLiveGivesTheLiveReport) {
  const std::string off = std::to_string(portOffset());
  const std::string bin = tempPath("out.qelrun");
  const std::string json = tempPath("again.jsonl");
  const std::string live = tempPath("live.txt");
  const std::string rebuilt = tempPath("rebuilt.txt");
  std::string out;
  // The name does not end in .qelrun: the option chooses.
  EXPECT_EQ(
      run(std::string(QELCOLLECT_EXE) + " --verbose --port-offset " + off + " --out " + bin +
              " --out-format binary --report " + live + " -- " + QELCOLLECT_FEED + " " + off + " 0",
          &out),
      0)
      << out;
  EXPECT_EQ(readFile(bin).rfind("\x89QELRUN\n", 0), 0u);
  EXPECT_EQ(run(std::string(QELCOLLECT_EXE) + " report --verbose " + bin + " --report " + rebuilt +
                    " --save-jsonl " + json,
                &out),
            0)
      << out;
  EXPECT_NE(readFile(live).find("unit 1: 3 nodes hit, 5 hits"), std::string::npos);
  EXPECT_EQ(readFile(rebuilt), readFile(live));
  const std::string lines = readFile(json);
  EXPECT_EQ(std::count(lines.begin(), lines.end(), '\n'), 16) << lines;
  EXPECT_NE(lines.find("\"kind\":\"timing\",\"a\":1,\"b\":2,\"c\":3"), std::string::npos);
  for (const std::string& f : {bin, json, live, rebuilt}) std::remove(f.c_str());
}

TEST(CollectorCli, ExitStatusesAndUsage) {
  const std::string exe = QELCOLLECT_EXE;
  const std::string off = " --port-offset " + std::to_string(portOffset()) + " ";
  std::string out;
  EXPECT_EQ(run(exe + " --help", &out), 0);
  EXPECT_NE(out.find("Usage: qelcollect"), std::string::npos);
  EXPECT_EQ(run(exe + " --bogus", &out), 2);
  EXPECT_EQ(run(exe + " --quiet-ms nope", &out), 2);
  EXPECT_EQ(run(exe + " --out /nonexistent/dir/x", &out), 2);
  EXPECT_EQ(run(exe + off + "-- /nonexistent/program", &out), 127);
  EXPECT_EQ(run(exe + off + "--quiet-ms 50 -- true", &out), 5) << out;
  EXPECT_NE(out.find("no message received"), std::string::npos);
  EXPECT_EQ(run(exe + off + "--quiet-ms 50 -- sh -c 'kill -9 $$'", &out), 128 + 9);

  const auto t0 = Clock::now();
  EXPECT_EQ(run(exe + off + "--timeout 1 -- sleep 30", &out), 4) << out;
  EXPECT_LT(Clock::now() - t0, std::chrono::seconds(10));
}

TEST(CollectorCli, SignalsEndCollectionWithAReport) {
  const std::string exe = QELCOLLECT_EXE;
  const std::string off = std::to_string(portOffset());
  const std::string file = tempPath("sig");

  // Listening without a program: SIGTERM ends it cleanly, report included.
  qeltools::Process quiet;
  spawn(quiet, {exe, "--port-offset", off}, file);
  EXPECT_TRUE(waitForText(file + ".err", " .. tcp://", 20000)) << readFile(file + ".err");
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  quiet.signal(SIGTERM);
  EXPECT_EQ(waitFor(quiet, 5000), 5);  // nothing was received
  EXPECT_NE(readFile(file).find("qelcollect report"), std::string::npos);

  // Running a program: the signal is passed on and its fate reported.
  qeltools::Process running;
  spawn(running, {exe, "--port-offset", off, "--", "/bin/sleep", "30"}, file);
  EXPECT_TRUE(waitForText(file + ".err", " .. tcp://", 20000)) << readFile(file + ".err");
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  running.signal(SIGINT);
  EXPECT_EQ(waitFor(running, 8000), 128 + SIGINT);
  EXPECT_NE(readFile(file).find("qelcollect report"), std::string::npos);
  std::remove(file.c_str());
  std::remove((file + ".err").c_str());
}
