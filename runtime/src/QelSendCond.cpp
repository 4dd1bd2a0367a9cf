#include "qelmq/QelSendCond.h"

#include <cstdio>

std::size_t QelSendCond::encode(uint64_t record, int32_t count, int32_t seq, bool little,
                                uint8_t* out) const {
  return qel_record::put_counted_message(record, count, seq, little, out);
}

void QelSendCond::report_send_failure(bool little) const {
  if (little) std::printf("send cond Failed\n");
}

void* fsend_cond(void* sender) {
  static_cast<QelSendCond*>(sender)->run();
  return sender;
}

void QelSendCond::sendLeaveMsg() { AggregatingSender::sendLeaveMsg(); }
