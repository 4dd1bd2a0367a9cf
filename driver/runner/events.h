// Test-case events for the collector, when the driver is linked with the
// probe runtime (built with QEL_DRIVER_TESTCASE_EVENTS=1); no-ops otherwise.
#ifndef ORRIN_DRIVE_EVENTS_H
#define ORRIN_DRIVE_EVENTS_H

#include <string>

#include "execute.h"

// "created" and "started" before the test case runs.
void ReportCaseStarted(const std::string& name, int number);
// "stopped" after it ended. The stop message has room for one number: the
// driver passes the verdict there (0 passed, 1 failed, 2 skipped, 3 error).
void ReportCaseStopped(int number, Verdict verdict);
// How an isolated child leaves: with the runtime linked in, through the
// normal exit so that what its probes recorded is sent.
[[noreturn]] void LeaveChild();

#endif  // ORRIN_DRIVE_EVENTS_H
