#pragma once
// The runtime's own trace lines. They never go to the program's standard
// output, which belongs to the program (a filter's output must stay its
// own): by default they go to standard error. QELMQ_TRACE in the
// environment chooses otherwise:
//   0          no traces
//   stderr, 1  standard error (the default)
//   stdout     standard output, the channel of earlier versions
//   FILE       appended to the file FILE
#include <cstdarg>

namespace qel_trace {

// False when the environment says QELMQ_TRACE=0 (read once per process).
bool enabled();

// One trace line (the caller's format ends it with "::%d\n" and the process
// id, as every trace does), written and flushed at once; nothing when off.
void line(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace qel_trace
