#include "qelmq/AggregatingSender.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "net.h"
#include "port.h"
#include "record_map.h"
#include "sync.h"
#include "wire.h"

template <uint32_t N>
AggregatingSender<N>::AggregatingSender(qel_wire::Channel channel)
    : SenderBase(channel),
      mapA(new (std::nothrow) RecordCountMap()),
      mapB(new (std::nothrow) RecordCountMap()),
      sendMap(mapA),
      insertMap(mapB),
      queue(new (std::nothrow) Queue()) {
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
  pthread_mutex_destroy(&sendLock);
}

template <uint32_t N>
void AggregatingSender<N>::init_zmq() {
  qel_sync::MutexGuard lock(mutex);
  if (!closed) socket = open_channel_socket();
}

template <uint32_t N>
void AggregatingSender<N>::send_map_locked(RecordCountMap* map) {
  const bool little = qel_wire::little_endian();
  map->drain([&](uint64_t record, int32_t count) {
    if (closed || !socket) return;  // a leave operation closed the channel
    uint8_t msg[qel_wire::kMaxCountedMessage];
    std::size_t len = encode(record, count, sendSeq, little, msg);
    ++sendSeq;
    if (!qel_net::send_message(socket, msg, len, pacing_)) report_send_failure(little);
  });
}

template <uint32_t N>
void AggregatingSender<N>::swap_maps() {
  qel_sync::MutexGuard send(sendLock);
  qel_sync::MutexGuard maps(mutex);
  if (pendingKeys.load(std::memory_order_relaxed) != 0) {
    RecordCountMap* t = insertMap;
    insertMap = sendMap;
    sendMap = t;
    mapSelector = !mapSelector;
    pendingKeys.store(0, std::memory_order_relaxed);
  }
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
      if (!sendMap->empty()) send_map_locked(sendMap);
    }

    if (stopSend.load(std::memory_order_acquire)) {
      // Final flush: the insert thread has ended, so the insert map holds
      // the rest. The window spacing is for a running program; now the maps
      // are swapped and sent at once, until both are empty.
      qel_sync::MutexGuard send(sendLock);
      qel_sync::MutexGuard maps(mutex);
      if (sendMap->empty() && insertMap->empty()) return;
      RecordCountMap* t = insertMap;
      insertMap = sendMap;
      sendMap = t;
      mapSelector = !mapSelector;
      pendingKeys.store(0, std::memory_order_relaxed);
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
void AggregatingSender<N>::sendLeaveMsg() {
  leaving_.store(true, std::memory_order_release);
  {
    qel_sync::MutexGuard send(sendLock);
    qel_sync::MutexGuard maps(mutex);
    if (!closed) {
      const bool little = qel_wire::little_endian();
      qel_net::SendPacing pacing;  // bounded: the program is leaving
      auto flush = [&](uint64_t record, int32_t count) {
        uint8_t msg[qel_wire::kMaxCountedMessage];
        std::size_t len = encode(record, count, sendSeq, little, msg);
        ++sendSeq;
        if (!qel_net::send_message(socket, msg, len, pacing)) report_leave_failure();
      };
      sendMap->drain(flush);
      insertMap->drain(flush);
      pendingKeys.store(0, std::memory_order_relaxed);
      qel_net::close_socket(socket);
      closed = true;
    }
  }
  leaving_.store(false, std::memory_order_release);
}

template class AggregatingSender<6000000>;
template class AggregatingSender<3000000>;
