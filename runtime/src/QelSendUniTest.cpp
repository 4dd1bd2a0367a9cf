#include "qelmq/QelSendUniTest.h"

#include <zmq.h>

#include <cstring>
#include <string>

#include "net.h"
#include "port.h"
#include "qelmq/thread_exit.h"
#include "sync.h"

QelSendUniTest::QelSendUniTest() : SenderBase(qel_wire::Channel::Events) {}

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
  return socket != nullptr && zmq_send(socket, data, len, 0) >= 0;
}

bool QelSendUniTest::CreateTestcase(const char* name) {
  try {
    std::string text("0 ");
    if (name) text += name;
    return send_event(text.data(), text.size());
  } catch (...) {
    return false;
  }
}

// The collector identifies the test case from the preceding create event;
// these two events carry "0" in place of the number.
bool QelSendUniTest::StartTestcase(int) { return send_event("1 0", 3); }

bool QelSendUniTest::StopTestcase(int) { return send_event("2 0", 3); }
