// ZeroMQ's functions, loaded at first need on POSIX, linked on Windows.
//
// No lock: two threads that need the library at once both dlopen it (the
// dynamic loader counts the second as a reference to the first) and fill a
// table each; the first to publish wins and the other frees its own. So a
// fork in the middle of a load leaves nothing held in the child, which
// simply loads again.
#include "port_zmq.h"

#include <atomic>
#include <new>
#include <string>

#include "port.h"
#include "trace.h"

#ifndef _WIN32
#include <dlfcn.h>
#endif

namespace qel_port {
namespace zmq {

namespace {

std::atomic<const Api*> g_api{nullptr};
std::atomic<bool> g_failed{false};
std::atomic<const char*> g_name{nullptr};

#ifdef _WIN32

const Api* load() {
  static const Api linked = {::zmq_ctx_new,        ::zmq_ctx_term,   ::zmq_socket,   ::zmq_close,
                             ::zmq_setsockopt,     ::zmq_getsockopt, ::zmq_bind,     ::zmq_connect,
                             ::zmq_send,           ::zmq_poll,       ::zmq_errno,    ::zmq_strerror,
                             ::zmq_socket_monitor, ::zmq_msg_init,   ::zmq_msg_recv, ::zmq_msg_size,
                             ::zmq_msg_data,       ::zmq_msg_more,   ::zmq_msg_close};
  return &linked;
}

#else

#ifdef __APPLE__
constexpr const char* kLibrary = "libzmq.5.dylib";
#else
constexpr const char* kLibrary = "libzmq.so.5";
#endif

template <typename F>
bool resolve(void* handle, const char* symbol, F& out, const char*& missing) {
  out = reinterpret_cast<F>(dlsym(handle, symbol));
  if (!out && !missing) missing = symbol;
  return out != nullptr;
}

// Traces the first failure only: a process that cannot load ZeroMQ says so
// once, not once per channel.
void tell_failure(const char* name, const char* why) {
  if (g_failed.exchange(true, std::memory_order_relaxed)) return;
  qel_trace::line("ZeroMQ not loaded (%s: %s), messages go to the spool or are dropped::%d\n", name,
                  why ? why : "unknown error", qel_port::current_pid());
}

const Api* load() {
  // acquire: pairs with set_library_name's release store.
  const char* chosen = g_name.load(std::memory_order_acquire);
  const char* name = chosen ? chosen : kLibrary;
  // RTLD_LOCAL: the program's own symbols, and a libzmq it may link itself,
  // are left alone; RTLD_NOW: a missing symbol shows here, not in a send.
  void* handle = dlopen(name, RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    tell_failure(name, dlerror());
    return nullptr;
  }
  Api* table = new (std::nothrow) Api();
  if (!table) {
    tell_failure(name, "no memory");
    return nullptr;
  }
  const char* missing = nullptr;
  resolve(handle, "zmq_ctx_new", table->ctx_new, missing);
  resolve(handle, "zmq_ctx_term", table->ctx_term, missing);
  resolve(handle, "zmq_socket", table->socket, missing);
  resolve(handle, "zmq_close", table->close, missing);
  resolve(handle, "zmq_setsockopt", table->setsockopt, missing);
  resolve(handle, "zmq_getsockopt", table->getsockopt, missing);
  resolve(handle, "zmq_bind", table->bind, missing);
  resolve(handle, "zmq_connect", table->connect, missing);
  resolve(handle, "zmq_send", table->send, missing);
  resolve(handle, "zmq_poll", table->poll, missing);
  resolve(handle, "zmq_errno", table->errno_value, missing);
  resolve(handle, "zmq_strerror", table->strerror, missing);
  resolve(handle, "zmq_socket_monitor", table->socket_monitor, missing);
  resolve(handle, "zmq_msg_init", table->msg_init, missing);
  resolve(handle, "zmq_msg_recv", table->msg_recv, missing);
  resolve(handle, "zmq_msg_size", table->msg_size, missing);
  resolve(handle, "zmq_msg_data", table->msg_data, missing);
  resolve(handle, "zmq_msg_more", table->msg_more, missing);
  resolve(handle, "zmq_msg_close", table->msg_close, missing);
  if (missing) {
    // The handle stays open: a loaded library is cheap to keep, and closing
    // one that the program itself also uses is not ours to do.
    tell_failure(name, (std::string("no symbol ") + missing).c_str());
    delete table;
    return nullptr;
  }
  // The library stays loaded for the life of the process: sockets and
  // contexts of ours may outlive any point where unloading would be safe.
  const Api* expected = nullptr;
  // acq_rel: publishes the table; on losing, acquires the winner's.
  if (!g_api.compare_exchange_strong(expected, table, std::memory_order_acq_rel)) {
    delete table;
    return expected;
  }
  return table;
}

#endif

}  // namespace

const Api* api() {
  // acquire: pairs with the publication in load().
  if (const Api* a = g_api.load(std::memory_order_acquire)) return a;
  if (g_failed.load(std::memory_order_relaxed)) return nullptr;
#ifdef _WIN32
  const Api* a = load();
  g_api.store(a, std::memory_order_release);
  return a;
#else
  return load();
#endif
}

bool loaded() { return g_api.load(std::memory_order_acquire) != nullptr; }

void set_library_name(const char* name) {
  // release: pairs with load()'s acquire.
  g_name.store(name, std::memory_order_release);
}

}  // namespace zmq
}  // namespace qel_port
