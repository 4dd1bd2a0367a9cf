// A driver whose functions pass, fail, crash in three ways, hang, quit and
// read their standard input, for the runner's --isolate on Windows. The
// same source is built for Linux too: both runs must give the same verdicts
// and reports, the names of the crashes aside.
#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "runner.h"

namespace {

// An address nobody maps (not null, which some checkers report by
// themselves); volatile keeps the compiler from proving anything about it.
int* volatile nowhere = reinterpret_cast<int*>(static_cast<std::uintptr_t>(16));

int drive_Twice(Json::Value root, int index, CaseRecord* record) {
  TestCase tc(root, "Twice", index, record);
  const int x = tc["x"].asInt();
  std::printf("%d", 2 * x);
  tc.Observe("return", 2 * x);
  return 0;
}

int drive_Scale(Json::Value root, int index, CaseRecord* record) {
  TestCase tc(root, "Scale", index, record);
  const double x = tc["x"].asDouble();
  const double k = tc["k"].asDouble();
  tc.Observe("return", x * k);
  return 0;
}

int drive_Echo(Json::Value root, int index, CaseRecord* record) {
  TestCase tc(root, "Echo", index, record);
  const std::string text = tc["text"].asString();
  char word[32] = "";
  int number = 0;
  if (std::scanf("%31s %d", word, &number) != 2) std::printf("nothing to read ");
  std::printf("%s %s %d\n", text.c_str(), word, number);
  return 0;
}

int drive_Crash(Json::Value root, int index, CaseRecord* record) {
  TestCase tc(root, "Crash", index, record);
  std::printf("before the crash");
  std::fflush(stdout);
  *nowhere = 1;
  return 0;
}

int drive_Divide(Json::Value root, int index, CaseRecord* record) {
  TestCase tc(root, "Divide", index, record);
  volatile int zero = tc["zero"].asInt();
  tc.Observe("return", tc["x"].asInt() / zero);
  return 0;
}

int drive_Abort(Json::Value root, int index, CaseRecord* record) {
  TestCase tc(root, "Abort", index, record);
  std::abort();
}

int drive_Hang(Json::Value root, int index, CaseRecord* record) {
  TestCase tc(root, "Hang", index, record);
  for (;;) {
#ifdef _WIN32
    Sleep(INFINITE);
#else
    pause();
#endif
  }
}

int drive_Quit(Json::Value root, int index, CaseRecord* record) {
  TestCase tc(root, "Quit", index, record);
  std::exit(tc["status"].asInt());
}

}  // namespace

int main(int argc, char** argv) {
  return DriverMain(argc, argv,
                    {"isolate_fixture",
                     ".",
                     {{"/vectors/Value_Fixture.json",
                       {{"Twice", drive_Twice},
                        {"Scale", drive_Scale},
                        {"Echo", drive_Echo},
                        {"Crash", drive_Crash},
                        {"Divide", drive_Divide},
                        {"Abort", drive_Abort},
                        {"Hang", drive_Hang},
                        {"Quit", drive_Quit}}}}});
}
