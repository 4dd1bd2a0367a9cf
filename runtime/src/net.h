#pragma once
// ZeroMQ plumbing shared by every sender: socket set-up and sends that wait
// for a collector without ever hanging the program under test.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "qelmq/SenderBase.h"
#include "qelmq/protocol/config.h"
#include "qelmq/protocol/endpoints.h"

namespace qel_net {

// A runtime instance's messaging: what its sockets are made in. Making one
// costs an allocation; the ZeroMQ context behind it (and the loading of
// ZeroMQ itself) comes with its first socket. end_messaging terminates the
// context, if one was made, and frees it; null stays null.
void* new_messaging();
void end_messaging(void*& messaging);
// True during a shutdown (not a crash flush) with a spool when no socket was
// ever opened in `messaging`: then none is, and every message goes to the
// spool at once, as exactly as the sockets would have carried it.
bool spool_only(void* messaging);

// Creates a PUSH socket in `messaging` with the options of `channel`'s row
// of the endpoint table and binds "tcp://*:<port>", or connects
// "tcp://<ip>:<port>" when `state` is exactly "1". Every socket also gets a
// finite linger, so terminating the context never waits forever for a
// collector that stopped taking messages. Returns null on failure, when
// ZeroMQ cannot be loaded, and at a shutdown that found no socket of the
// process open while there is a spool (everything goes to the spool then).
void* open_push_socket(void* messaging, const char* ip, const char* state,
                       qel_wire::Channel channel);

void close_socket(void*& socket);

// What the process's sockets name their connections with from now on
// (qel_wire::kOriginProperty); the bootstrap sets it for its stream.
void set_origin(const std::string& origin);

// Closes `socket` (made in `messaging`) and returns once the messages it still
// holds have been written to the operating system, or after `bound_ms`. True
// when they were. A plain send only hands a message to the context's I/O
// thread: a program that ends right after it (`_exit`, a fatal signal) loses
// the message. Leave operations close their sockets this way.
bool close_and_wait(void*& socket, void* messaging, unsigned bound_ms);

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

// The shutdown's wait for a collector. A message that finds no collector
// connected at shutdown waits for one until a deadline that every socket of
// the process shares, so a program pays the wait once, not per socket:
//  * without a spool: until `wait_ms` after the runtime's sockets were
//    opened. A collector that keeps retrying its connection (ZeroMQ's default
//    is every 100 ms plus up to 100 ms of jitter) has connected by then, and
//    a program that ran longer than that with nobody connected pays nothing.
//    In connect mode at least kStoppingGraceMs after the shutdown began, for
//    connections still being made.
//  * with a spool (qelcollect started the program and reads the spool):
//    kStoppingGraceMs after the shutdown began; what is still undelivered
//    then goes to the spool, which is exact and costs no waiting.
// A socket whose bind failed can never have a peer: its sends give up at once.
//
// Called by the bootstrap, before the senders' threads start.
void note_bootstrap(bool connect_mode, unsigned wait_ms, bool spool);
// Called when sockets were closed and opened again (after a crash flush the
// program recovered from): a collector that was connected is reconnecting,
// so the wait counts from now.
void note_reconnect_expected();
// Raises runtime_stopping and fixes the deadline; a second call in the same
// shutdown keeps the first deadline.
void begin_shutdown();
// The bound the bootstrap was given.
unsigned collector_wait_ms();

// Milliseconds a send waits at shutdown for connections in progress.
constexpr unsigned kStoppingGraceMs = 100;
using qel_wire::kDefaultCollectorWaitMs;
using qel_wire::kMaxCollectorWaitMs;
// ZMQ_LINGER of every socket.
constexpr int kLingerMs = 3000;

}  // namespace qel_net
