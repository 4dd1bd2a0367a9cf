// Crash sender: keeps the latest records of each coverage kind and reports
// them every cycle and in a crash report.
#include "qelmq/QelSendLast.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "port.h"
#include "qelmq/QelSendProperty.h"
#include "qelmq/leak.h"
#include "sync.h"

std::atomic<QelSendLast*> QelSendLast::instance{nullptr};
pthread_mutex_t QelSendLast::_mutexInst = PTHREAD_MUTEX_INITIALIZER;

namespace {

bool little_endian_now() {
  QelSendProperty* p = QelSendProperty::GetSendPropertyInstance();
  // relaxed: true from construction and never cleared.
  return p ? p->littleEndian.load(std::memory_order_relaxed) : true;
}

// Wire byte i of a record: record byte i with the flag set, byte 7 - i without.
unsigned wire(uint64_t record, int i, bool littleEndian) {
  int b = littleEndian ? i : 7 - i;
  return static_cast<unsigned>((record >> (8 * b)) & 0xFFu);
}

void put_int(std::string& out, uint32_t v, int bytes, bool littleEndian) {
  for (int i = 0; i < bytes; ++i) {
    int shift = littleEndian ? 8 * (bytes - 1 - i) : 8 * i;
    out.push_back(static_cast<char>((v >> shift) & 0xFFu));
  }
}

unsigned field1(uint64_t r, bool le) {
  return le ? (wire(r, 0, le) & 0x7Fu) * 256u + wire(r, 1, le) : wire(r, 1, le) * 256u + wire(r, 0, le);
}
unsigned field2(uint64_t r, bool le) {
  return le ? wire(r, 2, le) * 256u + wire(r, 3, le) : wire(r, 3, le) * 256u + wire(r, 2, le);
}
unsigned field3(uint64_t r, bool le) {
  return le ? wire(r, 4, le) * 256u + wire(r, 5, le) : wire(r, 5, le) * 256u + wire(r, 4, le);
}
unsigned decision(uint64_t r, bool le) {
  return le ? (wire(r, 2, le) & 0x7Fu) * 256u + wire(r, 3, le)
            : wire(r, 3, le) * 256u + (wire(r, 2, le) & 0x7Fu);
}

const char kEntryTail[] = " 0 0 0 1 0;";

}  // namespace

namespace qel_last {

std::string encode_last_data(Kind kind, const uint64_t* records, std::size_t n, uint32_t& number,
                             uint16_t groupId, bool littleEndian) {
  std::string out;
  out.reserve(1 + n * entry_size(kind));
  out.push_back(static_cast<char>(kind));
  const int last = kind == kNode ? 5 : 7;
  for (std::size_t i = 0; i < n; ++i) {
    uint64_t r = records[i];
    out.push_back(static_cast<char>(wire(r, 0, littleEndian) & 0x07u));
    for (int j = 1; j <= last; ++j) out.push_back(static_cast<char>(wire(r, j, littleEndian)));
    if (kind == kMcdc) put_int(out, groupId, 2, littleEndian);
    put_int(out, number++, 4, littleEndian);
  }
  return out;
}

std::string node_entry(uint64_t r, bool le) {
  return std::to_string(field1(r, le)) + " " + std::to_string(field2(r, le)) + kEntryTail;
}

std::string cond_entry(uint64_t r, bool le) {
  return std::to_string(field1(r, le)) + " " + std::to_string(field2(r, le)) + " " +
         std::to_string(field3(r, le)) + kEntryTail;
}

std::string mcdc_entry(uint64_t r, bool le) {
  // Condition codes, most significant pair first; 11 (unset) shows nothing.
  std::string s;
  for (int i = 4; i <= 7; ++i) {
    unsigned byte = wire(r, i, le);
    for (int shift = 6; shift >= 0; shift -= 2) {
      unsigned code = (byte >> shift) & 3u;
      if (code != 3u) s.push_back(static_cast<char>('0' + code));
    }
  }
  // The field between the decision and the conditions is empty on purpose:
  // the collector splits on single blanks.
  return std::to_string(field1(r, le)) + " " + std::to_string(decision(r, le)) + "  " + s +
         kEntryTail;
}

std::string crash_text(const std::string& name, const std::string& type,
                       const std::string& cause) {
  return "name:///" + name + "\ntestcase:///0\ntype:///" + type + "\ncause:///" + cause + "\n";
}

std::string data_text(const std::string& name, const std::string& entries) {
  return "name:///" + name + "\ntestcase:///0\ndata:///" + entries + "\n";
}

}  // namespace qel_last

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
    : lastDD(new (std::nothrow) Ring()),
      lastCond(new (std::nothrow) Ring()),
      lastMCDC(new (std::nothrow) Ring()) {
  std::memset(ip, 0, sizeof(ip));
  std::memset(state, 0, sizeof(state));
  pthread_mutex_init(&mutex, nullptr);
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
  pthread_mutex_destroy(&mutex);
  delete lastDD;
  delete lastCond;
  delete lastMCDC;
}

