#include "qelmq/AggregatingSender.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "delivery.h"
#include "net.h"
#include "port.h"
#include "port_zmq.h"
#include "qelmq/QelSendLast.h"
#include "qelmq/QelSendProperty.h"
#include "qelmq/protocol/messages.h"
#include "record_map.h"
#include "staged_drain.h"
#include "sync.h"

std::atomic<qel_senders::DrainStaged> qel_senders::drain_staged{nullptr};
std::atomic<qel_senders::HarvestCounters> qel_senders::harvest_counters_hook{nullptr};
std::atomic<qel_senders::WantSenderThreads> qel_senders::want_sender_threads_hook{nullptr};
std::atomic<qel_senders::MarkTestCase> qel_senders::mark_test_case_hook{nullptr};

template <uint32_t N>
AggregatingSender<N>::AggregatingSender(qel_wire::Channel channel)
    : SenderBase(channel),
      mapA(new (std::nothrow) RecordCountMap()),
      mapB(new (std::nothrow) RecordCountMap()),
      sendMap(mapA),
      insertMap(mapB),
      queue(new (std::nothrow) Queue()),
      pendingInsert(new (std::nothrow) std::vector<PendingMessage>()),
      pendingSend(new (std::nothrow) std::vector<PendingMessage>()) {
  pthread_mutex_init(&sendLock, nullptr);
  pacing_.stop = &stopSend;
  pacing_.also_stop = &leaving_;
  pacing_.bounded_ms = qel_net::kStoppingGraceMs;
}

template <uint32_t N>
AggregatingSender<N>::~AggregatingSender() {
  delete mapA;
  delete mapB;
  delete queue;
  delete pendingInsert;
  delete pendingSend;
  pthread_mutex_destroy(&sendLock);
}

template <uint32_t N>
void AggregatingSender<N>::init_zmq() {
  qel_sync::MutexGuard lock(mutex);
  // Once only: the shutdown may have opened it before running the body.
  if (!closed && !socket) socket = open_channel_socket();
}

template <uint32_t N>
template <typename Send>
void AggregatingSender<N>::send_counted(uint64_t record, uint64_t count, bool little, Send&& send) {
  while (count > 0) {
    const uint64_t part = count < qel_wire::kMaxWireCount ? count : qel_wire::kMaxWireCount;
    count -= part;
    uint8_t msg[qel_wire::kMaxCountedMessage];
    std::size_t len = encode(record, static_cast<int32_t>(part), sendSeq, little, msg);
    ++sendSeq;
    send(msg, len);
  }
}

template <uint32_t N>
template <typename Send>
void AggregatingSender<N>::send_everything_held_locked(bool little, Send&& send) {
  for (std::vector<PendingMessage>* pending : {pendingSend, pendingInsert}) {
    if (!pending) continue;
    for (PendingMessage& m : *pending) {
      qel_wire::put_seq_at(m.bytes, m.seq_at, sendSeq++, little);
      send(m.bytes, m.length);
    }
    pending->clear();
  }
  auto flush = [&](uint64_t record, uint64_t count) { send_counted(record, count, little, send); };
  sendMap->drain(flush);
  insertMap->drain(flush);
  pendingKeys.store(0, std::memory_order_relaxed);
}

template <uint32_t N>
void AggregatingSender<N>::add_pending_locked(const PendingMessage& m) {
  if (!pendingInsert) return;
  try {
    pendingInsert->push_back(m);
  } catch (...) {
    return;  // no memory: the message is lost, as a record the map could not store
  }
  // relaxed: as in take_queued_locked.
  pendingKeys.fetch_add(1, std::memory_order_relaxed);
}

template <uint32_t N>
void AggregatingSender<N>::add_locked(uint64_t record, uint64_t n) {
  if (insertMap && insertMap->add(record, n)) pendingKeys.fetch_add(1, std::memory_order_relaxed);
}

template <uint32_t N>
void AggregatingSender<N>::send_map_locked(RecordCountMap* map) {
  const bool little = QelSendProperty::little_endian_flag();
  // Without a socket (none could be opened, or none was worth opening at a
  // shutdown no collector can reach) every message still goes through
  // delivery: to the spool, or counted dropped. Never skipped unseen.
  auto send = [&](uint8_t* msg, std::size_t len) {
    if (qel_delivery::deliver(socket, channel(), msg, len, pacing_) ==
        qel_delivery::Outcome::Dropped)
      report_send_failure(little);
  };
  if (pendingSend && !pendingSend->empty()) {
    for (PendingMessage& m : *pendingSend) {
      if (closed) break;  // a leave operation closed the channel
      qel_wire::put_seq_at(m.bytes, m.seq_at, sendSeq++, little);
      send(m.bytes, m.length);
    }
    pendingSend->clear();
  }
  map->drain([&](uint64_t record, uint64_t count) {
    if (closed) return;  // a leave operation closed the channel
    send_counted(record, count, little, send);
  });
}

