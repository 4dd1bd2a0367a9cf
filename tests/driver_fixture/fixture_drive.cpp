// A driver for functions that misbehave on purpose: one crashes, one never
// returns, one calls exit, one leaves a process of its own running. It exercises the runner's
// isolation, which the sample (whose functions all return) cannot.
#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "runner.h"

namespace {

int Twice(int x) { return 2 * x; }

int drive_Twice(Json::Value root, int index, CaseRecord* record) {
  TestCase tc(root, "Twice", index, record);
  const int x = tc["x"].asInt();
  const int result = Twice(x);
  std::printf("%d", result);
  tc.Observe("return", result);
  return 0;
}

double Scale(double x, double k) { return x * k; }

int drive_Scale(Json::Value root, int index, CaseRecord* record) {
  TestCase tc(root, "Scale", index, record);
  const double x = tc["x"].asDouble();
  const double k = tc["k"].asDouble();
  tc.Observe("return", Scale(x, k));
  return 0;
}

int drive_Crash(Json::Value root, int index, CaseRecord* record) {
  TestCase tc(root, "Crash", index, record);
  std::printf("before the crash");
  std::fflush(stdout);
  std::raise(SIGSEGV);
  return 0;
}

int drive_Hang(Json::Value root, int index, CaseRecord* record) {
  TestCase tc(root, "Hang", index, record);
  for (;;) pause();
}

int drive_Quit(Json::Value root, int index, CaseRecord* record) {
  TestCase tc(root, "Quit", index, record);
  std::exit(tc["status"].asInt());
}

// Starts a process that outlives the call by "seconds" (none for 0) and
// prints its id. The process keeps every descriptor but the standard
// streams, as a careless daemon does.
int drive_Detach(Json::Value root, int index, CaseRecord* record) {
  TestCase tc(root, "Detach", index, record);
  const unsigned seconds = static_cast<unsigned>(tc["seconds"].asInt());
  int result = 0;
  if (seconds > 0) {
    std::fflush(stdout);
    const pid_t pid = fork();
    if (pid == 0) {
      const int null = open("/dev/null", O_RDWR);
      for (int fd = 0; fd < 3; ++fd) dup2(null, fd);
      sleep(seconds);
      _exit(0);
    }
    result = pid > 0 ? 0 : -1;
    std::printf("%ld", static_cast<long>(pid));
  }
  tc.Observe("return", result);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  return DriverMain(argc, argv,
                    {"fixture_drive",
                     ".",
                     {{"/vectors/Value_Fixture.json",
                       {{"Twice", drive_Twice},
                        {"Scale", drive_Scale},
                        {"Crash", drive_Crash},
                        {"Hang", drive_Hang},
                        {"Quit", drive_Quit},
                        {"Detach", drive_Detach}}}}});
}
