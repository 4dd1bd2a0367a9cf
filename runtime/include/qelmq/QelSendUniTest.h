#pragma once
#include <pthread.h>

#include <atomic>
#include <cstddef>

#include "qelmq/SenderBase.h"
#include "qelmq/export.h"

// Test-case events, sent from the caller's thread.
//
// Design: `socket` is created by init_zmq on the insert thread and then used
// by whichever thread reports an event. A ZeroMQ socket must not be used by
// two threads at once, so `mutex` guards `socket` both while it is set up and
// during every send; an event call made while init_zmq runs, or from two
// threads at once, then simply waits its turn.
class QEL_EXPORT QelSendUniTest : public SenderBase {
 public:
  QelSendUniTest();
  ~QelSendUniTest() override;

  void init_zmq();
  bool CreateTestcase(const char* name);
  bool StartTestcase(int number);
  bool StopTestcase(int number);
  // The stop event with the test case's verdict (QEL_VERDICT_* of
  // qelmq/probes.h); a collector that knows no verdict reads a plain stop.
  bool StopTestcaseVerdict(int number, int verdict);
  // No collector took the last event: the next ones do not wait for one
  // (a program with many test cases and no collector is not held up for
  // the send time-out at every event).
  bool peer_missing() const { return peer_missing_.load(std::memory_order_relaxed); }

 private:
  // One event message of exactly `len` bytes; false without a socket or when
  // no collector took it within the send time-out.
  bool send_event(const char* data, std::size_t len);

  std::atomic<bool> peer_missing_{false};
};
