// The probes: where a record starts its way. Each probe packs its record
// (wire.h), finds the runtime instance of this process and hands the record
// to its sender's queue; the insert thread and the senders' threads take it
// from there. No probe takes a lock or makes a system call once the instance
// exists, and none ever reports a failure to its caller.
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>

#include "qelmq/QelSendCond.h"
#include "qelmq/QelSendDD.h"
#include "qelmq/QelSendLast.h"
#include "qelmq/QelSendMCDC.h"
#include "qelmq/QelSendProperty.h"
#include "qelmq/TextSender.h"
#include "qelmq/probes.h"
#include "qelmq/thread_exit.h"
#include "thread_stage.h"
#include "value_item.h"
#include "wire.h"

std::atomic<int32_t> firstMcdc{1};

namespace {

// A coverage record's way into its sender's queue: through the calling
// thread's stage (thread_stage.h), or straight into the queue when the
// thread has none.
template <typename Sender>
void hand_over(Sender* sender, qel_stage::Lane lane, uint64_t record) {
  if (!sender) return;
  // acquire: pairs with the shutdown's release store of the flag.
  if (sender->stopEnqueue.load(std::memory_order_acquire)) return;
  if (!qel_stage::put(lane, record)) sender->execute(record);
}

// The byte-order flag of qel_wire::little_endian(), read through the
// instance the probe has already found: the flag lives in the property
// channel the bootstrap made, and looking that up again on every call
// would cost a probe as much as the rest of its work.
bool little_endian_of(thread_exit* inst) {
  QelSendProperty* p = inst->sendProperty;
  // relaxed: true from construction and never cleared.
  return p ? p->littleEndian.load(std::memory_order_relaxed) : qel_wire::little_endian();
}

}  // namespace

// ---- Node and condition probes ----------------------------------------

int QelNode(int unitId, int nodeId, int nodeValue) {
  if ((nodeId & 0xFFFF) == 0xFFFF) return 1;
  thread_exit* inst = thread_exit::current();
  if (!inst) return 1;
  const uint64_t record = qel_wire::node_record(unitId, nodeId, nodeValue, little_endian_of(inst));
  hand_over(inst->sendDD, qel_stage::kNode, record);
  return 1;
}

int QelExp(int unitId, int condId, int decisionId, int* condString, int groupId, int result) {
  const uint16_t low = static_cast<uint16_t>(result);
  const uint64_t cond =
      qel_wire::cond_record(unitId, condId, low != 0, groupId, qel_wire::little_endian());
  thread_exit* inst = thread_exit::current();
  if (inst) hand_over(inst->sendCond, qel_stage::kCond, cond);

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

  const uint64_t record =
      qel_wire::mcdc_record(unitId, decisionId, low == 1, static_cast<uint32_t>(condString[0]));
  inst = thread_exit::current();
  if (inst) hand_over(inst->sendMCDC, qel_stage::kMcdc, record);
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

// Condition codes of the string's 2-bit slots.
constexpr uint32_t kCodeFalse = 0u;
constexpr uint32_t kCodeTrue = 1u;
constexpr uint32_t kCodeSkipped = 2u;

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
  const uint32_t outcome = result != 0 ? kCodeTrue : kCodeFalse;
  if (index == 0) {
    condString[1] = 0;
    condString[0] = static_cast<int>(result != 0 ? 0xFFFFFF7Fu : 0xFFFFFF3Fu);
    return 0;
  }
  // 64-bit so that a corrupt lastIndex cannot overflow the walk.
  int64_t k = static_cast<int64_t>(condString[1]) + 1;
  for (; k < index; ++k) {
    if (k >= 0 && k <= 15) {
      set_slot(condString, k, kCodeSkipped);  // short-circuit evaluation
      condString[1] += 1;
    }
  }
  if (k < 0 || k > 15) return 0;
  set_slot(condString, k, outcome);
  condString[1] += 1;
  return 0;
}

// ---- Value and timing probes ------------------------------------------
// They format on the caller's stack and hand one text per record to the
// twin text senders.

namespace {

void append(char* buffer, int* position, const char* text, std::size_t len) {
  if (len > static_cast<std::size_t>(INT_MAX - *position)) return;
  std::memcpy(buffer + *position, text, len);
  *position += static_cast<int>(len);
}

template <typename Member>
void enqueue(Member member, std::string& text) {
  thread_exit* inst = thread_exit::current();
  if (!inst) return;
  auto* sender = inst->*member;
  if (sender) sender->execute(text);
}

}  // namespace

void QelPrint(const char* valueName, char* buffer, int* position, int typeCode, ...) {
  if (!buffer || !position || *position < 0) return;
  try {
    if (typeCode == QEL_HEADER) {
      // The header leads the record: it goes to the start of the buffer.
      if (!valueName) return;
      std::size_t len = std::strlen(valueName);
      if (len > static_cast<std::size_t>(INT_MAX - *position)) return;
      std::memcpy(buffer, valueName, len);
      *position += static_cast<int>(len);
      return;
    }
    if (typeCode == QEL_FLUSH) {
      buffer[*position] = '\0';
      std::string text(buffer, static_cast<std::size_t>(*position));
      enqueue(&thread_exit::sendParam, text);
      return;
    }
    char item[qel_text::kItemBuffer];
    va_list args;
    va_start(args, typeCode);
    int n = qel_text::format_item(item, valueName, typeCode, args);
    va_end(args);
    if (n < 0) return;
    append(buffer, position, item, static_cast<std::size_t>(n));
  } catch (...) {
    // Out of memory for the record's copy: the record is lost, the program
    // under test goes on.
  }
}

void QelSendMethodTime(int a, int b, int c) {
  try {
    char text[40];
    std::snprintf(text, sizeof(text), "%d %d %d", a, b, c);
    std::string record(text);
    enqueue(&thread_exit::sendTime, record);
  } catch (...) {
  }
}
