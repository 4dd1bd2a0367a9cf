// Can the collector keep up with a runtime? A sender thread pushes 18-byte
// node messages over loopback exactly as the runtime's node sender does
// (blocking sends, no send buffer or high-water limits). BM_BareReceive is
// the ceiling a receiver that only takes messages reaches; BM_Collector
// decodes and aggregates each one. Both report messages per second.
#include <benchmark/benchmark.h>
#include <zmq.h>

#include <array>
#include <cstring>
#include <thread>

#include "collection.hpp"
#include "receiver.hpp"

namespace {

constexpr int kBatch = 200000;
constexpr int kDistinctNodes = 1000;

std::array<uint8_t, 18> nodeMessage(int i) {
  const uint16_t node = static_cast<uint16_t>(i % kDistinctNodes);
  const uint32_t seq = static_cast<uint32_t>(i + 1);
  return {0x80,
          0x01,
          static_cast<uint8_t>(node >> 8),
          static_cast<uint8_t>(node),
          0,
          0,
          0,
          0,
          '0',
          0,
          0,
          0,
          1,
          static_cast<uint8_t>(seq >> 24),
          static_cast<uint8_t>(seq >> 16),
          static_cast<uint8_t>(seq >> 8),
          static_cast<uint8_t>(seq),
          '1'};
}

// Like the runtime's node sender: one PUSH socket, unlimited queues.
class Sender {
 public:
  explicit Sender(const std::string& endpoint)
      : ctx_(zmq_ctx_new()), sock_(zmq_socket(ctx_, ZMQ_PUSH)) {
    const int zero = 0;
    zmq_setsockopt(sock_, ZMQ_SNDBUF, &zero, sizeof zero);
    zmq_setsockopt(sock_, ZMQ_SNDHWM, &zero, sizeof zero);
    zmq_connect(sock_, endpoint.c_str());
  }
  ~Sender() {
    const int zero = 0;
    zmq_setsockopt(sock_, ZMQ_LINGER, &zero, sizeof zero);
    zmq_close(sock_);
    zmq_ctx_term(ctx_);
  }
  std::thread sendBatch(int first) {
    return std::thread([this, first] {
      for (int i = first; i < first + kBatch; ++i) {
        const auto m = nodeMessage(i);
        zmq_send(sock_, m.data(), m.size(), 0);
      }
    });
  }

 private:
  void* ctx_;
  void* sock_;
};

void BM_DecodeAndAggregate(benchmark::State& state) {
  qelc::Collection coll;
  int i = 0;
  for (auto _ : state) {
    const auto m = nodeMessage(i++);
    qelc::Message msg{qelc::Channel::Node, 15555,
                      qelc::decode(qelc::Channel::Node, m.data(), m.size())};
    coll.add(msg);
  }
  benchmark::DoNotOptimize(coll.total());
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_DecodeAndAggregate);

void BM_BareReceive(benchmark::State& state) {
  void* ctx = zmq_ctx_new();
  void* pull = zmq_socket(ctx, ZMQ_PULL);
  const int zero = 0;
  zmq_setsockopt(pull, ZMQ_RCVHWM, &zero, sizeof zero);
  zmq_bind(pull, "tcp://127.0.0.1:*");
  char ep[256];
  std::size_t len = sizeof ep;
  zmq_getsockopt(pull, ZMQ_LAST_ENDPOINT, ep, &len);
  {
    Sender sender(ep);
    int first = 0;
    uint8_t buf[64];
    for (auto _ : state) {
      std::thread t = sender.sendBatch(first);
      for (int got = 0; got < kBatch; ++got) zmq_recv(pull, buf, sizeof buf, 0);
      t.join();
      first += kBatch;
    }
  }
  zmq_setsockopt(pull, ZMQ_LINGER, &zero, sizeof zero);
  zmq_close(pull);
  zmq_ctx_term(ctx);
  state.SetItemsProcessed(state.iterations() * kBatch);
}
BENCHMARK(BM_BareReceive)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Collector(benchmark::State& state) {
  qelc::ReceiverOptions opt;
  opt.bind = true;
  for (auto& e : opt.endpoints) e = "tcp://127.0.0.1:*";
  qelc::Receiver receiver(opt);
  qelc::Collection coll;
  Sender sender(receiver.endpoints()[static_cast<std::size_t>(qelc::Channel::Node)]);
  int first = 0;
  for (auto _ : state) {
    std::thread t = sender.sendBatch(first);
    std::size_t got = 0;
    while (got < static_cast<std::size_t>(kBatch))
      got += receiver.poll(100, [&](qelc::Message&& m) { coll.add(m); });
    t.join();
    first += kBatch;
  }
  if (coll.malformedCount() != 0) state.SkipWithError("malformed messages");
  state.SetItemsProcessed(state.iterations() * kBatch);
}
BENCHMARK(BM_Collector)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
