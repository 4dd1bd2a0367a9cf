#pragma once
#include "qelmq/AggregatingSender.h"

// Condition sender: the condition channel, counted messages.
class QEL_EXPORT QelSendCond : public AggregatingSender<3000000> {
 public:
  QelSendCond();
  std::size_t encode(uint64_t record, int32_t count, int32_t seq, bool little,
                     uint8_t* out) const override;
  // Exported under this class's own name for instrumented programs.
  void sendLeaveMsg();
  void report_send_failure(bool little) const override;
};

QEL_EXPORT void* fsend_cond(void* sender);
