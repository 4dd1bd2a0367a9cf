// The C entry points of the calls that are C++ in their specified form:
// test-case events, method timing and the leave operations. Each is a thin
// door to the C++ call; none reports a failure other than by its result.
#include "crash_guard.h"
#include "qelmq/QelSendLast.h"
#include "qelmq/QelSendUniTest.h"
#include "qelmq/TextSender.h"
#include "qelmq/probes.h"
#include "qelmq/thread_exit.h"

namespace {

QelSendUniTest* events() {
  thread_exit* inst = thread_exit::current();
  return inst ? inst->sendUniTest : nullptr;
}

}  // namespace

int QelTestcaseCreate(const char* name) {
  QelSendUniTest* s = events();
  return s && s->CreateTestcase(name) ? 1 : 0;
}

int QelTestcaseStart(int number) {
  QelSendUniTest* s = events();
  return s && s->StartTestcase(number) ? 1 : 0;
}

int QelTestcaseStop(int number) {
  QelSendUniTest* s = events();
  return s && s->StopTestcase(number) ? 1 : 0;
}

int QelTestcaseStopVerdict(int number, int verdict) {
  QelSendUniTest* s = events();
  return s && s->StopTestcaseVerdict(number, verdict) ? 1 : 0;
}

void QelMethodTime(int a, int b, int c) { QelSendMethodTime(a, b, c); }

int QelLeave(const char* name, const char* type, const char* cause) {
  return qel_crash::leave_all(name, type, cause) ? 1 : 0;
}

void QelCrashReport(const char* name, const char* type, const char* cause) {
  try {
    if (QelSendLast* last = QelSendLast::getInstance())
      last->sendLeaveMsg(name ? name : "", type ? type : "", cause ? cause : "");
  } catch (...) {
    // Out of memory for the texts: nothing sent, the program goes on.
  }
}
