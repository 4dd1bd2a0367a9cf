#pragma once
// The endpoint table: every channel of the runtime, its port, its name and
// the socket options of its kind. The runtime opens its sockets from it and
// the collector listens (or connects) by it.
#include <array>
#include <cstddef>
#include <cstdint>

namespace qel_wire {

// Socket option sets of the endpoint table.
enum class SocketKind : uint8_t {
  Stream,    // send buffer "system default", no high-water mark
  Property,  // no options of its own
  Events,    // send and receive time-outs of kEventsTimeoutMs, set after bind/connect
};

// Send and receive time-out of the test-case event socket.
inline constexpr int kEventsTimeoutMs = 2000;

// One value per row of kEndpoints, in the table's order. A new channel is a
// new enumerator and a new row at the end: existing ports never move.
enum class Channel : uint8_t { Node, Cond, Mcdc, Property, TestCase, Value, LastData, Timing };

struct Endpoint {
  Channel channel;
  uint16_t port;
  const char* name;  // how the collector names the channel in its outputs
  SocketKind kind;
};

inline constexpr std::size_t kChannelCount = 8;

// Every socket of the runtime: bound "tcp://*:<port>", or connected to
// "tcp://<ip>:<port>" in connect mode. Port 15558 and 15563 are not used.
inline constexpr std::array<Endpoint, kChannelCount> kEndpoints{{
    {Channel::Node, 15555, "node", SocketKind::Stream},
    {Channel::Cond, 15556, "condition", SocketKind::Stream},
    {Channel::Mcdc, 15557, "mcdc", SocketKind::Stream},
    {Channel::Property, 15559, "property", SocketKind::Property},
    {Channel::TestCase, 15560, "testcase", SocketKind::Events},
    {Channel::Value, 15561, "value", SocketKind::Stream},
    {Channel::LastData, 15562, "lastdata", SocketKind::Stream},
    {Channel::Timing, 15564, "timing", SocketKind::Stream},
}};

constexpr const Endpoint& endpoint(Channel c) { return kEndpoints[static_cast<std::size_t>(c)]; }

namespace detail {
constexpr bool endpoints_well_formed() {
  for (std::size_t i = 0; i < kEndpoints.size(); ++i) {
    if (static_cast<std::size_t>(kEndpoints[i].channel) != i) return false;
    for (std::size_t j = 0; j < i; ++j)
      if (kEndpoints[j].port == kEndpoints[i].port) return false;
  }
  return true;
}
}  // namespace detail
static_assert(detail::endpoints_well_formed(),
              "endpoint(c) finds channel c by its position, and no two channels share a port");

}  // namespace qel_wire
