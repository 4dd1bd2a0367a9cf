// Crash sender: keeps the latest records of each coverage kind and reports
// them every cycle and in a crash report.
#include "qelmq/QelSendLast.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "announce.h"
#include "delivery.h"
#include "net.h"
#include "port.h"
#include "qelmq/QelSendProperty.h"
#include "qelmq/leak.h"
#include "qelmq/protocol/messages.h"
#include "qelmq/protocol/texts.h"
#include "sync.h"

std::atomic<QelSendLast*> QelSendLast::instance{nullptr};
std::atomic<bool> qel_runtime::leak_check_at_start{false};
pthread_mutex_t QelSendLast::_mutexInst = PTHREAD_MUTEX_INITIALIZER;

std::string& replace_all(std::string& str, const std::string& from, const std::string& to) {
  if (from.empty()) return str;
  try {
    std::string::size_type pos = 0;
    while ((pos = str.find(from, pos)) != std::string::npos) {
      str.replace(pos, from.size(), to);
      pos += to.size();  // never rescan the replacement
    }
  } catch (...) {
    // Out of memory: leave the rest as it is.
  }
  return str;
}

QelSendLast* QelSendLast::getInstance() { return qel_sync::get_or_create(instance, _mutexInst); }

void QelSendLast::releaseInstance() { qel_sync::release(instance, _mutexInst); }

QelSendLast::QelSendLast()
    : SenderBase(qel_wire::Channel::LastData),
      lastDD(new (std::nothrow) Ring()),
      lastCond(new (std::nothrow) Ring()),
      lastMCDC(new (std::nothrow) Ring()) {
  cycle_pacing_.bounded_ms = kCycleSendWaitMs;
  crash_pacing_.bounded_ms = kCrashSendWaitMs;
}

QelSendLast::~QelSendLast() {
  {
    qel_sync::MutexGuard lock(mutex);
    // A socket inherited across fork() belongs to the parent's context:
    // closing it here would touch that context's threads, which do not exist.
    if (socket && socket_pid_ == qel_port::current_pid()) qel_net::close_socket(socket);
    socket = nullptr;
  }
  delete lastDD;
  delete lastCond;
  delete lastMCDC;
}

void QelSendLast::init_zmq() {
  qel_sync::MutexGuard lock(mutex);
  const int32_t me = qel_port::current_pid();
  if (socket && socket_pid_ != me) socket = nullptr;  // the parent's, see ~QelSendLast
  if (socket || !context) return;
  socket = open_channel_socket();
  socket_pid_ = me;
}

void QelSendLast::keep_latest(Ring* ring, uint64_t record) {
  if (!ring) return;
  if (ring->size() >= Ring::capacity()) {
    uint64_t oldest;
    if (!ring->pop(oldest)) ring->pop(oldest);
  }
  ring->push(record);
}

void QelSendLast::wait_cycle() {
  // The shutdown waits for this thread, and must not wait out the rest of a
  // 30-second cycle: request_stop_send wakes the sleep, and the slices also
  // notice a stop flag raised without a wake-up.
  // relaxed: a setting, not a hand-over of data.
  const unsigned cycle = cycle_ms_.load(std::memory_order_relaxed);
  const uint32_t start = qel_port::tick_ms();
  for (;;) {
    const uint32_t seen = wake_seen();
    // acquire: pairs with request_stop_send's release store.
    if (stopSend.load(std::memory_order_acquire)) return;
    uint32_t elapsed = qel_port::tick_ms() - start;
    if (elapsed >= cycle) return;
    wait_for_wake(seen, std::min<unsigned>(kStopPollMs, cycle - elapsed));
  }
}

void QelSendLast::first_leak_check(bool leak_check) {
  // The bootstrap's leak report needs the property socket, which the insert
  // thread opens at its start. It runs here rather than in the program's
  // start-up, so no program waits for it.
  QelSendProperty* prop = QelSendProperty::GetSendPropertyInstance();
  if (!prop) return;
  const uint32_t start = qel_port::tick_ms();
  for (;;) {
    const uint32_t seen = wake_seen();
    // A shutdown that writes everything to the spool opens no socket: the
    // start's leak report goes there as it would have gone over one.
    if (prop->socket_ready() || qel_net::spool_only(context)) break;
    // acquire: pairs with request_stop_send's release store.
    if (stopSend.load(std::memory_order_acquire)) return;
    if (qel_port::tick_ms() - start >= kFirstLeakCheckWaitMs) break;
    wait_for_wake(seen, 5);
  }
  qel_announce::announce_start();
  if (leak_check) check_leak();
}

std::size_t QelSendLast::drain(Ring* ring, uint64_t* out) {
  if (!ring) return 0;
  // The count taken now bounds the work: records the insert thread adds
  // meanwhile wait for the next round. A failed pop means another drain took
  // the record, which is exactly what must happen to it.
  uint32_t n = std::min(ring->size(), Ring::capacity());
  std::size_t got = 0;
  for (uint32_t i = 0; i < n; ++i)
    if (ring->pop(out[got])) ++got;
  return got;
}

