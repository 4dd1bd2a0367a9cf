#include "qelmq/QelSendDD.h"

#include <cstdio>

#include "qelmq/protocol/messages.h"
#include "trace.h"

QelSendDD::QelSendDD() : AggregatingSender(qel_wire::Channel::Node) {}

std::size_t QelSendDD::encode(uint64_t record, int32_t count, int32_t seq, bool little,
                              uint8_t* out) const {
  return qel_wire::encode_counted(record, count, seq, little, out);
}

void QelSendDD::report_send_failure(bool little) const {
  if (little) qel_trace::line("send dd Failed\n");
}

void QelSendDD::sendLeaveMsg() { AggregatingSender::sendLeaveMsg(); }

void* fsend_dd(void* arg) {
  static_cast<QelSendDD*>(arg)->run();
  return arg;
}
