#include "step_times.hpp"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace qelc {
namespace {

const auto gStart = std::chrono::steady_clock::now();

bool readSwitch() {
  const char* v = std::getenv("QELCOLLECT_TRACE_TIMES");
  return v && *v && std::strcmp(v, "0") != 0;
}

}  // namespace

bool stepTimesOn() {
  static const bool on = readSwitch();
  return on;
}

void stepTime(const char* what) {
  if (!stepTimesOn()) return;
  const double ms =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - gStart).count();
  std::fprintf(stderr, "qelcollect: +%.3f ms %s\n", ms, what);
}

}  // namespace qelc
