#include "qelmq/SenderBase.h"

#include <cstring>

#include "net.h"
#include "port.h"

std::atomic<int32_t> pid{0};

SenderBase::SenderBase(qel_wire::Channel channel) : channel_(channel) {
  std::memset(ip, 0, sizeof(ip));
  std::memset(state, 0, sizeof(state));
  pthread_mutex_init(&mutex, nullptr);
}

SenderBase::~SenderBase() {
  // A sender that must not close its socket (a leave operation closed it, or
  // it belongs to the parent of a fork) has cleared the field.
  qel_net::close_socket(socket);
  pthread_mutex_destroy(&mutex);
}

void SenderBase::configure(const char* collector_ip, const char* mode, void* messaging_context) {
  std::memcpy(ip, collector_ip, sizeof(ip));
  std::memcpy(state, mode, sizeof(state));
  context = messaging_context;
}

void SenderBase::request_stop_enqueue() {
  // release: pairs with the acquire loads of the probes and the insert thread.
  stopEnqueue.store(true, std::memory_order_release);
  wake();
}

void SenderBase::request_stop_send() {
  // release: pairs with the acquire loads of the sender's thread.
  stopSend.store(true, std::memory_order_release);
  wake();
}

void SenderBase::wait_for_wake(uint32_t seen, unsigned ms) const {
  qel_port::wait_for_change(wakeWord, seen, ms);
}

void SenderBase::wake() {
  // release: pairs with the acquire of wake_seen(), so a thread that sees
  // the new word also sees the flag raised before it.
  wakeWord.fetch_add(1, std::memory_order_release);
  qel_port::wake_waiters(wakeWord);
}

int SenderBase::port() const { return qel_wire::endpoint(channel_).port; }

void* SenderBase::open_channel_socket() const {
  return qel_net::open_push_socket(context, ip, state, channel_);
}
