#pragma once
// The boundaries of test cases in the counts: what a test case ran is told
// apart from what ran before and after it (qelmq/protocol/texts.h,
// TestCaseWindow).
namespace qel_window {

// Called by a test-case start or stop on the caller's thread, before its
// event is sent: sends the counts made so far (every thread's, the
// program's counters included), then announces where the boundary falls in
// each counted channel's sequence numbers. Waits at most 250 ms for a
// collector; a channel that finds none has no known boundary, and loses
// nothing.
void mark(bool start);

// Called by the bootstrap: the test-case events call mark() from now on.
void install();

}  // namespace qel_window
