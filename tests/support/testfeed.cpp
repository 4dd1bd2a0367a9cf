// qelcollect_testfeed: stands in for an instrumented program. It binds the
// eight ports like the runtime does, sends a fixed sample of every message
// kind with a few garbled messages in between, and exits with the status
// it was asked for. Used to check a collector without building the runtime.
//
//   qelcollect_testfeed [port-offset [exit-status]]

#include <zmq.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "decode.hpp"
#include "qelmq/protocol/messages.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes text(const std::string& s, bool zero = true) {
  Bytes b(s.begin(), s.end());
  if (zero) b.push_back(0);
  return b;
}

// A node message as the runtime's node sender encodes it.
Bytes node(uint16_t unit, uint16_t id, int32_t count, int32_t seq) {
  constexpr bool kLittle = qel_wire::kBootstrapLittleEndian;
  Bytes b(sizeof(qel_wire::CountedMessage));
  qel_wire::encode_counted(qel_wire::node_record(unit, id, 0, kLittle), count, seq, kLittle,
                           b.data());
  return b;
}

}  // namespace

int main(int argc, char** argv) {
  const int offset = argc > 1 ? std::atoi(argv[1]) : 0;
  const int status = argc > 2 ? std::atoi(argv[2]) : 0;

  void* ctx = zmq_ctx_new();
  std::vector<void*> socks;
  for (const auto& ch : qelc::kChannels) {
    void* s = zmq_socket(ctx, ZMQ_PUSH);
    // Unlike the runtime, never wait for a collector for ever.
    const int ms = 10000;
    zmq_setsockopt(s, ZMQ_SNDTIMEO, &ms, sizeof ms);
    zmq_setsockopt(s, ZMQ_LINGER, &ms, sizeof ms);
    const std::string ep = "tcp://127.0.0.1:" + std::to_string(ch.port + offset);
    if (zmq_bind(s, ep.c_str()) != 0) {
      std::fprintf(stderr, "testfeed: cannot bind %s: %s\n", ep.c_str(), zmq_strerror(zmq_errno()));
      return 90;
    }
    socks.push_back(s);
  }
  // Blocking sends wait for the collector to connect, as the runtime's do.
  const auto send = [&](qelc::Channel ch, const Bytes& b) {
    zmq_send(socks[static_cast<std::size_t>(ch)], b.data(), b.size(), 0);
  };
  using qelc::Channel;
  send(Channel::TestCase, text("0 feed_case", false));
  send(Channel::TestCase, text("1 0", false));
  send(Channel::Node, node(1, 1, 3, 1));
  send(Channel::Node, {0x81, 0x02, 0x03});  // short
  send(Channel::Node, node(1, 2, 1, 2));
  send(Channel::Cond,
       {0x81, 0x01, 0x00, 0x01, 0x00, 0xCC, 0x00, 0x01, '0', 0, 0, 0, 2, 0, 0, 0, 1, '1'});
  send(Channel::Mcdc,
       {0x81, 0x01, 0x80, 0x01, 0x5F, 0xFF, 0xFF, 0xFF, 0x00, 0x01, '0', 0, 0, 0, 1, 0, 0, 0, 1});
  send(Channel::Mcdc,
       {0x81, 0x01, 0x00, 0x01, 0x3F, 0xFF, 0xFF, 0xFF, 0x00, 0x01, '0', 0, 0, 0, 1, 0, 0, 0, 2});
  send(Channel::Value, text("f$a#QEL_INT#5"));
  send(Channel::Value, text("garbage$", false));  // no terminator
  send(Channel::Timing, text("1 2 3"));
  send(Channel::Property, text("MemoryLeak:///2024-01-01 00:00:00  size file function line pid"));
  send(Channel::Property, text("MemoryLeak:///16 feed.c main 42 1"));
  send(Channel::LastData, {1, 0x01, 0x01, 0x00, 0x02, 0x00, 0x00, 0, 0, 0, 1});
  send(Channel::TestCase, text("2 0", false));
  send(Channel::Node, node(1, 3, 1, 3));
  for (void* s : socks) zmq_close(s);
  zmq_ctx_term(ctx);  // lingers until everything has been handed over
  return status;
}
