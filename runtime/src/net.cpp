#include "net.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "port.h"
#include "port_zmq.h"
#include "qelmq/protocol/config.h"
#include "qelmq/protocol/texts.h"
#include "sync.h"
#include "trace.h"

// Stable in libzmq since 4.3.0, yet its header shows it only to builds of
// the draft interface.
#ifndef ZMQ_METADATA
#define ZMQ_METADATA 95
#endif

namespace qel_net {

std::atomic<bool> runtime_stopping{false};

namespace {
// The crash flush sets the deadline, then raises the flag (release); leave
// operations on the flush thread read the flag with acquire, then the tick.
std::atomic<bool> flush_deadline_set{false};
std::atomic<uint32_t> flush_deadline_tick{0};
// relaxed: written by the bootstrap before the senders' threads start
// (thread creation orders them) or by a reopen after a crash flush; read at
// shutdown, where a stale value only moves the deadline.
std::atomic<uint32_t> sockets_opened_tick{0};
std::atomic<bool> connect_mode_seen{false};
std::atomic<bool> spool_given{false};
std::atomic<unsigned> wait_bound_ms{kDefaultCollectorWaitMs};
// relaxed: written by begin_shutdown before its release store of
// runtime_stopping, read after an acquire load of the flag.
std::atomic<uint32_t> shutdown_deadline{0};

// "X-Qel-Origin:<origin>", set by each bootstrap before its sockets open;
// the lock makes a socket opened meanwhile (a probe's bootstrap racing a
// leave operation's reopen) read it whole.
pthread_mutex_t origin_lock = PTHREAD_MUTEX_INITIALIZER;
char origin_property[96];
std::size_t origin_length = 0;

// In the child of a fork only the forking thread exists: a parent's thread
// that was opening a socket at that moment held `origin_lock` for good, and
// the child's own bootstrap (set_origin) would wait for it for ever. The
// parent's origin it still holds is replaced by that bootstrap.
void reset_origin_lock_in_child() { pthread_mutex_init(&origin_lock, nullptr); }

bool after(uint32_t a, uint32_t b) { return static_cast<int32_t>(a - b) > 0; }

// A runtime instance's messaging: its ZeroMQ context, made with its first
// socket. Two threads opening their first sockets at once may both make
// one; the first published is kept and the other terminated (a context
// without sockets has started no thread yet).
struct Messaging {
  std::atomic<void*> context{nullptr};
};

void* context_of(Messaging* m) {
  // acquire: pairs with the publication below.
  void* c = m->context.load(std::memory_order_acquire);
  if (c) return c;
  const qel_port::zmq::Api* z = qel_port::zmq::api();
  if (!z) return nullptr;
  void* made = z->ctx_new();
  if (!made) return nullptr;
  // acq_rel: publishes the context; on losing, acquires the winner's.
  if (m->context.compare_exchange_strong(c, made, std::memory_order_acq_rel)) return made;
  z->ctx_term(made);
  return c;
}

// Whether a socket was ever bound or connected: a failed bind leaves no
// endpoint, and then no collector can ever reach it.
bool has_endpoint(void* socket) {
  const qel_port::zmq::Api* z = qel_port::zmq::api();
  if (!z) return false;
  char endpoint[256];
  std::size_t len = sizeof(endpoint);
  return z->getsockopt(socket, ZMQ_LAST_ENDPOINT, endpoint, &len) == 0 && len > 1;
}

// A send at shutdown may go on waiting for a collector.
bool may_wait_at_shutdown(void* socket, uint32_t now) {
  return after(shutdown_deadline.load(std::memory_order_relaxed), now) && has_endpoint(socket);
}
}  // namespace

void note_bootstrap(bool connect_mode, unsigned wait_ms, bool spool) {
  sockets_opened_tick.store(qel_port::tick_ms(), std::memory_order_relaxed);
  connect_mode_seen.store(connect_mode, std::memory_order_relaxed);
  spool_given.store(spool, std::memory_order_relaxed);
  wait_bound_ms.store(wait_ms, std::memory_order_relaxed);
  runtime_stopping.store(false, std::memory_order_release);
}

void set_origin(const std::string& origin) {
  qel_port::register_fork_child_hook(reset_origin_lock_in_child);
  const std::string property = std::string(qel_wire::kOriginProperty) + ":" + origin;
  qel_sync::MutexGuard lock(origin_lock);
  origin_length = property.size() < sizeof(origin_property) ? property.size() : 0;
  std::memcpy(origin_property, property.data(), origin_length);
}

void note_reconnect_expected() {
  sockets_opened_tick.store(qel_port::tick_ms(), std::memory_order_relaxed);
}

void begin_shutdown() {
  // acquire: pairs with the release store below, in an earlier call.
  if (runtime_stopping.load(std::memory_order_acquire)) return;
  const uint32_t now = qel_port::tick_ms();
  const uint32_t grace = now + kStoppingGraceMs;
  uint32_t deadline;
  if (spool_given.load(std::memory_order_relaxed)) {
    deadline = grace;
  } else {
    deadline = sockets_opened_tick.load(std::memory_order_relaxed) +
               wait_bound_ms.load(std::memory_order_relaxed);
    if (connect_mode_seen.load(std::memory_order_relaxed) && after(grace, deadline))
      deadline = grace;
    // Long past (a program that ran for weeks): no wait, and no wrap-around.
    if (!after(deadline, now)) deadline = now;
  }
  shutdown_deadline.store(deadline, std::memory_order_relaxed);
  // release: publishes the deadline to every send that sees the flag.
  runtime_stopping.store(true, std::memory_order_release);
}

unsigned collector_wait_ms() { return wait_bound_ms.load(std::memory_order_relaxed); }

void begin_flush_deadline(unsigned bound_ms) {
  // relaxed: published by the release store of the flag.
  flush_deadline_tick.store(qel_port::tick_ms() + bound_ms, std::memory_order_relaxed);
  flush_deadline_set.store(true, std::memory_order_release);
}

void end_flush_deadline() { flush_deadline_set.store(false, std::memory_order_release); }

unsigned leave_wait_ms() {
  // acquire: pairs with begin_flush_deadline's release store.
  if (!flush_deadline_set.load(std::memory_order_acquire)) return kLeaveBoundMs;
  int32_t left = static_cast<int32_t>(flush_deadline_tick.load(std::memory_order_relaxed) -
                                      qel_port::tick_ms());
  if (left <= 0) return 0;
  return static_cast<unsigned>(left) < kLeaveBoundMs ? static_cast<unsigned>(left) : kLeaveBoundMs;
}

static void set_int(const qel_port::zmq::Api* z, void* s, int option, int value) {
  z->setsockopt(s, option, &value, sizeof(value));
}

void* open_push_socket(void* messaging, const char* ip, const char* state,
                       qel_wire::Channel channel) {
  const qel_wire::Endpoint& e = qel_wire::endpoint(channel);
  Messaging* m = static_cast<Messaging*>(messaging);
  if (!m) return nullptr;
  bool connect_mode = std::strcmp(state, qel_wire::kConnectMode) == 0;
  // A bind-mode process told not to wait for a collector (wait 0, no
  // spool) that first opens a socket at its shutdown: nobody can be
  // connected to it, so it is not opened (ZeroMQ then starts no thread at
  // all), and what it would have carried is counted dropped, as a send
  // finding no collector. With a wait the socket is opened as ever, and a
  // port another process holds is named below.
  // acquire: pairs with begin_shutdown's release store.
  if (!connect_mode && runtime_stopping.load(std::memory_order_acquire) &&
      !flush_deadline_set.load(std::memory_order_acquire) &&
      wait_bound_ms.load(std::memory_order_relaxed) == 0 &&
      !spool_given.load(std::memory_order_relaxed))
    return nullptr;
  // With a spool, a process that opened no socket before its shutdown began
  // opens none: what it holds goes to the spool, exactly as the sockets
  // would have carried it, with no context, no connection and no waiting.
  // A crash flush keeps its sockets (the program may go on afterwards).
  if (spool_only(m)) return nullptr;
  void* context = context_of(m);
  if (!context) return nullptr;
  const qel_port::zmq::Api* z = qel_port::zmq::api();
  void* s = z->socket(context, ZMQ_PUSH);
  if (!s) return nullptr;
  if (e.kind == qel_wire::SocketKind::Stream) {
    // -1 is "system default" since libzmq 4.2; 0 would shrink the kernel
    // buffer to its minimum and throttle every sender.
    set_int(z, s, ZMQ_SNDBUF, -1);
    set_int(z, s, ZMQ_SNDHWM, 0);
  }
  set_int(z, s, ZMQ_LINGER, kLingerMs);
  // The connection names this runtime instance, so that a collector taking
  // many processes' messages on one socket tells them apart. An older
  // libzmq refuses the option and the connection simply names nobody.
  {
    qel_sync::MutexGuard lock(origin_lock);
    if (origin_length > 0) z->setsockopt(s, ZMQ_METADATA, origin_property, origin_length);
  }
  // In connect mode, queue only on completed connections: with no collector
  // listening a send then waits (and gives up at shutdown) exactly as in
  // bind mode, instead of piling messages into a pipe to nowhere.
  if (connect_mode) set_int(z, s, ZMQ_IMMEDIATE, 1);
  char endpoint[192];
  int rc;
  if (connect_mode) {
    std::snprintf(endpoint, sizeof(endpoint), "tcp://%s:%d", ip, e.port);
    rc = z->connect(s, endpoint);
  } else {
    std::snprintf(endpoint, sizeof(endpoint), "tcp://*:%d", e.port);
    rc = z->bind(s, endpoint);
  }
  // Without its port a channel delivers nothing; say so once, naming the
  // port and the reason (most often another process bound it first).
  if (rc != 0)
    qel_trace::line("%s %s failed: %s::%d\n", connect_mode ? "connect" : "bind", endpoint,
                    z->strerror(z->errno_value()), qel_port::current_pid());
  if (e.kind == qel_wire::SocketKind::Events) {
    set_int(z, s, ZMQ_SNDTIMEO, qel_wire::kEventsTimeoutMs);
    set_int(z, s, ZMQ_RCVTIMEO, qel_wire::kEventsTimeoutMs);
  }
  return s;
}

void close_socket(void*& socket) {
  // A socket exists only once the library is loaded.
  if (socket) {
    const qel_port::zmq::Api* z = qel_port::zmq::api();
    z->close(socket);
    socket = nullptr;
  }
}

bool close_and_wait(void*& socket, void* messaging, unsigned bound_ms) {
  if (!socket) return true;
  const qel_port::zmq::Api* z = qel_port::zmq::api();
  Messaging* m = static_cast<Messaging*>(messaging);
  void* context = m ? m->context.load(std::memory_order_acquire) : nullptr;
  // ZeroMQ has no "flush". What it does have: a closed socket lingers until
  // its sessions have passed every queued message to their connections (or
  // the linger time is up), and only then is the socket destroyed, which
  // stops its monitor with a MONITOR_STOPPED event. Waiting for that event
  // is waiting for the messages to leave the process.
  int linger = static_cast<int>(bound_ms);
  z->setsockopt(socket, ZMQ_LINGER, &linger, sizeof(linger));
  static std::atomic<unsigned> serial{0};
  char endpoint[64];
  // relaxed: only makes the name unique.
  std::snprintf(endpoint, sizeof(endpoint), "inproc://qel-leave-%d-%u", qel_port::current_pid(),
                serial.fetch_add(1, std::memory_order_relaxed));
  void* monitor = nullptr;
  if (context && z->socket_monitor(socket, endpoint, ZMQ_EVENT_MONITOR_STOPPED) == 0) {
    monitor = z->socket(context, ZMQ_PAIR);
    if (monitor && z->connect(monitor, endpoint) != 0) close_socket(monitor);
  }
  close_socket(socket);
  if (!monitor) return false;
  int zero = 0;
  z->setsockopt(monitor, ZMQ_LINGER, &zero, sizeof(zero));
  bool stopped = false;
  const uint32_t start = qel_port::tick_ms();
  for (;;) {
    uint32_t elapsed = qel_port::tick_ms() - start;
    if (elapsed >= bound_ms) break;
    zmq_pollitem_t item = {monitor, 0, ZMQ_POLLIN, 0};
    int rc = z->poll(&item, 1, static_cast<long>(bound_ms - elapsed));
    if (rc < 0 && z->errno_value() != EINTR) break;
    if (rc <= 0) continue;
    // An event is two frames: 16-bit event id and 32-bit value, then the
    // endpoint. Only MONITOR_STOPPED was asked for.
    zmq_msg_t frame;
    z->msg_init(&frame);
    if (z->msg_recv(&frame, monitor, ZMQ_DONTWAIT) >= 0 && z->msg_size(&frame) >= 2) {
      uint16_t event;
      std::memcpy(&event, z->msg_data(&frame), sizeof(event));
      stopped = event == ZMQ_EVENT_MONITOR_STOPPED;
    }
    bool more = z->msg_more(&frame);
    z->msg_close(&frame);
    while (more) {
      z->msg_init(&frame);
      if (z->msg_recv(&frame, monitor, ZMQ_DONTWAIT) < 0)
        more = false;
      else
        more = z->msg_more(&frame);
      z->msg_close(&frame);
    }
    if (stopped) break;
  }
  close_socket(monitor);
  return stopped;
}

bool send_message(void* socket, const void* data, std::size_t len, SendPacing& pacing) {
  if (!socket) return false;
  const qel_port::zmq::Api* z = qel_port::zmq::api();
  bool bounded_started = false;
  uint32_t bounded_since = 0;
  for (;;) {
    if (z->send(socket, data, len, ZMQ_DONTWAIT) >= 0) {
      pacing.gave_up = false;
      return true;
    }
    int err = z->errno_value();
    if (err == EINTR) continue;
    if (err != EAGAIN) return false;
    // With no high-water mark, EAGAIN means no collector is connected.
    uint32_t now = qel_port::tick_ms();
    // acquire: pairs with the release stores of whoever raises the flags.
    const bool stopping = runtime_stopping.load(std::memory_order_acquire);
    const bool crash_flush = flush_deadline_set.load(std::memory_order_acquire);
    if (stopping && !crash_flush) {
      // The shutdown: one deadline for every socket (see begin_shutdown).
      if (!may_wait_at_shutdown(socket, now)) {
        pacing.gave_up = true;
        pacing.gave_up_tick = now;
        return false;
      }
    } else {
      if (pacing.gave_up && now - pacing.gave_up_tick < 1000) return false;
      bool bounded = pacing.stop == nullptr || stopping ||
                     pacing.stop->load(std::memory_order_acquire) ||
                     (pacing.also_stop && pacing.also_stop->load(std::memory_order_acquire));
      if (bounded) {
        if (!bounded_started) {
          bounded_started = true;
          bounded_since = now;
        }
        unsigned limit = pacing.bounded_ms;
        // A crash flush (the process dies next, and its collector may still
        // be connecting) keeps a short grace.
        if (stopping && limit > kStoppingGraceMs) limit = kStoppingGraceMs;
        if (now - bounded_since >= limit) {
          pacing.gave_up = true;
          pacing.gave_up_tick = now;
          return false;
        }
      }
    }
    zmq_pollitem_t item = {socket, 0, ZMQ_POLLOUT, 0};
    if (z->poll(&item, 1, 10) < 0 && z->errno_value() != EINTR) return false;
  }
}

bool spool_only(void* messaging) {
  Messaging* m = static_cast<Messaging*>(messaging);
  // acquire: pairs with the release stores of whoever raises the flags.
  return m && runtime_stopping.load(std::memory_order_acquire) &&
         !flush_deadline_set.load(std::memory_order_acquire) &&
         spool_given.load(std::memory_order_relaxed) && !m->context.load(std::memory_order_acquire);
}

void* new_messaging() { return new (std::nothrow) Messaging(); }

void end_messaging(void*& messaging) {
  Messaging* m = static_cast<Messaging*>(messaging);
  messaging = nullptr;
  if (!m) return;
  if (void* c = m->context.exchange(nullptr, std::memory_order_acq_rel))
    qel_port::zmq::api()->ctx_term(c);
  delete m;
}

unsigned leave_lock_wait_ms() {
  unsigned wait = leave_wait_ms();
  // acquire: pairs with begin_flush_deadline's release store.
  if (flush_deadline_set.load(std::memory_order_acquire) && wait > kFlushLockWaitMs)
    wait = kFlushLockWaitMs;
  return wait;
}

}  // namespace qel_net
