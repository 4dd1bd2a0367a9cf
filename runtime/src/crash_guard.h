#pragma once
// The crash guard: on a crash (a fatal signal; on Windows an unhandled
// exception or abort()) the runtime sends what it holds (coverage counts,
// values, timings and a crash report naming the crash) before the process
// ends as it would have without the runtime.

namespace qel_crash {

// Installs the crash handlers (POSIX: SIGSEGV, SIGBUS, SIGFPE, SIGILL and
// SIGABRT; Windows: the unhandled-exception filter, SIGABRT and a vectored
// handler, see crash_guard_win32.cpp) and starts the flush thread of this
// process. Called by the bootstrap once the instance exists; a second call
// in the same process does nothing.
void arm();

// Stops the flush thread and puts back the handlers found at arm() (only
// where the runtime's handler is still the one installed). Called first by
// the shutdown, so that no flush can run while the senders are destroyed.
void disarm();

// Runs every leave operation with the crash report (`name`, `type`,
// `cause`), bounded by about a second. From an armed process the work runs
// on the flush thread and this call only hands it over and waits
// (async-signal-safe on POSIX), so it may be called from the program's own
// signal handler; otherwise it runs on the calling thread. Returns true
// when the flush finished within the bound.
bool leave_all(const char* name, const char* type, const char* cause);

}  // namespace qel_crash
