#pragma once
// Delivery of one message to the collector: over its socket, else into the
// spool, else dropped; and the per-channel tally of what became of each, so
// that a loss is never silent.
#include <cstddef>
#include <cstdint>

#include "qelmq/SenderBase.h"
#include "qelmq/protocol/endpoints.h"

namespace qel_delivery {

enum class Outcome { Sent, Spooled, Dropped };

// Sends `data` on `socket` (qel_net::send_message, paced by `pacing`); when
// the socket does not take it, writes it to the spool if there is one. The
// tally counts the outcome, except a drop with `count_drop` false (a sender
// that keeps its own count of dropped records says so itself, note()).
Outcome deliver(void* socket, qel_wire::Channel channel, const void* data, std::size_t len,
                qel_net::SendPacing& pacing, bool count_drop = true);

// Adds `n` messages of `channel` to the tally of `outcome`.
void note(qel_wire::Channel channel, Outcome outcome, uint64_t n = 1);

// Messages per channel (in the order of the endpoint table) since the
// bootstrap, by outcome.
struct Totals {
  uint64_t sent[8];
  uint64_t spooled[8];
  uint64_t dropped[8];
};
Totals totals();

// The bootstrap starts a new tally.
void reset();

// At the end of the shutdown: one trace line naming, per channel, the
// messages dropped (none when nothing was), and one for those spooled.
void report();

}  // namespace qel_delivery
