#include "qelmq/QelSendDD.h"

#include <cstdio>

#include "qelmq/QelSendProperty.h"
#include "qelmq/thread_exit.h"

std::size_t QelSendDD::encode(uint64_t record, int32_t count, int32_t seq, bool little,
                              uint8_t* out) const {
  return qel_record::put_counted_message(record, count, seq, little, out);
}

void QelSendDD::report_send_failure(bool little) const {
  if (little) std::printf("send dd Failed\n");
}

void* fsend_dd(void* arg) {
  static_cast<QelSendDD*>(arg)->run();
  return arg;
}

int QelNode(int unitId, int nodeId, int nodeValue) {
  if ((nodeId & 0xFFFF) == 0xFFFF) return 1;
  QelSendProperty* prop = QelSendProperty::GetSendPropertyInstance();
  bool little = prop ? prop->littleEndian.load(std::memory_order_relaxed) : true;
  const uint16_t fields[3] = {static_cast<uint16_t>(unitId), static_cast<uint16_t>(nodeId),
                              static_cast<uint16_t>(nodeValue)};
  uint64_t record = qel_record::pack(fields, 3, little);
  thread_exit* inst = thread_exit::current();
  if (inst && inst->sendDD) inst->sendDD->execute(record);
  return 1;
}

void QelSendDD::sendLeaveMsg() { AggregatingSender::sendLeaveMsg(); }
