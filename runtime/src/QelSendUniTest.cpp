// PLACEHOLDER (to be replaced)
#include "qelmq/QelSendUniTest.h"

#include <cstring>

#include "qelmq/net.h"
QelSendUniTest::QelSendUniTest() {
  std::memset(ip, 0, sizeof(ip));
  std::memset(state, 0, sizeof(state));
  pthread_mutex_init(&mutex, nullptr);
}
QelSendUniTest::~QelSendUniTest() {
  qel_net::close_socket(socket);
  pthread_mutex_destroy(&mutex);
}
void QelSendUniTest::init_zmq() {}
bool QelSendUniTest::CreateTestcase(const char*) { return false; }
bool QelSendUniTest::StartTestcase(int) { return false; }
bool QelSendUniTest::StopTestcase(int) { return false; }
