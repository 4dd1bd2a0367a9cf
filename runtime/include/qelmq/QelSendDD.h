#pragma once
#include "qelmq/AggregatingSender.h"
#include "qelmq/probes.h"

// Node sender: the node channel, counted messages.
class QEL_EXPORT QelSendDD : public AggregatingSender<6000000> {
 public:
  QelSendDD();
  std::size_t encode(uint64_t record, int32_t count, int32_t seq, bool little,
                     uint8_t* out) const override;
  // Exported under this class's own name for instrumented programs.
  void sendLeaveMsg();
  void report_send_failure(bool little) const override;
};

QEL_EXPORT void* fsend_dd(void* arg);
