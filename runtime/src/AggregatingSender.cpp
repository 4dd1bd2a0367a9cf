#include "qelmq/AggregatingSender.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "port.h"
#include "sync.h"
#include "qelmq/QelSendProperty.h"

namespace qel_record {

uint64_t pack(const uint16_t* fields, int count, bool little) {
  uint8_t b[8] = {0, 0, 0, 0, 0, 0, 0, 0};
  for (int k = 0; k < count; ++k) {
    int at = little ? 2 * k : 8 - 2 * (k + 1);
    b[at] = static_cast<uint8_t>(fields[k] >> 8);
    b[at + 1] = static_cast<uint8_t>(fields[k]);
  }
  b[0] |= 0x80;
  uint64_t r = 0;
  for (int i = 7; i >= 0; --i) r = (r << 8) | b[i];
  return r;
}

void put_record(uint64_t record, bool little, uint8_t* out) {
  for (int i = 0; i < 8; ++i) {
    uint8_t byte = static_cast<uint8_t>(record >> (8 * i));
    out[little ? i : 7 - i] = byte;
  }
}

void put_u32(uint32_t v, bool little, uint8_t* out) {
  for (int i = 0; i < 4; ++i) {
    uint8_t byte = static_cast<uint8_t>(v >> (8 * (3 - i)));
    out[little ? i : 3 - i] = byte;
  }
}

void put_u16(uint16_t v, bool little, uint8_t* out) {
  out[little ? 0 : 1] = static_cast<uint8_t>(v >> 8);
  out[little ? 1 : 0] = static_cast<uint8_t>(v);
}

std::size_t put_counted_message(uint64_t record, int32_t count, int32_t seq, bool little,
                                uint8_t* out) {
  put_record(record, little, out);
  out[8] = '0';
  put_u32(static_cast<uint32_t>(count), little, out + 9);
  put_u32(static_cast<uint32_t>(seq), little, out + 13);
  out[17] = '1';
  return 18;
}

}  // namespace qel_record

template <uint32_t N>
AggregatingSender<N>::AggregatingSender()
    : mapA(new (std::nothrow) RecordCountMap()),
      mapB(new (std::nothrow) RecordCountMap()),
      sendMap(mapA),
      insertMap(mapB),
      queue(new (std::nothrow) Queue()) {
  std::memset(ip, 0, sizeof(ip));
  std::memset(state, 0, sizeof(state));
  pthread_mutex_init(&mutex, nullptr);
  pthread_mutex_init(&sendLock, nullptr);
  pacing_.stop = &stopSend;
  pacing_.also_stop = &leaving_;
  pacing_.bounded_ms = qel_net::kStoppingGraceMs;
}

template <uint32_t N>
AggregatingSender<N>::~AggregatingSender() {
  if (!closed) qel_net::close_socket(socket);
  delete mapA;
  delete mapB;
  delete queue;
  pthread_mutex_destroy(&sendLock);
  pthread_mutex_destroy(&mutex);
}

template <uint32_t N>
void AggregatingSender<N>::init_zmq() {
  qel_sync::MutexGuard lock(mutex);
  if (!closed)
    socket = qel_net::open_push_socket(context, ip, state, port(), qel_net::SocketKind::Stream);
}

template <uint32_t N>
void AggregatingSender<N>::execute(uint64_t record) {
  // acquire: pairs with the shutdown's release store of the flag.
  if (stopEnqueue.load(std::memory_order_acquire) || !queue || !queue->valid()) return;
  while (!queue->push(record)) qel_port::sleep_ms(10);
}

template <uint32_t N>
void AggregatingSender<N>::request_stop_send() {
  stopSend.store(true, std::memory_order_release);
}

template <uint32_t N>
void AggregatingSender<N>::send_map_locked(RecordCountMap* map) {
  QelSendProperty* prop = QelSendProperty::GetSendPropertyInstance();
  bool little = prop ? prop->littleEndian.load(std::memory_order_relaxed) : true;
  map->drain([&](uint64_t record, int32_t count) {
    if (closed || !socket) return;  // a leave operation closed the channel
    uint8_t msg[kMaxMessage];
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
    {
      qel_sync::MutexGuard send(sendLock);
      if (!sendMap->empty()) send_map_locked(sendMap);
    }

    uint32_t elapsed = qel_port::tick_ms() - last_swap;
    int32_t pending = pendingKeys.load(std::memory_order_relaxed);
    if (elapsed > 99) {
      if (pending != 0) {
        last_swap = qel_port::tick_ms();
        swap_maps();
        continue;
      }
      qel_port::sleep_ms(100);
      qel_sync::MutexGuard send(sendLock);
      qel_sync::MutexGuard maps(mutex);
      if (stopSend.load(std::memory_order_acquire) && sendMap->empty() && insertMap->empty())
        return;
    } else if (pending < 100000) {
      qel_port::sleep_ms(100);
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
    QelSendProperty* prop = QelSendProperty::GetSendPropertyInstance();
    bool little = prop ? prop->littleEndian.load(std::memory_order_relaxed) : true;
    qel_net::SendPacing pacing;  // bounded: the program is leaving
    auto flush = [&](uint64_t record, int32_t count) {
      uint8_t msg[kMaxMessage];
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
