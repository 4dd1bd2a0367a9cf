#include "delivery.h"

#include <atomic>
#include <string>

#include "net.h"
#include "port.h"
#include "spool.h"
#include "trace.h"

namespace qel_delivery {

namespace {

constexpr int kChannels = 8;
// The collector's names for the channels, in endpoint-table order.
constexpr const char* kNames[kChannels] = {"node",     "condition", "mcdc",     "property",
                                           "testcase", "value",     "lastdata", "timing"};

// relaxed: statistics. Each is added to by whichever thread settles a
// message and read once the senders have ended (their joins order it).
std::atomic<uint64_t> g_counts[3][kChannels];

// "node 3, property 1" for the non-zero counts of one outcome.
std::string listing(const uint64_t (&counts)[kChannels]) {
  std::string s;
  for (int c = 0; c < kChannels; ++c) {
    if (counts[c] == 0) continue;
    if (!s.empty()) s += ", ";
    s += kNames[c];
    s += ' ';
    s += std::to_string(counts[c]);
  }
  return s;
}

}  // namespace

void note(qel_wire::Channel channel, Outcome outcome, uint64_t n) {
  const int c = static_cast<int>(channel);
  if (c < 0 || c >= kChannels || n == 0) return;
  g_counts[static_cast<int>(outcome)][c].fetch_add(n, std::memory_order_relaxed);
}

Outcome deliver(void* socket, qel_wire::Channel channel, const void* data, std::size_t len,
                qel_net::SendPacing& pacing, bool count_drop) {
  if (qel_net::send_message(socket, data, len, pacing)) {
    note(channel, Outcome::Sent);
    return Outcome::Sent;
  }
  // The spool settles the tally of what it takes (written, or lost with its file).
  if (qel_spool::put(channel, data, len)) return Outcome::Spooled;
  if (count_drop) note(channel, Outcome::Dropped);
  return Outcome::Dropped;
}

Totals totals() {
  Totals t;
  for (int c = 0; c < kChannels; ++c) {
    t.sent[c] = g_counts[0][c].load(std::memory_order_relaxed);
    t.spooled[c] = g_counts[1][c].load(std::memory_order_relaxed);
    t.dropped[c] = g_counts[2][c].load(std::memory_order_relaxed);
  }
  return t;
}

void reset() {
  for (auto& row : g_counts)
    for (auto& n : row) n.store(0, std::memory_order_relaxed);
}

void report() {
  const Totals t = totals();
  const int32_t me = qel_port::current_pid();
  const std::string dropped = listing(t.dropped);
  if (!dropped.empty() && qel_spool::enabled())
    qel_trace::line("messages dropped, neither a collector nor the spool took them: %s::%d\n",
                    dropped.c_str(), me);
  else if (!dropped.empty())
    qel_trace::line("messages dropped, no collector connected within %u ms of the start: %s::%d\n",
                    qel_net::collector_wait_ms(), dropped.c_str(), me);
  const std::string spooled = listing(t.spooled);
  if (!spooled.empty())
    qel_trace::line("messages spooled for the collector (%s): %s::%d\n", qel_spool::path().c_str(),
                    spooled.c_str(), me);
}

}  // namespace qel_delivery
