#include "trace.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace qel_trace {

namespace {
// 0 not yet read, 1 on, 2 off. relaxed: every thread that reads the
// environment finds the same answer, so a race only repeats the reading.
std::atomic<int> state{0};
}  // namespace

bool enabled() {
  int s = state.load(std::memory_order_relaxed);
  if (s == 0) {
    const char* v = std::getenv("QELMQ_TRACE");
    s = (v && std::strcmp(v, "0") == 0) ? 2 : 1;
    state.store(s, std::memory_order_relaxed);
  }
  return s == 1;
}

void line(const char* format, ...) {
  if (!enabled()) return;
  va_list args;
  va_start(args, format);
  std::vprintf(format, args);
  va_end(args);
  std::fflush(stdout);
}

}  // namespace qel_trace