template <uint32_t N>
void AggregatingSender<N>::swap_maps_locked() {
  RecordCountMap* t = insertMap;
  insertMap = sendMap;
  sendMap = t;
  std::vector<PendingMessage>* p = pendingInsert;
  pendingInsert = pendingSend;
  pendingSend = p;
  mapSelector = !mapSelector;
  pendingKeys.store(0, std::memory_order_relaxed);
}

template <uint32_t N>
bool AggregatingSender<N>::nothing_held_locked() const {
  return sendMap->empty() && insertMap->empty() && (!pendingSend || pendingSend->empty()) &&
         (!pendingInsert || pendingInsert->empty());
}

template <uint32_t N>
bool AggregatingSender<N>::idle_at_stop() {
  qel_sync::MutexGuard send(sendLock);
  qel_sync::MutexGuard maps(mutex);
  return nothing_held_locked() && (!queue || queue->size() == 0);
}

template <uint32_t N>
void AggregatingSender<N>::swap_maps() {
  qel_sync::MutexGuard send(sendLock);
  qel_sync::MutexGuard maps(mutex);
  if (pendingKeys.load(std::memory_order_relaxed) != 0) swap_maps_locked();
}

template <uint32_t N>
void AggregatingSender<N>::run() {
  init_zmq();
  uint32_t last_swap = qel_port::tick_ms();
  for (;;) {
    // Read before the flags: a stop raised after this point cuts the next
    // sleep short instead of being slept through.
    const uint32_t seen = wake_seen();
    {
      qel_sync::MutexGuard send(sendLock);
      if (!sendMap->empty() || (pendingSend && !pendingSend->empty())) send_map_locked(sendMap);
    }

    if (stopSend.load(std::memory_order_acquire)) {
      // Final flush: the insert thread has ended, so the insert map holds
      // the rest. The window spacing is for a running program; now the maps
      // are swapped and sent at once, until both are empty.
      qel_sync::MutexGuard send(sendLock);
      qel_sync::MutexGuard maps(mutex);
      if (nothing_held_locked()) return;
      swap_maps_locked();
      continue;
    }

    uint32_t elapsed = qel_port::tick_ms() - last_swap;
    int32_t pending = pendingKeys.load(std::memory_order_relaxed);
    if (elapsed > 99) {
      if (pending != 0) {
        last_swap = qel_port::tick_ms();
        swap_maps();
        continue;
      }
      wait_for_wake(seen, 100);
    } else if (pending < 100000) {
      wait_for_wake(seen, 100);
    } else {
      last_swap = qel_port::tick_ms();
      swap_maps();
    }
  }
}

template <uint32_t N>
uint32_t AggregatingSender<N>::take_queued_locked(ArrayLockFreeQueue<uint64_t, 51>* latest) {
  if (!queue || !insertMap) return 0;
  constexpr uint32_t kChunk = 4096;
  uint32_t moved = 0;
  uint64_t buf[kChunk];
  uint32_t n = queue->size();
  // Records are claimed a run at a time (one CAS per run). The caller holds
  // `mutex`, and every consumer of `queue` holds it, so nobody else moves
  // readIndex meanwhile and the run is ours once the CAS succeeds. A reserved
  // slot whose producer has not yet published it ends the pass; the record
  // is taken on the next one.
  while (n > 0) {
    uint32_t got = queue->pop_run(buf, n < kChunk ? n : kChunk);
    if (got == 0) break;
    n -= got;
    moved += got;
    // Only the last 50 of a run can survive in the ring of the latest 50;
    // pushing the others just to drop them again would only cost time.
    uint32_t first_kept = got > 50 ? got - 50 : 0;
    if (latest)
      for (uint32_t i = first_kept; i < got; ++i) QelSendLast::keep_latest(latest, buf[i]);
    int32_t added = 0;
    for (uint32_t i = 0; i < got; ++i)
      if (insertMap->add(buf[i])) ++added;
    // relaxed: `mutex` orders it against the swap; the sender thread's
    // unlocked read of it is only a hint.
    if (added) pendingKeys.fetch_add(added, std::memory_order_relaxed);
  }
  return moved;
}

