// The eight PULL sockets facing a runtime, and the receive-and-decode loop.
#pragma once

#include <array>
#include <cstddef>
#include <functional>
#include <string>

#include "decode.hpp"

namespace qelc {

struct ReceiverOptions {
  // Runtime in its default bind mode: connect to host. Runtime configured
  // to connect: bind here (host may be "*").
  std::string host = "127.0.0.1";
  bool bind = false;
  int portOffset = 0;
  // Full endpoints that replace host and port per channel, e.g.
  // "tcp://127.0.0.1:*" to bind an ephemeral port. Empty = derived.
  std::array<std::string, kChannelCount> endpoints{};
};

class Receiver {
 public:
  // Throws std::runtime_error when a socket cannot be set up.
  explicit Receiver(const ReceiverOptions& opt);
  ~Receiver();
  Receiver(const Receiver&) = delete;
  Receiver& operator=(const Receiver&) = delete;

  // Waits at most timeoutMs for traffic, then hands every message that is
  // ready (bounded per call) to sink. Returns how many were handled.
  std::size_t poll(int timeoutMs, const std::function<void(Message&&)>& sink);

  // The endpoint actually used per channel (ephemeral ports resolved).
  const std::array<std::string, kChannelCount>& endpoints() const { return endpoints_; }
  const std::array<uint16_t, kChannelCount>& ports() const { return ports_; }

 private:
  void* ctx_ = nullptr;
  std::array<void*, kChannelCount> socks_{};
  std::array<std::string, kChannelCount> endpoints_{};
  std::array<uint16_t, kChannelCount> ports_{};
};

}  // namespace qelc
