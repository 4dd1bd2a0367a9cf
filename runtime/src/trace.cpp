#include "trace.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "port.h"

namespace qel_trace {

namespace {

// Trivially destructible, like everything the runtime keeps for the life
// of the process: the unload's traces come after the destructors of
// function-local statics made during the load.
struct Destination {
  FILE* stream;       // null: traces are off
  char failure[320];  // why the chosen file could not be opened
};

Destination choose() {
  Destination d{stderr, ""};
  const char* v = std::getenv("QELMQ_TRACE");
  if (!v || !*v || std::strcmp(v, "1") == 0 || std::strcmp(v, "stderr") == 0) return d;
  if (std::strcmp(v, "0") == 0) {
    d.stream = nullptr;
  } else if (std::strcmp(v, "stdout") == 0) {
    d.stream = stdout;
  } else if (FILE* f = std::fopen(v, "a")) {
    // Appended to, so the processes of one run (forked children, parallel
    // tests) can share one file; each line goes out in one write.
    d.stream = f;
  } else {
    const int err = errno;
    std::snprintf(d.failure, sizeof(d.failure), "%s: %s", v, std::strerror(err));
  }
  return d;
}

// Chosen once per process, at the first trace (the bootstrap's, while the
// library loads); a forked child keeps its parent's choice and file.
const Destination& destination() {
  static const Destination d = choose();
  return d;
}

void write_line(FILE* stream, const char* text) {
  std::fputs(text, stream);
  std::fflush(stream);
}

}  // namespace

bool enabled() { return destination().stream != nullptr; }

void line(const char* format, ...) {
  const Destination& d = destination();
  if (!d.stream) return;
  // relaxed: said once per process; nothing else rides on it.
  static std::atomic<bool> failure_told{false};
  if (d.failure[0] && !failure_told.exchange(true, std::memory_order_relaxed)) {
    char note[400];
    std::snprintf(note, sizeof(note),
                  "QELMQ_TRACE file cannot be opened, traces go to standard error: %s::%d\n",
                  d.failure, qel_port::current_pid());
    write_line(d.stream, note);
  }
  char small[512];
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  const int n = std::vsnprintf(small, sizeof(small), format, args);
  va_end(args);
  if (n < 0) {
    va_end(again);
    return;
  }
  if (static_cast<std::size_t>(n) < sizeof(small)) {
    write_line(d.stream, small);
  } else {
    try {
      std::string big(static_cast<std::size_t>(n) + 1, '\0');
      std::vsnprintf(&big[0], big.size(), format, again);
      write_line(d.stream, big.c_str());
    } catch (...) {
      write_line(d.stream, small);  // no memory for the whole line: its start
    }
  }
  va_end(again);
}

}  // namespace qel_trace
