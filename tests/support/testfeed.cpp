// qelcollect_testfeed: stands in for an instrumented program. It binds the
// eight ports like the runtime does, sends a fixed sample of every message
// kind with a few garbled messages in between, and exits with the status
// it was asked for. Used to check a collector without building the runtime.
//
//   qelcollect_testfeed [port-offset [exit-status]]
//
// As a process that never opens a socket, under `qelcollect -- COMMAND`: it
// writes its start to its spool file at once, and the rest (a node message
// per MODULE, each MODULE announced, then its end with the tally) HOLD-MS
// later, cut in two by HOLD-MS more in the middle of a record. "silent"
// spools two node messages and nothing else, as a runtime that announces
// nothing would.
//
//   qelcollect_testfeed spool HOLD-MS [MODULE...]
//   qelcollect_testfeed spool-silent

#include <fcntl.h>
#include <unistd.h>
#include <zmq.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "decode.hpp"
#include "qelmq/protocol/config.h"
#include "qelmq/protocol/messages.h"
#include "qelmq/protocol/spool.h"
#include "qelmq/protocol/texts.h"

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

// The spool directory the collector named in the configuration.
std::string spoolDir() {
  const char* config = std::getenv(qel_wire::kConfigVariable);
  std::ifstream in(config ? config : "");
  const std::string key = std::string(qel_wire::kKeySpoolDir) + "=";
  for (std::string line; std::getline(in, line);)
    if (line.compare(0, key.size(), key) == 0) return line.substr(key.size());
  return std::string();
}

Bytes record(qelc::Channel channel, const Bytes& message) {
  Bytes r(sizeof(qel_wire::SpoolRecordHeader));
  qel_wire::encode_spool_header(channel, static_cast<uint32_t>(message.size()), r.data());
  r.insert(r.end(), message.begin(), message.end());
  return r;
}

int spoolOnly(int argc, char** argv) {
  const std::string dir = spoolDir();
  if (dir.empty()) {
    std::fprintf(stderr, "testfeed: no spool directory in $%s\n", qel_wire::kConfigVariable);
    return 91;
  }
  const int32_t pid = static_cast<int32_t>(getpid());
  const std::string path = dir + "/" + std::to_string(pid) + qel_wire::kSpoolSuffix;
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
  if (fd < 0) return 92;
  const auto put = [fd](const Bytes& b) {
    return write(fd, b.data(), b.size()) == ssize_t(b.size());
  };
  const auto property = [](const std::string& t) { return text(":///" + t); };
  using qelc::Channel;
  if (std::strcmp(argv[1], "spool-silent") == 0) {
    const bool ok = put(record(Channel::Node, node(1, 1, 1, 1))) &&
                    put(record(Channel::Node, node(1, 2, 1, 2)));
    close(fd);
    return ok ? 0 : 93;
  }
  const int holdMs = argc > 2 ? std::atoi(argv[2]) : 0;
  const uint64_t stream = 0x5000000000000000u + static_cast<uint64_t>(pid);
  qel_wire::ProcessStart start;
  start.pid = pid;
  start.stream = stream;
  start.protocol = 2;
  start.program = argv[0];
  bool ok = put(record(Channel::Property, property(qel_wire::process_start_text(start))));
  std::this_thread::sleep_for(std::chrono::milliseconds(holdMs));
  qel_wire::ProcessEnd end;
  end.pid = pid;
  end.stream = stream;
  end.delivered[static_cast<std::size_t>(Channel::Property)] = 2;
  Bytes rest;
  for (int i = 3; i < argc; ++i) {
    const Bytes n = record(Channel::Node, node(1, static_cast<uint16_t>(i), 1, i - 2));
    const Bytes m = record(Channel::Property, property(qel_wire::module_text(argv[i])));
    rest.insert(rest.end(), n.begin(), n.end());
    rest.insert(rest.end(), m.begin(), m.end());
    ++end.delivered[static_cast<std::size_t>(Channel::Node)];
    ++end.delivered[static_cast<std::size_t>(Channel::Property)];
  }
  const Bytes e = record(Channel::Property, property(qel_wire::process_end_text(end)));
  rest.insert(rest.end(), e.begin(), e.end());
  // Cut inside the first record's header: a reader must wait for the rest.
  ok = ok && put(Bytes(rest.begin(), rest.begin() + 5));
  std::this_thread::sleep_for(std::chrono::milliseconds(holdMs));
  ok = ok && put(Bytes(rest.begin() + 5, rest.end()));
  close(fd);
  return ok ? 0 : 93;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::strncmp(argv[1], "spool", 5) == 0) return spoolOnly(argc, argv);
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
