#include "qelmq/QelSendMCDC.h"

#include <cstdio>

#include "qelmq/protocol/messages.h"
#include "trace.h"

QelSendMCDC::QelSendMCDC() : AggregatingSender(qel_wire::Channel::Mcdc) {}

std::size_t QelSendMCDC::encode(uint64_t record, int32_t count, int32_t seq, bool little,
                                uint8_t* out) const {
  return qel_wire::encode_mcdc(record, groupId.load(std::memory_order_relaxed), count, seq, little,
                               out);
}

void QelSendMCDC::report_send_failure(bool) const { qel_trace::line("send mcdc Failed\n"); }
void QelSendMCDC::report_leave_failure() const { qel_trace::line("send mcdc Failed\n"); }

void QelSendMCDC::sendLeaveMsg() { AggregatingSender::sendLeaveMsg(); }

void* fsend_mcdc(void* sender) {
  static_cast<QelSendMCDC*>(sender)->run();
  return sender;
}
