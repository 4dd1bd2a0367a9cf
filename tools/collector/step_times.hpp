// QELCOLLECT_TRACE_TIMES=1: one line on standard error per step of a run,
// with the milliseconds since qelcollect's main() began, so that where the
// time of a run goes (before the command starts, after it ends) can be seen
// without a profiler. Unset, a step costs one load and one compare.
#pragma once

namespace qelc {

// Whether the steps are traced (read from the environment once).
bool stepTimesOn();
// "qelcollect: +12.345 ms <what>" on stderr when traced.
void stepTime(const char* what);

}  // namespace qelc
