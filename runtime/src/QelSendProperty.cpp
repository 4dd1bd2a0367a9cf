#include "qelmq/QelSendProperty.h"

#include <cstring>
#include <new>

#include "delivery.h"
#include "net.h"
#include "port.h"
#include "qelmq/protocol/texts.h"
#include "sync.h"

std::atomic<QelSendProperty*> QelSendProperty::instance{nullptr};
pthread_mutex_t QelSendProperty::_mutexInst = PTHREAD_MUTEX_INITIALIZER;

QelSendProperty* QelSendProperty::GetSendPropertyInstance() {
  return qel_sync::get_or_create(instance, _mutexInst);
}

void QelSendProperty::RelaseSendPropertyInstance() { qel_sync::release(instance, _mutexInst); }

QelSendProperty::QelSendProperty() : SenderBase(qel_wire::Channel::Property) {}

QelSendProperty::~QelSendProperty() { close_zmq(); }

void QelSendProperty::init_zmq() {
  qel_sync::MutexGuard lock(mutex);
  open_locked();
}

void QelSendProperty::open_locked() {
  // A socket this process already opened (a report sent before the insert
  // thread got here opened it) is kept. One inherited from the parent of a
  // fork belongs to the parent's context: it is replaced, never closed or
  // used here.
  if (socket && owner_pid_ == qel_port::current_pid()) return;
  socket = open_channel_socket();
  owner_pid_ = qel_port::current_pid();
  pacing_ = qel_net::SendPacing();
  socket_ready_.store(socket != nullptr, std::memory_order_release);
}

void QelSendProperty::close_zmq() {
  qel_sync::MutexGuard lock(mutex);
  if (owner_pid_ == qel_port::current_pid())
    qel_net::close_socket(socket);
  else
    socket = nullptr;
  socket_ready_.store(false, std::memory_order_release);
}

std::string QelSendProperty::format_message(DATA_INDEX index, const std::string& data) {
  return qel_wire::property_text(static_cast<int>(index), data);
}

void QelSendProperty::sendMsg(DATA_INDEX index, std::string data) {
  std::string text = format_message(index, data);
  // Senders on several threads (leak reports, crash reports) take turns.
  qel_sync::MutexGuard lock(mutex);
  // Before the insert thread has opened the socket (a report right at the
  // program's start), it is opened here rather than the report lost.
  // Only with this process's own context: in the child of a fork, before
  // its bootstrap, `context` is still the parent's.
  const int32_t me = qel_port::current_pid();
  if (context && (!socket || owner_pid_ != me) && pid.load(std::memory_order_relaxed) == me)
    open_locked();
  // A socket that is not this process's own is never used; the message
  // still goes to the spool, if there is one.
  void* own = owner_pid_ == qel_port::current_pid() ? socket : nullptr;
  qel_delivery::deliver(own, channel(), text.c_str(), text.size() + 1, pacing_);
}

bool QelSendProperty::sendMsgWithin(DATA_INDEX index, const std::string& data, unsigned wait_ms) {
  std::string text = format_message(index, data);
  qel_sync::TimedMutexGuard lock(mutex, wait_ms);
  if (!lock.owns()) return false;
  // As in sendMsg: a leave operation or the end may come before anything
  // opened the socket.
  const int32_t me = qel_port::current_pid();
  if (context && (!socket || owner_pid_ != me) && pid.load(std::memory_order_relaxed) == me)
    open_locked();
  void* own = owner_pid_ == me ? socket : nullptr;
  return qel_delivery::deliver(own, channel(), text.c_str(), text.size() + 1, pacing_) !=
         qel_delivery::Outcome::Dropped;
}

void QelSendProperty::flush(unsigned wait_ms) {
  qel_sync::TimedMutexGuard lock(mutex, wait_ms);
  if (!lock.owns() || !socket || owner_pid_ != qel_port::current_pid()) return;
  qel_net::close_and_wait(socket, context, qel_net::leave_wait_ms());
  // Later reports (the leak report at exit) need the channel again.
  socket = open_channel_socket();
  pacing_ = qel_net::SendPacing();
  socket_ready_.store(socket != nullptr, std::memory_order_release);
}

void QelSendProperty::setLittleEndian() { littleEndian.store(true, std::memory_order_relaxed); }

void QelSendProperty::int_char(int n, char* out) {
  if (n < 10) {
    out[0] = static_cast<char>('0' + (n < 0 ? 0 : n));
    out[1] = '\0';
    return;
  }
  int len = 0;
  while (n > 0) {
    out[len++] = static_cast<char>('0' + n % 10);
    n /= 10;
  }
  out[len] = '\0';
  for (int i = 0, j = len - 1; i < j; ++i, --j) {
    char t = out[i];
    out[i] = out[j];
    out[j] = t;
  }
}