void QelSendLast::send_binary(const std::string& bytes, qel_net::SendPacing& pacing,
                              unsigned wait_ms) {
  // A crash report waits a bounded time only: the holder may have crashed.
  qel_sync::TimedMutexGuard lock(mutex, wait_ms);
  if (!lock.owns()) return;
  const int32_t me = qel_port::current_pid();
  // Before the thread has opened it (it starts late, and a crash may come
  // first): opened here, in this process's own context only.
  if ((!socket || socket_pid_ != me) && context && pid.load(std::memory_order_relaxed) == me) {
    socket = open_channel_socket();
    socket_pid_ = me;
  }
  void* own = socket_pid_ == me ? socket : nullptr;
  qel_delivery::deliver(own, channel(), bytes.data(), bytes.size(), pacing);
}

void QelSendLast::send_rings(uint32_t numbers[3], qel_net::SendPacing& pacing, Drained& out,
                             bool leaving) {
  const bool le = QelSendProperty::little_endian_flag();
  // relaxed: see groupId.
  const uint16_t group = groupId.load(std::memory_order_relaxed);
  Ring* rings[3] = {lastDD, lastCond, lastMCDC};
  for (int k = 0; k < 3; ++k) {
    out.count[k] = drain(rings[k], out.records[k]);
    if (out.count[k] == 0) continue;
    send_binary(qel_wire::encode_last_data(static_cast<qel_wire::LastKind>(k + 1), out.records[k],
                                           out.count[k], numbers[k], group, le),
                pacing, leaving ? qel_net::leave_lock_wait_ms() : kCycleLockWaitMs);
  }
}

void QelSendLast::run_cycle(uint32_t numbers[3]) {
  check_leak();
  Drained drained;
  send_rings(numbers, cycle_pacing_, drained, false);
}

void QelSendLast::flush_socket() {
  qel_sync::TimedMutexGuard lock(mutex, qel_net::leave_lock_wait_ms());
  if (!lock.owns() || !socket || socket_pid_ != qel_port::current_pid()) return;
  qel_net::close_and_wait(socket, context, qel_net::leave_wait_ms());
  // The cycles go on after a crash report that was not the end.
  socket = open_channel_socket();
}

void QelSendLast::sendLeaveMsg(std::string name, std::string type, std::string cause) {
  try {
    replace_all(type, "\n", "\\n");
    replace_all(cause, "\n", "\\n");
    QelSendProperty* prop = QelSendProperty::GetSendPropertyInstance();
    if (prop)
      prop->sendMsgWithin(Crash, qel_wire::crash_text(name, type, cause),
                          qel_net::leave_lock_wait_ms());

    // A crash report numbers its entries from 1, apart from the cycle's count.
    uint32_t numbers[3] = {1, 1, 1};
    Drained drained;
    send_rings(numbers, crash_pacing_, drained, true);

    static const DATA_INDEX kIndex[3] = {CrashLastDD, CrashLastCond, CrashLastMCDC};
    std::string (*const kEntry[3])(uint64_t, bool) = {qel_wire::node_entry, qel_wire::cond_entry,
                                                      qel_wire::mcdc_entry};
    const bool le = QelSendProperty::little_endian_flag();
    for (int k = 0; k < 3; ++k) {
      if (drained.count[k] == 0) continue;
      std::string entries;
      for (std::size_t i = 0; i < drained.count[k]; ++i)
        entries += kEntry[k](drained.records[k][i], le);
      if (prop)
        prop->sendMsgWithin(kIndex[k], qel_wire::data_text(name, entries),
                            qel_net::leave_lock_wait_ms());
    }
    // Returns only once the report has left the process (or the bound has
    // passed): a program that ends right after it would lose it otherwise.
    if (prop) prop->flush(qel_net::leave_lock_wait_ms());
    flush_socket();
  } catch (...) {
    // A crash report must never take the program down with it.
  }
}

void* fsend_lastData(void* sender) {
  QelSendLast* self = static_cast<QelSendLast*>(sender);
  if (!self) return sender;
  self->init_zmq();
  try {
    // The start announcement, then the bootstrap's leak report, each once
    // the property socket is open.
    self->first_leak_check(
        qel_runtime::leak_check_at_start.exchange(false, std::memory_order_acq_rel));
  } catch (...) {
  }
  // Entry numbers run on for the life of the thread, so the collector can
  // tell rounds apart and see what it missed.
  uint32_t numbers[3] = {1, 1, 1};
  for (;;) {
    try {
      self->wait_cycle();
      self->run_cycle(numbers);
    } catch (...) {
      qel_port::sleep_ms(100);  // out of memory: try again next round
    }
    // acquire: pairs with request_stop_send's release store.
    if (self->stopSend.load(std::memory_order_acquire)) break;
  }
  return sender;
}