namespace {

// The crash sender's ring of the latest records of `channel`, if any.
ArrayLockFreeQueue<uint64_t, 51>* latest_ring(qel_wire::Channel channel) {
  // acquire: pairs with the singleton's publication (qel_sync::get_or_create).
  QelSendLast* last = QelSendLast::instance.load(std::memory_order_acquire);
  if (!last) return nullptr;
  switch (channel) {
    case qel_wire::Channel::Node:
      return last->lastDD;
    case qel_wire::Channel::Cond:
      return last->lastCond;
    case qel_wire::Channel::Mcdc:
      return last->lastMCDC;
    default:
      return nullptr;
  }
}

}  // namespace

template <uint32_t N>
void AggregatingSender<N>::sendLeaveMsg() {
  leaving_.store(true, std::memory_order_release);
  // Counts still in the program's counters go to the maps, and records
  // still staged by the program's threads to the queues first; never
  // waiting, since a stage's owner may be the thread that crashed.
  qel_senders::harvest_counters();
  qel_senders::drain_staged_records();
  {
    // Bounded: on the crash path the thread holding a lock may be the one
    // that crashed. Without the locks nothing is touched: the maps and the
    // socket belong to that thread.
    qel_sync::TimedMutexGuard send(sendLock, qel_net::leave_lock_wait_ms());
    if (send.owns()) {
      qel_sync::TimedMutexGuard maps(mutex, qel_net::leave_lock_wait_ms());
      if (maps.owns() && !closed) {
        // Records still queued would otherwise reach the maps after the
        // socket has closed, and be lost.
        take_queued_locked(latest_ring(channel()));
        // The thread starts late (a short program may end before it does):
        // what it would have sent still goes, over a socket opened here.
        if (!socket && !nothing_held_locked()) socket = open_channel_socket();
        const bool little = QelSendProperty::little_endian_flag();
        qel_net::SendPacing pacing;  // bounded: the program is leaving
        auto send = [&](uint8_t* msg, std::size_t len) {
          if (qel_delivery::deliver(socket, channel(), msg, len, pacing) ==
              qel_delivery::Outcome::Dropped)
            report_leave_failure();
        };
        send_everything_held_locked(little, send);
        qel_net::close_and_wait(socket, context, qel_net::leave_wait_ms());
        closed = true;
      }
    }
  }
  leaving_.store(false, std::memory_order_release);
}

template <uint32_t N>
uint32_t AggregatingSender<N>::send_held(unsigned wait_ms) {
  qel_sync::TimedMutexGuard send(sendLock, wait_ms);
  if (!send.owns()) return 0;
  qel_sync::TimedMutexGuard maps(mutex, wait_ms);
  if (!maps.owns() || closed) return 0;
  take_queued_locked(latest_ring(channel()));
  if (!socket) {
    // This sender's thread has not started yet (a test case in the first
    // period of a program): with nothing held every number below sendSeq
    // has gone; otherwise its socket is opened here, as the shutdown does.
    if (nothing_held_locked()) return static_cast<uint32_t>(sendSeq);
    socket = open_channel_socket();
    if (!socket) return 0;
  }
  // Nothing is sent unless a collector takes it: with an unbounded
  // high-water mark a connected socket is always writable, so the sends
  // below never wait, and without one the counts stay where they are
  // rather than being dropped.
  zmq_pollitem_t item = {socket, 0, ZMQ_POLLOUT, 0};
  if (qel_port::zmq::api()->poll(&item, 1, static_cast<long>(wait_ms)) <= 0 ||
      !(item.revents & ZMQ_POLLOUT))
    return 0;
  const bool little = QelSendProperty::little_endian_flag();
  qel_net::SendPacing pacing;  // bounded: a collector that goes away must not hold the program
  pacing.bounded_ms = wait_ms;
  auto send_one = [&](uint8_t* msg, std::size_t len) {
    if (qel_delivery::deliver(socket, channel(), msg, len, pacing) ==
        qel_delivery::Outcome::Dropped)
      report_send_failure(little);
  };
  send_everything_held_locked(little, send_one);
  return static_cast<uint32_t>(sendSeq);
}

template <uint32_t N>
void AggregatingSender<N>::reopen() {
  qel_sync::TimedMutexGuard send(sendLock, qel_net::leave_lock_wait_ms());
  if (!send.owns()) return;
  qel_sync::TimedMutexGuard maps(mutex, qel_net::leave_lock_wait_ms());
  if (!maps.owns() || !closed) return;
  socket = open_channel_socket();
  closed = false;
}

template class AggregatingSender<6000000>;
template class AggregatingSender<3000000>;
