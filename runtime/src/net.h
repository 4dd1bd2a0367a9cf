#pragma once
// ZeroMQ plumbing shared by every sender: socket set-up and sends that wait
// for a collector without ever hanging the program under test.
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "qelmq/SenderBase.h"
#include "wire.h"

namespace qel_net {

// Creates a PUSH socket on `context` with the options of `channel`'s row of
// the endpoint table and binds "tcp://*:<port>", or connects
// "tcp://<ip>:<port>" when `state` is exactly "1". Every socket also gets a
// finite linger, so terminating the context never waits forever for a
// collector that stopped taking messages. Returns null on failure.
void* open_push_socket(void* context, const char* ip, const char* state, qel_wire::Channel channel);

void close_socket(void*& socket);

// Set once the runtime starts shutting down: from then on a send that finds
// no collector gives up after a short grace instead of waiting.
extern std::atomic<bool> runtime_stopping;

// One message; true when the socket accepted it. See SendPacing.
bool send_message(void* socket, const void* data, std::size_t len, SendPacing& pacing);

// Called by the bootstrap. In connect mode a collector is expected: its
// connections may still be completing when a short program already ends, so
// until kConnectGraceMs after the bootstrap a send at shutdown waits for them
// (at most kStoppingGraceMs). In bind mode, and later on, a send at shutdown
// that finds no collector connected gives up at once: there is none to wait
// for, and every instrumented process would pay the wait at exit.
void note_bootstrap(bool connect_mode);

// Milliseconds a finite send waits while the runtime is stopping, at most.
constexpr unsigned kStoppingGraceMs = 100;
constexpr unsigned kConnectGraceMs = 200;
// ZMQ_LINGER of every socket.
constexpr int kLingerMs = 3000;

}  // namespace qel_net
