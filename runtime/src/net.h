#pragma once
// ZeroMQ plumbing shared by every sender: socket set-up and sends that wait
// for a collector without ever hanging the program under test.
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "qelmq/SenderBase.h"
#include "qelmq/protocol/endpoints.h"

namespace qel_net {

// Creates a PUSH socket on `context` with the options of `channel`'s row of
// the endpoint table and binds "tcp://*:<port>", or connects
// "tcp://<ip>:<port>" when `state` is exactly "1". Every socket also gets a
// finite linger, so terminating the context never waits forever for a
// collector that stopped taking messages. Returns null on failure.
void* open_push_socket(void* context, const char* ip, const char* state, qel_wire::Channel channel);

void close_socket(void*& socket);

// Closes `socket` (made in `context`) and returns once the messages it still
// holds have been written to the operating system, or after `bound_ms`. True
// when they were. A plain send only hands a message to the context's I/O
// thread: a program that ends right after it (`_exit`, a fatal signal) loses
// the message. Leave operations close their sockets this way.
bool close_and_wait(void*& socket, void* context, unsigned bound_ms);

// Set once the runtime starts shutting down: from then on a send that finds
// no collector gives up after a short grace instead of waiting.
extern std::atomic<bool> runtime_stopping;

// One message; true when the socket accepted it. See SendPacing.
bool send_message(void* socket, const void* data, std::size_t len, SendPacing& pacing);

// Longest a leave operation waits, for locks and for its messages to leave.
constexpr unsigned kLeaveBoundMs = 1000;

// Starts a flush that must end by `bound_ms` from now (the crash path):
// until end_flush_deadline(), leave_wait_ms() counts down to it.
void begin_flush_deadline(unsigned bound_ms);
void end_flush_deadline();
// What a leave operation may still wait now: kLeaveBoundMs, or what is left
// of a flush deadline that is running (0 once it has passed).
unsigned leave_wait_ms();
// How long a leave operation may wait for one lock: leave_wait_ms(), but
// during a flush deadline at most kFlushLockWaitMs, so that one lock held by
// a crashed thread costs one sender its flush and not every later sender.
unsigned leave_lock_wait_ms();
constexpr unsigned kFlushLockWaitMs = 100;

// Called by the bootstrap. In connect mode a collector is expected: its
// connections may still be completing when a short program already ends, so
// until kConnectGraceMs after the bootstrap a send at shutdown waits for them
// (at most kStoppingGraceMs). In bind mode, and later on, a send at shutdown
// that finds no collector connected gives up at once: there is none to wait
// for, and every instrumented process would pay the wait at exit.
void note_bootstrap(bool connect_mode);
// Called when sockets were closed and opened again (after a crash flush the
// program recovered from): a collector that was connected is reconnecting,
// so the same grace applies from now, in either mode.
void note_reconnect_expected();

// Milliseconds a finite send waits while the runtime is stopping, at most.
constexpr unsigned kStoppingGraceMs = 100;
constexpr unsigned kConnectGraceMs = 200;
// ZMQ_LINGER of every socket.
constexpr int kLingerMs = 3000;

}  // namespace qel_net
