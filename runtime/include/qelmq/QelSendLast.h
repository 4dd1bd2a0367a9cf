#pragma once
#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "qelmq/ArrayLockFreeQueue.h"
#include "qelmq/SenderBase.h"
#include "qelmq/export.h"

struct QelSendLastTestPeer;

// Thread function of the crash sender; the argument is the QelSendLast.
QEL_EXPORT void* fsend_lastData(void* sender);

// Crash and last-data sender: the latest 50 node, condition and
// MC/DC records, sent every 30 seconds and in a crash report.
//
// Design
// ------
//  * Rings: pushed only by the insert thread (keep_latest); popped by
//    fsend_lastData and by crash reports on any thread. The ring's CAS claim
//    hands each record to exactly one popper.
//  * `socket`: opened by init_zmq on fsend_lastData's thread, then used by
//    that thread and by crash reports on the program's threads. Every use,
//    closing included, holds `mutex`; so do `socket_pid_` and the pacings.
//  * `stopSend`: written by the shutdown (request_stop_send), read by
//    fsend_lastData, whose cycle wait request_stop_send cuts short.
//  * `ip`, `state`, `context`: as for every sender (SenderBase).
// Invariant: no send on `socket` ever waits without a time bound, so neither
// the shutdown nor a crash report waiting for `mutex` can hang.
class QEL_EXPORT QelSendLast : public SenderBase {
 public:
  using Ring = ArrayLockFreeQueue<uint64_t, 51>;

  static QelSendLast* getInstance();
  static void releaseInstance();

  QelSendLast();
  ~QelSendLast() override;

  void init_zmq();
  // Crash report: the Crash text and the latest records; returns once they
  // have left the process or about a second has passed.
  void sendLeaveMsg(std::string name, std::string type, std::string cause);

  // Pushes a record into a ring, dropping the oldest when 50 are held
  // (the insert thread, the only producer of the rings).
  static void keep_latest(Ring* ring, uint64_t record);

  static std::atomic<QelSendLast*> instance;
  static pthread_mutex_t _mutexInst;

  // relaxed: a single 16-bit value copied into messages, ordered by nothing.
  std::atomic<uint16_t> groupId{0};
  Ring* lastDD;
  Ring* lastCond;
  Ring* lastMCDC;

 private:
  friend void* fsend_lastData(void* sender);
  friend struct QelSendLastTestPeer;

  static constexpr unsigned kDefaultCycleMs = 30000;
  // How long one send may wait for a collector (it holds `mutex` meanwhile).
  static constexpr unsigned kCycleSendWaitMs = 500;
  static constexpr unsigned kCrashSendWaitMs = 1000;
  // A cycle waits this long for `mutex`, which a crash report may hold while
  // it waits (bounded) for its messages to leave.
  static constexpr unsigned kCycleLockWaitMs = 5000;

  // Longest the cycle wait sleeps before it looks at stopSend again.
  static constexpr unsigned kStopPollMs = 20;
  // How long the first leak check waits for the property socket.
  static constexpr unsigned kFirstLeakCheckWaitMs = 1000;

  // Sleeps one cycle; returns at once when a stop is asked for.
  void wait_cycle();
  // The start announcement and, with `leak_check`, the leak report of the
  // bootstrap, once the property socket is open.
  void first_leak_check(bool leak_check);
  // One round: leak report, then the rings as binary messages.
  void run_cycle(uint32_t numbers[3]);
  // Pops up to the ring's current count into `out`; returns how many came.
  static std::size_t drain(Ring* ring, uint64_t* out);
  // Waits at most `wait_ms` for `mutex`.
  void send_binary(const std::string& bytes, qel_net::SendPacing& pacing, unsigned wait_ms);
  // Closes `socket` once its messages have left (bounded) and opens it anew.
  void flush_socket();

  // The records taken from the three rings (node, condition, MC/DC).
  struct Drained {
    uint64_t records[3][Ring::capacity()];
    std::size_t count[3];
  };
  // Drains every ring and sends one last-data message per kind that held
  // records, numbering entries on from `numbers`. Shared by the cycle and
  // the crash report, so both encode alike. `leaving`: a crash report, whose
  // lock waits follow the leave bound.
  void send_rings(uint32_t numbers[3], qel_net::SendPacing& pacing, Drained& out, bool leaving);

  // relaxed: read once per wait; tests shorten it before starting the thread.
  std::atomic<unsigned> cycle_ms_{kDefaultCycleMs};
  int32_t socket_pid_ = 0;
  qel_net::SendPacing cycle_pacing_;
  qel_net::SendPacing crash_pacing_;
};

namespace qel_runtime {
// Set by the library's load before its bootstrap: the crash sender's thread
// of that bootstrap runs the first leak check (and clears the flag), so lazy
// bootstraps later on do not. acq_rel exchange by the thread, release store
// by the load.
extern std::atomic<bool> leak_check_at_start;
}  // namespace qel_runtime

QEL_EXPORT std::string& replace_all(std::string& str, const std::string& from,
                                    const std::string& to);
