#pragma once
#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "qelmq/SenderBase.h"
#include "qelmq/export.h"
#include "qelmq/protocol/texts.h"  // DATA_INDEX

// Process-wide property channel and byte-order flag.
//
// Design: `socket` is created on the insert thread and then used by whatever
// thread reports (leak reports at load and unload and every cycle of the
// crash sender, crash reports from the program). ZeroMQ sockets must not be
// used by two threads at once, so `mutex` guards the socket for its creation
// and for every send.
class QEL_EXPORT QelSendProperty : public SenderBase {
 public:
  static QelSendProperty* GetSendPropertyInstance();
  static void RelaseSendPropertyInstance();

  QelSendProperty();
  ~QelSendProperty() override;

  void init_zmq();
  void close_zmq();
  void sendMsg(DATA_INDEX index, std::string data);
  // sendMsg for leave operations: gives up when `mutex` cannot be had within
  // `wait_ms` (its holder may have crashed). True when the socket took it.
  bool sendMsgWithin(DATA_INDEX index, const std::string& data, unsigned wait_ms);
  // Waits (bounded) until everything sent so far has left the process, by
  // closing the socket; opens a fresh one for later messages.
  void flush(unsigned wait_ms);
  void setLittleEndian();
  // The byte-order flag as probes and senders read it when they build a
  // record or a message: true while no channel exists yet, since every
  // record is meant to come out in the layout with the flag set.
  static bool little_endian_flag();
  static void int_char(int n, char* out);

  // Builds the message text (prefix, ":///", data); the zero byte that ends
  // it on the wire is the string's terminator.
  static std::string format_message(DATA_INDEX index, const std::string& data);

  // True once init_zmq has opened the socket of this process.
  bool socket_ready() const { return socket_ready_.load(std::memory_order_acquire); }

  static std::atomic<QelSendProperty*> instance;
  static pthread_mutex_t _mutexInst;

  // Set from construction on: every record is laid out with the flag set,
  // also one built just before a bootstrap (relaxed: written once, before the
  // runtime's threads start, and its value never changes afterwards).
  std::atomic<bool> littleEndian{true};

 private:
  // Under `mutex`: opens the socket unless this process already has one.
  void open_locked();

  qel_net::SendPacing pacing_;
  int32_t owner_pid_ = 0;  // process whose context made `socket`
  // release: pairs with socket_ready()'s acquire, publishing `socket`.
  std::atomic<bool> socket_ready_{false};
};

inline bool QelSendProperty::little_endian_flag() {
  QelSendProperty* p = GetSendPropertyInstance();
  // relaxed: true from construction and never cleared.
  return p ? p->littleEndian.load(std::memory_order_relaxed) : true;
}