void QelSendLast::init_zmq() {
  qel_sync::MutexGuard lock(mutex);
  const int32_t me = qel_port::current_pid();
  if (socket && socket_pid_ != me) socket = nullptr;  // the parent's, see ~QelSendLast
  if (socket || !context) return;
  socket = qel_net::open_push_socket(context, ip, state, 15562, qel_net::SocketKind::Stream);
  socket_pid_ = me;
}

void QelSendLast::request_stop() {
  // release: pairs with the acquire loads in wait_cycle and fsend_lastData.
  stopSend.store(true, std::memory_order_release);
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
  // Slept in short slices rather than in one piece: the shutdown waits for
  // this thread, and must not wait out the rest of a 30-second cycle.
  // relaxed: a setting, not a hand-over of data.
  const unsigned cycle = cycle_ms_.load(std::memory_order_relaxed);
  const uint32_t start = qel_port::tick_ms();
  // acquire: pairs with request_stop's release store.
  while (!stopSend.load(std::memory_order_acquire)) {
    uint32_t elapsed = qel_port::tick_ms() - start;
    if (elapsed >= cycle) return;
    qel_port::sleep_ms(std::min<unsigned>(kStopPollMs, cycle - elapsed));
  }
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

void QelSendLast::send_binary(const std::string& bytes, qel_net::SendPacing& pacing) {
  qel_sync::MutexGuard lock(mutex);
  if (!socket || socket_pid_ != qel_port::current_pid()) return;
  qel_net::send_message(socket, bytes.data(), bytes.size(), pacing);
}

void QelSendLast::send_rings(uint32_t numbers[3], qel_net::SendPacing& pacing, Drained& out) {
  const bool le = little_endian_now();
  // relaxed: see groupId.
  const uint16_t group = groupId.load(std::memory_order_relaxed);
  Ring* rings[3] = {lastDD, lastCond, lastMCDC};
  for (int k = 0; k < 3; ++k) {
    out.count[k] = drain(rings[k], out.records[k]);
    if (out.count[k] == 0) continue;
    send_binary(qel_last::encode_last_data(static_cast<qel_last::Kind>(k + 1), out.records[k],
                                           out.count[k], numbers[k], group, le),
                pacing);
  }
}

void QelSendLast::run_cycle(uint32_t numbers[3]) {
  check_leak();
  Drained drained;
  send_rings(numbers, cycle_pacing_, drained);
}

void QelSendLast::sendLeaveMsg(std::string name, std::string type, std::string cause) {
  try {
    replace_all(type, "\n", "\\n");
    replace_all(cause, "\n", "\\n");
    QelSendProperty* prop = QelSendProperty::GetSendPropertyInstance();
    if (prop) prop->sendMsg(Crash, qel_last::crash_text(name, type, cause));

    // A crash report numbers its entries from 1, apart from the cycle's count.
    uint32_t numbers[3] = {1, 1, 1};
    Drained drained;
    send_rings(numbers, crash_pacing_, drained);

    static const DATA_INDEX kIndex[3] = {CrashLastDD, CrashLastCond, CrashLastMCDC};
    std::string (*const kEntry[3])(uint64_t, bool) = {qel_last::node_entry, qel_last::cond_entry,
                                                      qel_last::mcdc_entry};
    const bool le = little_endian_now();
    for (int k = 0; k < 3; ++k) {
      if (drained.count[k] == 0) continue;
      std::string entries;
      for (std::size_t i = 0; i < drained.count[k]; ++i)
        entries += kEntry[k](drained.records[k][i], le);
      if (prop) prop->sendMsg(kIndex[k], qel_last::data_text(name, entries));
    }
  } catch (...) {
    // A crash report must never take the program down with it.
  }
}

void* fsend_lastData(void* sender) {
  QelSendLast* self = static_cast<QelSendLast*>(sender);
  if (!self) return sender;
  self->init_zmq();
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
    // acquire: pairs with request_stop's release store.
    if (self->stopSend.load(std::memory_order_acquire)) break;
  }
  return sender;
}
