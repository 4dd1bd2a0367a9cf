#pragma once
#include "qelmq/AggregatingSender.h"
#include "qelmq/probes.h"

// MC/DC sender: the MC/DC channel, messages carrying the group id.
class QEL_EXPORT QelSendMCDC : public AggregatingSender<3000000> {
 public:
  QelSendMCDC();
  std::size_t encode(uint64_t record, int32_t count, int32_t seq, bool little,
                     uint8_t* out) const override;
  // Exported under this class's own name for instrumented programs.
  void sendLeaveMsg();
  void report_send_failure(bool little) const override;
  void report_leave_failure() const override;

  // Latched once per process by the first MC/DC record (relaxed: a plain
  // value; two first calls racing may both store, the later one stands).
  std::atomic<uint16_t> groupId{0};
};

QEL_EXPORT void* fsend_mcdc(void* sender);

extern "C" {
// Starts at 1; the first QelExp that produces an MC/DC record sets it to 2.
QEL_EXPORT extern std::atomic<int32_t> firstMcdc;
}
