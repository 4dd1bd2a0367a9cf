// The eight PULL sockets facing a runtime, and the receive-and-decode loop.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <vector>

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
  // Largest message decoded, in bytes. A larger one is reported as malformed
  // with its size and first bytes, and dropped at once. The runtime's fixed
  // formats stay under 1 KB and its texts are made of items of at most
  // 1,023 characters, so 8 MiB is thousands of times any message a real
  // program sends while keeping what one message can cost small.
  std::size_t maxMessage = std::size_t{8} << 20;
  // Messages above this many bytes are refused by libzmq before they are
  // read (ZMQ_MAXMSGSIZE; 0 = no limit): it drops the connection, what the
  // sender had queued behind the message is often lost with it, and nothing
  // is reported. So it only guards the collector's memory against absurd
  // sizes; everything between maxMessage and this is received whole by
  // libzmq (held once, never copied), counted as malformed and freed.
  std::size_t refuseAbove = std::size_t{1} << 30;
};

class Receiver {
 public:
  // Throws std::runtime_error when a socket cannot be set up.
  explicit Receiver(const ReceiverOptions& opt);
  ~Receiver();
  Receiver(const Receiver&) = delete;
  Receiver& operator=(const Receiver&) = delete;

  // Waits at most timeoutMs for traffic, then hands every message that is
  // ready to sink. Work per call is bounded in messages and in bytes per
  // channel, so a flood on one channel neither starves the others nor keeps
  // the caller from its own checks (signals, time-outs). A multipart message
  // is one malformed message; its parts are never decoded. Returns how many
  // messages were handled.
  std::size_t poll(int timeoutMs, const std::function<void(Message&&)>& sink);
  // The same, and the wait also ends when `wakeFd` (a descriptor of the
  // caller's; -1 for none) polls readable.
  std::size_t poll(int timeoutMs, const std::function<void(Message&&)>& sink, int wakeFd);

  // Hands over what is already queued, for the end of a run: polls without
  // waiting until nothing is ready or budgetMs have passed, so a sender that
  // never stops cannot keep the collector from ending. Returns the count.
  std::size_t drain(int budgetMs, const std::function<void(Message&&)>& sink);

  // The endpoint actually used per channel (ephemeral ports resolved).
  const std::array<std::string, kChannelCount>& endpoints() const { return endpoints_; }
  const std::array<uint16_t, kChannelCount>& ports() const { return ports_; }

 private:
  // A multipart message whose later parts have not been taken yet. libzmq
  // hands over the parts of a message together, so this normally lives only
  // within one call, but a message is never split into reports if not.
  struct Multipart {
    bool active = false;
    uint64_t parts = 0;
    uint64_t size = 0;
    std::vector<uint8_t> prefix;
  };

  using Deadline = std::chrono::steady_clock::time_point;
  // poll() that also stops taking messages once `deadline` has passed.
  std::size_t pollUntil(int timeoutMs, const std::function<void(Message&&)>& sink,
                        Deadline deadline, int wakeFd = -1);
  // Takes one part from socket i into msg; false when none is ready.
  bool receivePart(std::size_t i, void* msg);
  // Adds the part in msg to the multipart message of socket i; true once
  // the message is complete (it is then in *out).
  bool addPart(std::size_t i, void* msg, Message* out);
  Message single(std::size_t i, const uint8_t* data, std::size_t len) const;

  // Design: one thread owns a Receiver and calls poll(); libzmq's own I/O
  // threads never see these fields.
  std::size_t maxMessage_;
  void* ctx_ = nullptr;
  std::array<void*, kChannelCount> socks_{};
  std::array<std::string, kChannelCount> endpoints_{};
  std::array<uint16_t, kChannelCount> ports_{};
  std::array<Multipart, kChannelCount> multipart_{};
};

}  // namespace qelc
