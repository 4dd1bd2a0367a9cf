#pragma once
#include "qelmq/AggregatingSender.h"

// Node sender: port 15555, 18-byte messages.
class QEL_EXPORT QelSendDD : public AggregatingSender<6000000> {
 public:
  QelSendDD() = default;
  std::size_t encode(uint64_t record, int32_t count, int32_t seq, bool little,
                     uint8_t* out) const override;
  // Exported under this class's own name for instrumented programs.
  void sendLeaveMsg();
  int port() const override { return 15555; }
  void report_send_failure(bool little) const override;
};

extern "C" QEL_EXPORT int QelNode(int unitId, int nodeId, int nodeValue);
QEL_EXPORT void* fsend_dd(void* arg);
