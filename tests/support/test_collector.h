#pragma once
// A collector for tests: PULL sockets connected to the runtime's fixed ports
// on loopback, handing each received message to assertions as bytes.
#include <zmq.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace qel_test {

using Bytes = std::vector<uint8_t>;

inline std::string hex(const Bytes& b) {
  static const char* d = "0123456789ABCDEF";
  std::string s;
  for (size_t i = 0; i < b.size(); ++i) {
    if (i) s += ' ';
    s += d[b[i] >> 4];
    s += d[b[i] & 15];
  }
  return s;
}

inline Bytes bytes_of(std::initializer_list<int> v) {
  Bytes b;
  for (int x : v) b.push_back(static_cast<uint8_t>(x));
  return b;
}

class TestCollector {
 public:
  // Connects to each port in `ports` (the runtime binds them).
  explicit TestCollector(std::vector<int> ports, const char* host = "127.0.0.1")
      : TestCollector(std::move(ports), host, false) {}

  // Listens on each port in `ports` of `host`: for a runtime in connect mode
  // (config_state=1), as `qelcollect -- COMMAND` runs programs.
  static std::unique_ptr<TestCollector> listening(std::vector<int> ports,
                                                  const char* host = "127.0.0.1") {
    return std::unique_ptr<TestCollector>(new TestCollector(std::move(ports), host, true));
  }
  ~TestCollector() {
    for (auto& kv : sockets_) zmq_close(kv.second);
    zmq_ctx_term(ctx_);
  }
  TestCollector(const TestCollector&) = delete;
  TestCollector& operator=(const TestCollector&) = delete;

  // One message from `port`, or false after `timeout_ms`.
  bool recv(int port, Bytes& out, int timeout_ms = 3000) {
    void* s = sockets_.at(port);
    zmq_pollitem_t item = {s, 0, ZMQ_POLLIN, 0};
    if (zmq_poll(&item, 1, timeout_ms) <= 0) return false;
    zmq_msg_t m;
    zmq_msg_init(&m);
    if (zmq_msg_recv(&m, s, ZMQ_DONTWAIT) < 0) {
      zmq_msg_close(&m);
      return false;
    }
    const uint8_t* p = static_cast<const uint8_t*>(zmq_msg_data(&m));
    out.assign(p, p + zmq_msg_size(&m));
    zmq_msg_close(&m);
    return true;
  }

  // One message as text (zero bytes included), or false after `timeout_ms`.
  bool recv_text(int port, std::string& out, int timeout_ms = 3000) {
    Bytes b;
    if (!recv(port, b, timeout_ms)) return false;
    out.assign(b.begin(), b.end());
    return true;
  }

  // Drops whatever `port` has received until it is quiet for 100 ms.
  void discard(int port) {
    Bytes b;
    while (recv(port, b, 100)) {
    }
  }

  // Every message of `port` until it has been quiet for `quiet_ms`.
  std::vector<Bytes> drain(int port, int quiet_ms = 500, int first_timeout_ms = 3000) {
    std::vector<Bytes> all;
    Bytes b;
    int timeout = first_timeout_ms;
    while (recv(port, b, timeout)) {
      all.push_back(b);
      timeout = quiet_ms;
    }
    return all;
  }

 private:
  TestCollector(std::vector<int> ports, const char* host, bool listen) : ctx_(zmq_ctx_new()) {
    for (int port : ports) {
      void* s = zmq_socket(ctx_, ZMQ_PULL);
      int linger = 0;
      zmq_setsockopt(s, ZMQ_LINGER, &linger, sizeof(linger));
      int ivl = 20;
      zmq_setsockopt(s, ZMQ_RECONNECT_IVL, &ivl, sizeof(ivl));
      std::string ep = "tcp://" + std::string(host) + ":" + std::to_string(port);
      if (listen)
        zmq_bind(s, ep.c_str());
      else
        zmq_connect(s, ep.c_str());
      sockets_[port] = s;
    }
  }

  void* ctx_;
  std::map<int, void*> sockets_;
};

// Reads a big-endian 32-bit value.
inline uint32_t be32(const Bytes& b, size_t at) {
  return (uint32_t(b[at]) << 24) | (uint32_t(b[at + 1]) << 16) | (uint32_t(b[at + 2]) << 8) |
         uint32_t(b[at + 3]);
}

}  // namespace qel_test
