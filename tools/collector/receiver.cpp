#include "receiver.hpp"

#include <zmq.h>

#include <cerrno>
#include <cstdlib>
#include <stdexcept>

namespace qelc {
namespace {

// Per socket and poll call: enough to keep up with a burst, small enough
// that one busy channel cannot starve the others.
constexpr int kBatch = 4096;

std::runtime_error zmqError(const std::string& what) {
  return std::runtime_error(what + ": " + zmq_strerror(zmq_errno()));
}

uint16_t portOf(const std::string& endpoint) {
  const auto colon = endpoint.rfind(':');
  if (colon == std::string::npos) return 0;
  return static_cast<uint16_t>(std::strtoul(endpoint.c_str() + colon + 1, nullptr, 10));
}

}  // namespace

Receiver::Receiver(const ReceiverOptions& opt) {
  ctx_ = zmq_ctx_new();
  if (!ctx_) throw zmqError("zmq_ctx_new");
  try {
    for (std::size_t i = 0; i < kChannelCount; ++i) {
      void* s = zmq_socket(ctx_, ZMQ_PULL);
      if (!s) throw zmqError("zmq_socket");
      socks_[i] = s;
      const int zero = 0;
      // Unlimited receive queue: the runtime's senders never wait on us,
      // and nothing is held back on their side of the connection.
      zmq_setsockopt(s, ZMQ_RCVHWM, &zero, sizeof zero);
      zmq_setsockopt(s, ZMQ_LINGER, &zero, sizeof zero);
      // The program under test binds only once its library has loaded;
      // retry quickly so its first messages are not held up.
      const int ivl = 20;
      zmq_setsockopt(s, ZMQ_RECONNECT_IVL, &ivl, sizeof ivl);
      std::string ep = opt.endpoints[i];
      if (ep.empty())
        ep = "tcp://" + opt.host + ":" + std::to_string(kChannels[i].port + opt.portOffset);
      if (opt.bind) {
        if (zmq_bind(s, ep.c_str()) != 0) throw zmqError("cannot bind " + ep);
        char last[256];
        std::size_t len = sizeof last;
        if (zmq_getsockopt(s, ZMQ_LAST_ENDPOINT, last, &len) == 0) ep = last;
      } else if (zmq_connect(s, ep.c_str()) != 0) {
        throw zmqError("cannot connect " + ep);
      }
      endpoints_[i] = ep;
      ports_[i] = portOf(ep);
    }
  } catch (...) {
    for (void* s : socks_)
      if (s) zmq_close(s);
    zmq_ctx_term(ctx_);
    throw;
  }
}

Receiver::~Receiver() {
  for (void* s : socks_)
    if (s) zmq_close(s);
  zmq_ctx_term(ctx_);
}

std::size_t Receiver::poll(int timeoutMs, const std::function<void(Message&&)>& sink) {
  zmq_pollitem_t items[kChannelCount];
  for (std::size_t i = 0; i < kChannelCount; ++i) items[i] = {socks_[i], 0, ZMQ_POLLIN, 0};
  const int rc = zmq_poll(items, static_cast<int>(kChannelCount), timeoutMs);
  if (rc < 0) {
    if (zmq_errno() == EINTR) return 0;  // a signal; the caller decides
    throw zmqError("zmq_poll");
  }
  std::size_t handled = 0;
  zmq_msg_t msg;
  zmq_msg_init(&msg);
  for (std::size_t i = 0; i < kChannelCount; ++i) {
    if (!(items[i].revents & ZMQ_POLLIN)) continue;
    for (int k = 0; k < kBatch; ++k) {
      if (zmq_msg_recv(&msg, socks_[i], ZMQ_DONTWAIT) < 0) break;
      const auto* data = static_cast<const uint8_t*>(zmq_msg_data(&msg));
      Message m;
      m.channel = kChannels[i].channel;
      m.port = ports_[i];
      m.body = decode(m.channel, data, zmq_msg_size(&msg));
      sink(std::move(m));
      ++handled;
    }
  }
  zmq_msg_close(&msg);
  return handled;
}

}  // namespace qelc
