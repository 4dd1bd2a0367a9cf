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

namespace {

using Bytes = std::vector<uint8_t>;

Bytes text(const std::string& s, bool zero = true) {
  Bytes b(s.begin(), s.end());
  if (zero) b.push_back(0);
  return b;
}

Bytes node(uint16_t unit, uint16_t id, uint32_t count, uint32_t seq) {
  return {static_cast<uint8_t>(0x80 | (unit >> 8)),
          static_cast<uint8_t>(unit),
          static_cast<uint8_t>(id >> 8),
          static_cast<uint8_t>(id),
          0,
          0,
          0,
          0,
          '0',
          static_cast<uint8_t>(count >> 24),
          static_cast<uint8_t>(count >> 16),
          static_cast<uint8_t>(count >> 8),
          static_cast<uint8_t>(count),
          static_cast<uint8_t>(seq >> 24),
          static_cast<uint8_t>(seq >> 16),
          static_cast<uint8_t>(seq >> 8),
          static_cast<uint8_t>(seq),
          '1'};
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
