#include "qelmq/QelSendCond.h"

#include <cstdio>

std::size_t QelSendCond::encode(uint64_t record, int32_t count, int32_t seq, bool little,
                                uint8_t* out) const {
  qel_record::put_record(record, little, out);
  out[8] = '0';
  qel_record::put_u32(static_cast<uint32_t>(count), little, out + 9);
  qel_record::put_u32(static_cast<uint32_t>(seq), little, out + 13);
  out[17] = '1';
  return 18;
}

void QelSendCond::report_send_failure(bool little) const {
  if (little) std::printf("send cond Failed\n");
}

void* fsend_cond(void* sender) {
  static_cast<QelSendCond*>(sender)->run();
  return sender;
}
