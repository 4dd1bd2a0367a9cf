#pragma once
// ZeroMQ as the runtime calls it. On POSIX the library is loaded only when
// the first socket is needed (dlopen): libzmq drags in about fifteen
// libraries (libsodium, libpgm, libnorm, Kerberos...), whose loading cost a
// short process more than everything else the runtime does, and a process
// that never opens a socket (it wrote its messages to the spool) then never
// pays it. Windows links libzmq as before. <zmq.h> is included for its types
// and constants only; every call goes through the functions below.
#include <zmq.h>

#include <cstddef>

namespace qel_port {
namespace zmq {

// The functions the runtime uses, resolved from the loaded library.
struct Api {
  decltype(&::zmq_ctx_new) ctx_new;
  decltype(&::zmq_ctx_term) ctx_term;
  decltype(&::zmq_socket) socket;
  decltype(&::zmq_close) close;
  decltype(&::zmq_setsockopt) setsockopt;
  decltype(&::zmq_getsockopt) getsockopt;
  decltype(&::zmq_bind) bind;
  decltype(&::zmq_connect) connect;
  decltype(&::zmq_send) send;
  decltype(&::zmq_poll) poll;
  decltype(&::zmq_errno) errno_value;
  decltype(&::zmq_strerror) strerror;
  decltype(&::zmq_socket_monitor) socket_monitor;
  decltype(&::zmq_msg_init) msg_init;
  decltype(&::zmq_msg_recv) msg_recv;
  decltype(&::zmq_msg_size) msg_size;
  decltype(&::zmq_msg_data) msg_data;
  decltype(&::zmq_msg_more) msg_more;
  decltype(&::zmq_msg_close) msg_close;
};

// Loads the library at the first call; later calls cost one atomic load.
// Null when it cannot be loaded: the first such call says why in one trace
// line, and every later one returns null at once (the caller then has no
// socket, and its messages go where an undeliverable message goes).
const Api* api();

// Whether api() has loaded the library in this process (tests).
bool loaded();

// The file api() loads on POSIX: "libzmq.so.5" unless a test named another
// before the first call (a missing one stands for a host without ZeroMQ).
// Windows, which links the library, ignores it.
void set_library_name(const char* name);

}  // namespace zmq
}  // namespace qel_port
