#include "receiver.hpp"

#include <zmq.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace qelc {
namespace {

// Per socket and poll call: enough to keep up with a burst, small enough
// that one busy channel cannot starve the others.
constexpr int kBatch = 4096;
// Bytes per socket and poll call, for the same reason when messages are
// large: at least one message is always taken.
constexpr std::size_t kByteBudget = std::size_t{16} << 20;

// Owns one zmq_msg_t, so that a sink that throws does not leak a message
// (which may be hundreds of megabytes).
class MsgHolder {
 public:
  MsgHolder() { zmq_msg_init(&msg_); }
  ~MsgHolder() { zmq_msg_close(&msg_); }
  MsgHolder(const MsgHolder&) = delete;
  MsgHolder& operator=(const MsgHolder&) = delete;
  zmq_msg_t* get() { return &msg_; }

 private:
  zmq_msg_t msg_;
};

std::runtime_error zmqError(const std::string& what) {
  return std::runtime_error(what + ": " + zmq_strerror(zmq_errno()));
}

uint16_t portOf(const std::string& endpoint) {
  const auto colon = endpoint.rfind(':');
  if (colon == std::string::npos) return 0;
  return static_cast<uint16_t>(std::strtoul(endpoint.c_str() + colon + 1, nullptr, 10));
}

// The runtime instance the message's connection named (qel_wire::
// kOriginProperty); "" when it named none. Any sender may name anything, so
// the name is bounded; one that is not a runtime's origin is still a name
// that tells its connection's messages apart.
std::string originOf(zmq_msg_t* msg) {
  constexpr std::size_t kMaxOrigin = 64;
  const char* origin = zmq_msg_gets(msg, qel_wire::kOriginProperty);
  if (!origin) return std::string();
  return std::string(origin, strnlen(origin, kMaxOrigin));
}

}  // namespace

Receiver::Receiver(const ReceiverOptions& opt) : maxMessage_(opt.maxMessage) {
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
      // `qelcollect -- COMMAND` may start hundreds of processes at once, each
      // connecting to every port: room for their connections in the queue of
      // each listening socket (ZeroMQ's default is 100).
      const int backlog = 1024;
      zmq_setsockopt(s, ZMQ_BACKLOG, &backlog, sizeof backlog);
      if (opt.refuseAbove > 0) {
        const int64_t limit = static_cast<int64_t>(opt.refuseAbove);
        zmq_setsockopt(s, ZMQ_MAXMSGSIZE, &limit, sizeof limit);
      }
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

bool Receiver::receivePart(std::size_t i, void* msg) {
  return zmq_msg_recv(static_cast<zmq_msg_t*>(msg), socks_[i], ZMQ_DONTWAIT) >= 0;
}

Message Receiver::single(std::size_t i, const uint8_t* data, std::size_t len) const {
  Message m;
  m.channel = kChannels[i].channel;
  m.port = ports_[i];
  if (len > maxMessage_) {
    m.body = malformed("message of " + std::to_string(len) + " bytes, above the limit of " +
                           std::to_string(maxMessage_) + " bytes",
                       data, len);
  } else {
    m.body = decode(m.channel, data, len);
    keepWire(&m, data, len);
  }
  return m;
}

bool Receiver::addPart(std::size_t i, void* msgPtr, Message* out) {
  auto* msg = static_cast<zmq_msg_t*>(msgPtr);
  const auto* data = static_cast<const uint8_t*>(zmq_msg_data(msg));
  const std::size_t len = zmq_msg_size(msg);
  Multipart& mp = multipart_[i];
  mp.active = true;
  ++mp.parts;
  mp.size += len;
  const std::size_t room = kMalformedPrefix - std::min(mp.prefix.size(), kMalformedPrefix);
  mp.prefix.insert(mp.prefix.end(), data, data + std::min(room, len));
  if (zmq_msg_more(msg)) return false;
  out->channel = kChannels[i].channel;
  out->port = ports_[i];
  Malformed bad;
  bad.reason = "multipart message of " + std::to_string(mp.parts) + " parts";
  bad.bytes = std::move(mp.prefix);
  bad.size = mp.size;
  out->body = std::move(bad);
  mp = Multipart{};
  return true;
}

std::size_t Receiver::poll(int timeoutMs, const std::function<void(Message&&)>& sink) {
  return pollUntil(timeoutMs, sink, Deadline::max());
}

std::size_t Receiver::poll(int timeoutMs, const std::function<void(Message&&)>& sink, int wakeFd) {
  return pollUntil(timeoutMs, sink, Deadline::max(), wakeFd);
}

std::size_t Receiver::pollUntil(int timeoutMs, const std::function<void(Message&&)>& sink,
                                Deadline deadline, int wakeFd) {
  const bool timed = deadline != Deadline::max();
  zmq_pollitem_t items[kChannelCount + 1];
  for (std::size_t i = 0; i < kChannelCount; ++i) items[i] = {socks_[i], 0, ZMQ_POLLIN, 0};
  items[kChannelCount] = {nullptr, wakeFd, ZMQ_POLLIN, 0};
  const int count = static_cast<int>(kChannelCount) + (wakeFd >= 0 ? 1 : 0);
  const int rc = zmq_poll(items, count, timeoutMs);
  if (rc < 0) {
    if (zmq_errno() == EINTR) return 0;  // a signal; the caller decides
    throw zmqError("zmq_poll");
  }
  std::size_t handled = 0;
  MsgHolder holder;
  zmq_msg_t* msg = holder.get();
  for (std::size_t i = 0; i < kChannelCount; ++i) {
    if (!(items[i].revents & ZMQ_POLLIN)) continue;
    std::size_t bytes = 0;
    for (int k = 0; k < kBatch && bytes < kByteBudget; ++k) {
      if (!receivePart(i, msg)) break;
      const std::size_t len = zmq_msg_size(msg);
      bytes += len;
      Message m;
      if (multipart_[i].active || zmq_msg_more(msg)) {
        if (!addPart(i, msg, &m)) continue;
      } else {
        m = single(i, static_cast<const uint8_t*>(zmq_msg_data(msg)), len);
      }
      m.origin = originOf(msg);
      sink(std::move(m));
      ++handled;
      if (timed && std::chrono::steady_clock::now() >= deadline) return handled;
    }
  }
  return handled;
}

std::size_t Receiver::drain(int budgetMs, const std::function<void(Message&&)>& sink) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(budgetMs);
  std::size_t total = 0;
  for (;;) {
    const std::size_t n = pollUntil(0, sink, end);
    total += n;
    if (n == 0 || std::chrono::steady_clock::now() >= end) return total;
  }
}

}  // namespace qelc
