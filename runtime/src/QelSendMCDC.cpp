#include "qelmq/QelSendMCDC.h"

#include <cstdint>
#include <cstdio>

#include "qelmq/QelSendCond.h"
#include "qelmq/QelSendLast.h"
#include "qelmq/QelSendProperty.h"
#include "qelmq/thread_exit.h"

std::atomic<int32_t> firstMcdc{1};

std::size_t QelSendMCDC::encode(uint64_t record, int32_t count, int32_t seq, bool little,
                                uint8_t* out) const {
  qel_record::put_record(record, little, out);
  qel_record::put_u16(groupId.load(std::memory_order_relaxed), little, out + 8);
  out[10] = '0';
  qel_record::put_u32(static_cast<uint32_t>(count), little, out + 11);
  qel_record::put_u32(static_cast<uint32_t>(seq), little, out + 15);
  return 19;
}

void QelSendMCDC::report_send_failure(bool) const { std::printf("send mcdc Failed\n"); }
void QelSendMCDC::report_leave_failure() const { std::printf("send mcdc Failed\n"); }

void* fsend_mcdc(void* sender) {
  static_cast<QelSendMCDC*>(sender)->run();
  return sender;
}

int QelExp(int unitId, int condId, int decisionId, int* condString, int groupId, int result) {
  const uint16_t low = static_cast<uint16_t>(result);
  QelSendProperty* prop = QelSendProperty::GetSendPropertyInstance();
  bool little = prop ? prop->littleEndian.load(std::memory_order_relaxed) : true;
  const uint16_t fields[4] = {static_cast<uint16_t>(unitId), static_cast<uint16_t>(condId),
                              static_cast<uint16_t>(low != 0 ? 0x00CC : 0x0033),
                              static_cast<uint16_t>(groupId)};
  uint64_t cond = qel_record::pack(fields, 4, little);
  thread_exit* inst = thread_exit::current();
  if (inst && inst->sendCond) inst->sendCond->execute(cond);

  inst = thread_exit::current();
  if (!inst || inst->noMcdc != 0 || condString == nullptr) return low;

  // relaxed: a plain latch; two first calls racing may both store, and the
  // later store stands.
  if (firstMcdc.load(std::memory_order_relaxed) == 1) {
    firstMcdc.store(2, std::memory_order_relaxed);
    const uint16_t g = static_cast<uint16_t>(groupId);
    if (inst->sendMCDC) inst->sendMCDC->groupId.store(g, std::memory_order_relaxed);
    inst = thread_exit::current();
    if (inst && inst->sendLast) inst->sendLast->groupId.store(g, std::memory_order_relaxed);
  }

  uint8_t b[8];
  b[0] = static_cast<uint8_t>(((unitId >> 8) & 0xFF) | 0x80);
  b[1] = static_cast<uint8_t>(unitId & 0xFF);
  b[2] = static_cast<uint8_t>((decisionId >> 8) & 0xFF);
  b[3] = static_cast<uint8_t>(decisionId & 0xFF);
  if (low == 1)
    b[2] |= 0x80;
  else
    b[2] &= 0x7F;
  uint32_t codes = static_cast<uint32_t>(condString[0]);
  uint64_t record = static_cast<uint64_t>(codes) << 32;
  for (int i = 3; i >= 0; --i) record |= static_cast<uint64_t>(b[i]) << (8 * i);

  inst = thread_exit::current();
  if (inst && inst->sendMCDC) inst->sendMCDC->execute(record);
  return low;
}

int* QelStringInit(int* condString) {
  if (condString) {
    condString[0] = -1;
    condString[1] = -1;
  }
  return condString;
}

namespace {
void set_slot(int* condString, int64_t slot, uint32_t code) {
  if (slot < 0 || slot > 15) return;
  unsigned shift = static_cast<unsigned>((slot / 4) * 8 + 6 - 2 * (slot % 4));
  uint32_t codes = static_cast<uint32_t>(condString[0]);
  codes = (codes & ~(3u << shift)) | (code << shift);
  condString[0] = static_cast<int>(codes);
}
}  // namespace

int QelStringAddCond(int* condString, int index, int result) {
  if (!condString) return 0;
  const uint32_t outcome = result != 0 ? 1u : 0u;
  if (index == 0) {
    condString[1] = 0;
    condString[0] = static_cast<int>(result != 0 ? 0xFFFFFF7Fu : 0xFFFFFF3Fu);
    return 0;
  }
  // 64-bit so that a corrupt lastIndex cannot overflow the walk.
  int64_t k = static_cast<int64_t>(condString[1]) + 1;
  for (; k < index; ++k) {
    if (k >= 0 && k <= 15) {
      set_slot(condString, k, 2u);  // skipped by short-circuit evaluation
      condString[1] += 1;
    }
  }
  if (k < 0 || k > 15) return 0;
  set_slot(condString, k, outcome);
  condString[1] += 1;
  return 0;
}

void QelSendMCDC::sendLeaveMsg() { AggregatingSender::sendLeaveMsg(); }
