#include "qelmq/QelSendCond.h"

#include <cstdio>

#include "qelmq/protocol/messages.h"
#include "trace.h"

QelSendCond::QelSendCond() : AggregatingSender(qel_wire::Channel::Cond) {}

std::size_t QelSendCond::encode(uint64_t record, int32_t count, int32_t seq, bool little,
                                uint8_t* out) const {
  return qel_wire::encode_counted(record, count, seq, little, out);
}

void QelSendCond::report_send_failure(bool little) const {
  if (little) qel_trace::line("send cond Failed\n");
}

void QelSendCond::sendLeaveMsg() { AggregatingSender::sendLeaveMsg(); }

void* fsend_cond(void* sender) {
  static_cast<QelSendCond*>(sender)->run();
  return sender;
}
