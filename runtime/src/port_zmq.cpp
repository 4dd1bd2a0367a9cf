// ZeroMQ's functions, loaded at first need on POSIX, linked on Windows.
//
// Design
// ------
// Any thread that makes a socket may be the first to need the library.
//  * `g_lock` guards the loading and `g_table`; the first caller fills the
//    table under it and then publishes it in `g_api` (release); callers read
//    `g_api` with acquire and, once it is set, take no lock. The table is
//    static, so it is no allocation that a library unload would orphan.
//  * `g_failed`: set under `g_lock` when the library cannot be had; read
//    relaxed as a hint (a stale false only costs taking the lock).
//  * In the child of a fork the lock is made anew: a parent's thread may
//    have held it in the middle of a load; the child then loads again.
#include "port_zmq.h"

#include <pthread.h>

#include <atomic>
#include <string>

#include "port.h"
#include "sync.h"
#include "trace.h"

#ifndef _WIN32
#include <dlfcn.h>
#endif

namespace qel_port {
namespace zmq {

namespace {

pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;
Api g_table;
std::atomic<const Api*> g_api{nullptr};
std::atomic<bool> g_failed{false};
std::atomic<const char*> g_name{nullptr};

void reset_lock_in_child() { pthread_mutex_init(&g_lock, nullptr); }

#ifdef _WIN32

bool load(Api& t) {
  t = Api{::zmq_ctx_new,    ::zmq_ctx_term, ::zmq_socket,         ::zmq_close,    ::zmq_setsockopt,
          ::zmq_getsockopt, ::zmq_bind,     ::zmq_connect,        ::zmq_send,     ::zmq_poll,
          ::zmq_errno,      ::zmq_strerror, ::zmq_socket_monitor, ::zmq_msg_init, ::zmq_msg_recv,
          ::zmq_msg_size,   ::zmq_msg_data, ::zmq_msg_more,       ::zmq_msg_close};
  return true;
}

#else

#ifdef __APPLE__
constexpr const char* kLibrary = "libzmq.5.dylib";
#else
constexpr const char* kLibrary = "libzmq.so.5";
#endif

template <typename F>
void resolve(void* handle, const char* symbol, F& out, const char*& missing) {
  out = reinterpret_cast<F>(dlsym(handle, symbol));
  if (!out && !missing) missing = symbol;
}

// Under g_lock. A process that cannot load ZeroMQ says so once, not once
// per channel.
void tell_failure(const char* name, const char* why) {
  g_failed.store(true, std::memory_order_relaxed);
  qel_trace::line("ZeroMQ not loaded (%s: %s), messages go to the spool or are dropped::%d\n", name,
                  why ? why : "unknown error", qel_port::current_pid());
}

// Under g_lock.
bool load(Api& t) {
  // acquire: pairs with set_library_name's release store.
  const char* chosen = g_name.load(std::memory_order_acquire);
  const char* name = chosen ? chosen : kLibrary;
  // RTLD_LOCAL: the program's own symbols, and a libzmq it may link itself,
  // are left alone; RTLD_NOW: a missing symbol shows here, not in a send.
  // The library stays loaded for the life of the process: contexts and
  // sockets of ours may outlive any point where unloading would be safe.
  void* handle = dlopen(name, RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    tell_failure(name, dlerror());
    return false;
  }
  const char* missing = nullptr;
  resolve(handle, "zmq_ctx_new", t.ctx_new, missing);
  resolve(handle, "zmq_ctx_term", t.ctx_term, missing);
  resolve(handle, "zmq_socket", t.socket, missing);
  resolve(handle, "zmq_close", t.close, missing);
  resolve(handle, "zmq_setsockopt", t.setsockopt, missing);
  resolve(handle, "zmq_getsockopt", t.getsockopt, missing);
  resolve(handle, "zmq_bind", t.bind, missing);
  resolve(handle, "zmq_connect", t.connect, missing);
  resolve(handle, "zmq_send", t.send, missing);
  resolve(handle, "zmq_poll", t.poll, missing);
  resolve(handle, "zmq_errno", t.errno_value, missing);
  resolve(handle, "zmq_strerror", t.strerror, missing);
  resolve(handle, "zmq_socket_monitor", t.socket_monitor, missing);
  resolve(handle, "zmq_msg_init", t.msg_init, missing);
  resolve(handle, "zmq_msg_recv", t.msg_recv, missing);
  resolve(handle, "zmq_msg_size", t.msg_size, missing);
  resolve(handle, "zmq_msg_data", t.msg_data, missing);
  resolve(handle, "zmq_msg_more", t.msg_more, missing);
  resolve(handle, "zmq_msg_close", t.msg_close, missing);
  if (missing) {
    try {
      tell_failure(name, (std::string("no symbol ") + missing).c_str());
    } catch (...) {
      tell_failure(name, missing);  // no memory for the text
    }
    return false;
  }
  return true;
}

#endif

}  // namespace

const Api* api() {
  // acquire: pairs with the release store below.
  if (const Api* a = g_api.load(std::memory_order_acquire)) return a;
  if (g_failed.load(std::memory_order_relaxed)) return nullptr;
  qel_port::register_fork_child_hook(reset_lock_in_child);
  qel_sync::MutexGuard lock(g_lock);
  if (const Api* a = g_api.load(std::memory_order_acquire)) return a;
  if (g_failed.load(std::memory_order_relaxed) || !load(g_table)) return nullptr;
  // release: publishes the filled table.
  g_api.store(&g_table, std::memory_order_release);
  return &g_table;
}

bool loaded() { return g_api.load(std::memory_order_acquire) != nullptr; }

void set_library_name(const char* name) {
  // release: pairs with load()'s acquire.
  g_name.store(name, std::memory_order_release);
}

}  // namespace zmq
}  // namespace qel_port
