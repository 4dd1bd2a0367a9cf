#pragma once
// The runtime's own trace lines on standard output. They are on by default;
// QELMQ_TRACE=0 in the environment turns them off, so that a program whose
// tests compare its standard output passes with the runtime loaded.
#include <cstdarg>

namespace qel_trace {

// False when the environment says QELMQ_TRACE=0 (read once per process).
bool enabled();

// One trace line (the caller's format ends it with "::%d\n" and the process
// id, as every trace does), written and flushed at once; nothing when off.
void line(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace qel_trace
