#pragma once
// What every sender of the runtime has: its channel, the collector
// configuration the bootstrap hands it, its socket and lock, and the two
// stop operations of the shutdown.
#include <pthread.h>

#include <atomic>
#include <cstdint>

#include "qelmq/export.h"

#include "qelmq/protocol/endpoints.h"

extern "C" {
// The process whose bootstrap made the current runtime instance (0 before
// the first). A sender opens a socket only in that process: a child of
// fork() inherits the parent's senders, whose context is the parent's.
// relaxed: read beside the instance pointer, which carries the ordering.
QEL_EXPORT extern std::atomic<int32_t> pid;
}

namespace qel_net {
// How long a send may wait for a collector to take its message.
//
// While `stop` is null or clear, a send waits; with `stop` null the wait is
// bounded by `bounded_ms`, with a flag it lasts until the flag is set, then
// `bounded_ms` more. A send that gave up remembers it for a second, during
// which further sends on the same socket do not wait at all: a report of a
// thousand lines must not wait a thousand times for an absent collector.
// Not thread-safe: each sender keeps its own, used under its socket lock.
struct SendPacing {
  const std::atomic<bool>* stop = nullptr;
  const std::atomic<bool>* also_stop = nullptr;  // a second flag that ends the wait
  unsigned bounded_ms = 150;
  bool gave_up = false;
  uint32_t gave_up_tick = 0;
};
}  // namespace qel_net

// Design
// ------
//  * `ip`, `state`, `context`: written by the bootstrap (configure) before
//    the sender's thread starts; read-only afterwards.
//  * `socket`: opened by init_zmq on the thread the endpoint table names;
//    each sender says which lock guards its later uses. Closed by the
//    sender's leave operation or its destruction, never twice.
//  * `mutex`: the sender's own lock; what it guards besides the socket's
//    creation is said by each sender.
//  * `stopEnqueue`, `stopSend`: raised once by the shutdown with release
//    stores; probes and the sender's thread read them with acquire. A sender
//    that has no queue (or no thread) never looks at the flag concerned.
//  * `wakeWord`: changed (release) after either flag is raised, and the
//    sender's thread sleeps on it (wait_for_wake), so the shutdown never
//    waits for a thread to sleep out its period.
class QEL_EXPORT SenderBase {
 public:
  virtual ~SenderBase();
  SenderBase(const SenderBase&) = delete;
  SenderBase& operator=(const SenderBase&) = delete;

  // Copies the collector configuration of the runtime instance.
  void configure(const char* collector_ip, const char* mode, void* messaging_context);

  // Shutdown, first step: later records are dropped.
  virtual void request_stop_enqueue();
  // Shutdown, second step: the sender's thread sends what it holds and ends.
  // Both also wake the sender's thread (wake()).
  virtual void request_stop_send();

  // The sender's thread: reads the word before it looks at the flags, then
  // sleeps up to `ms` unless the word changed meanwhile.
  uint32_t wake_seen() const { return wakeWord.load(std::memory_order_acquire); }
  void wait_for_wake(uint32_t seen, unsigned ms) const;
  // Ends the current sleep of the sender's thread.
  void wake();

  // After the stop requests, with no thread of its own ever started: true
  // when the sender has nothing to send, so the shutdown neither opens its
  // socket nor runs its thread's body on the exiting thread.
  virtual bool idle_at_stop() { return false; }

  qel_wire::Channel channel() const { return channel_; }
  // Port of the channel, from the endpoint table.
  int port() const;

  char ip[128];
  char state[2];
  void* context = nullptr;  // the instance's messaging, see thread_exit::context
  void* socket = nullptr;
  pthread_mutex_t mutex;
  std::atomic<bool> stopEnqueue{false};
  std::atomic<bool> stopSend{false};
  std::atomic<uint32_t> wakeWord{0};

 protected:
  explicit SenderBase(qel_wire::Channel channel);

  // Creates the channel's PUSH socket and binds or connects it (null on
  // failure). The caller holds whatever lock guards `socket`.
  void* open_channel_socket() const;

 private:
  qel_wire::Channel channel_;
};
