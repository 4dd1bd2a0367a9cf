#include "qelmq/QelSendUniTest.h"

#include <cstring>
#include <string>

#include "delivery.h"
#include "net.h"
#include "port.h"
#include "port_zmq.h"
#include "qelmq/protocol/texts.h"
#include "staged_drain.h"
#include "sync.h"

QelSendUniTest::QelSendUniTest() : SenderBase(qel_wire::Channel::TestCase) {}

QelSendUniTest::~QelSendUniTest() = default;

void QelSendUniTest::init_zmq() {
  qel_sync::MutexGuard lock(mutex);
  // The time-outs bound every event call to about 2 s; the finite linger
  // keeps an unsent event from holding up the context at exit.
  if (!socket) socket = open_channel_socket();
}

bool QelSendUniTest::send_event(const char* data, std::size_t len) {
  qel_sync::MutexGuard lock(mutex);
  // The insert thread opens the socket as it starts; a test that sends its
  // first event before that opens it here instead of losing the event.
  // (Only in the process whose bootstrap made this sender.)
  if (!socket && pid.load(std::memory_order_relaxed) == qel_port::current_pid())
    socket = open_channel_socket();
  // After one event found no collector within the time-out, the next ones
  // only try: one that is taken (a collector connected since) waits again.
  const int flags = peer_missing_.load(std::memory_order_relaxed) ? ZMQ_DONTWAIT : 0;
  // A socket exists only once ZeroMQ is loaded.
  const bool sent = socket != nullptr && qel_port::zmq::api()->send(socket, data, len, flags) >= 0;
  if (socket) peer_missing_.store(!sent, std::memory_order_relaxed);
  qel_delivery::note(channel(),
                     sent ? qel_delivery::Outcome::Sent : qel_delivery::Outcome::Dropped);
  return sent;
}

bool QelSendUniTest::CreateTestcase(const char* name) {
  try {
    const std::string text = qel_wire::created_event(name);
    return send_event(text.data(), text.size());
  } catch (...) {
    return false;
  }
}

// The collector identifies the test case from the preceding create event;
// these two events carry "0" in place of the number. Each first marks its
// boundary in the counts, so that the collector can tell what the test case
// ran.
bool QelSendUniTest::StartTestcase(int) {
  qel_senders::mark_test_case(true);
  constexpr auto kEvent = qel_wire::number_event(qel_wire::TestCaseEvent::Started);
  return send_event(kEvent.data(), kEvent.size());
}

bool QelSendUniTest::StopTestcase(int) {
  qel_senders::mark_test_case(false);
  constexpr auto kEvent = qel_wire::number_event(qel_wire::TestCaseEvent::Stopped);
  return send_event(kEvent.data(), kEvent.size());
}

bool QelSendUniTest::StopTestcaseVerdict(int, int verdict) {
  qel_senders::mark_test_case(false);
  const auto event = qel_wire::stop_event(qel_wire::verdict_of(verdict));
  return send_event(event.data(), event.size());
}
