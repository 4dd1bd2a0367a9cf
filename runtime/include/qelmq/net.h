#pragma once
// ZeroMQ plumbing shared by every sender: socket set-up and sends that wait
// for a collector without ever hanging the program under test.
#include <atomic>
#include <cstddef>
#include <cstdint>

namespace qel_net {

// Socket option sets of the endpoint table.
enum class SocketKind {
  Stream,    // send buffer "system default", no high-water mark
  Property,  // no options of its own
  Events,    // 2 s send and receive time-outs, set after bind/connect
};

// Creates a PUSH socket on `context` and binds "tcp://*:<port>", or connects
// "tcp://<ip>:<port>" when `state` is exactly "1". Every socket also gets a
// finite linger, so terminating the context never waits forever for a
// collector that stopped taking messages. Returns null on failure.
void* open_push_socket(void* context, const char* ip, const char* state, int port, SocketKind kind);

void close_socket(void*& socket);

// Set once the runtime starts shutting down: from then on a send that finds
// no collector gives up after a short grace instead of waiting.
extern std::atomic<bool> runtime_stopping;

// How long a send may wait for a collector to take its message.
//
// While `stop` is null or clear, a send waits; with `stop` null the wait is
// bounded by `bounded_ms`, with a flag it lasts until the flag is set, then
// `bounded_ms` more. A send that gave up remembers it for a second, during
// which further sends on the same socket do not wait at all: a report of a
// thousand lines must not wait a thousand times for an absent collector.
// Not thread-safe: used under the owner's socket lock.
struct SendPacing {
  const std::atomic<bool>* stop = nullptr;
  const std::atomic<bool>* also_stop = nullptr;  // a second flag that ends the wait
  unsigned bounded_ms = 150;
  bool gave_up = false;
  uint32_t gave_up_tick = 0;
};

// One message; true when the socket accepted it.
bool send_message(void* socket, const void* data, std::size_t len, SendPacing& pacing);

// Milliseconds a finite send waits while the runtime is stopping.
constexpr unsigned kStoppingGraceMs = 100;
// ZMQ_LINGER of every socket.
constexpr int kLingerMs = 3000;

}  // namespace qel_net
