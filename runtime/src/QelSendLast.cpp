// PLACEHOLDER (to be replaced)
#include "qelmq/QelSendLast.h"

#include <cstring>

std::atomic<QelSendLast*> QelSendLast::instance{nullptr};
pthread_mutex_t QelSendLast::_mutexInst = PTHREAD_MUTEX_INITIALIZER;

QelSendLast* QelSendLast::getInstance() {
  QelSendLast* p = instance.load(std::memory_order_acquire);
  if (p) return p;
  pthread_mutex_lock(&_mutexInst);
  p = instance.load(std::memory_order_relaxed);
  if (!p) {
    p = new QelSendLast();
    instance.store(p, std::memory_order_release);
  }
  pthread_mutex_unlock(&_mutexInst);
  return p;
}
void QelSendLast::releaseInstance() {
  QelSendLast* p = instance.exchange(nullptr);
  delete p;
}
QelSendLast::QelSendLast() : lastDD(new Ring()), lastCond(new Ring()), lastMCDC(new Ring()) {
  std::memset(ip, 0, sizeof(ip));
  std::memset(state, 0, sizeof(state));
  pthread_mutex_init(&mutex, nullptr);
}
QelSendLast::~QelSendLast() {
  qel_net::close_socket(socket);
  delete lastDD;
  delete lastCond;
  delete lastMCDC;
  pthread_mutex_destroy(&mutex);
}
void QelSendLast::init_zmq() {}
void QelSendLast::sendLeaveMsg(std::string, std::string, std::string) {}
void QelSendLast::request_stop() { stopSend.store(true); }
void QelSendLast::keep_latest(Ring* ring, uint64_t record) {
  if (ring->size() >= 50) {
    uint64_t old;
    if (!ring->pop(old)) ring->pop(old);
  }
  ring->push(record);
}
void* fsend_lastData(void* s) {
  while (!static_cast<QelSendLast*>(s)->stopSend.load()) qel_detail::yield_for_publish();
  return s;
}
std::string& replace_all(std::string& str, const std::string&, const std::string&) { return str; }
