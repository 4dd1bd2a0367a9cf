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
#include "qelmq/protocol/records.h"
#include "qelmq/protocol/texts.h"
#include "qelmq/thread_exit.h"
#include "thread_stage.h"
#include "value_item.h"

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

// The byte-order flag of QelSendProperty::little_endian_flag(), read through
// the instance the probe has already found: the flag lives in the property
// channel the bootstrap made, and looking that up again on every call
// would cost a probe as much as the rest of its work.
bool little_endian_of(thread_exit* inst) {
  QelSendProperty* p = inst->sendProperty;
  // relaxed: true from construction and never cleared.
  return p ? p->littleEndian.load(std::memory_order_relaxed)
           : QelSendProperty::little_endian_flag();
}

}  // namespace

// ---- Node and condition probes ----------------------------------------

int QelNode(int unitId, int nodeId, int nodeValue) {
  if (static_cast<uint16_t>(nodeId) == qel_wire::kNoNode) return 1;
  thread_exit* inst = thread_exit::current();
  if (!inst) return 1;
  const uint64_t record = qel_wire::node_record(unitId, nodeId, nodeValue, little_endian_of(inst));
  hand_over(inst->sendDD, qel_stage::kNode, record);
  return 1;
}

int QelExp(int unitId, int condId, int decisionId, int* condString, int groupId, int result) {
  const uint16_t low = static_cast<uint16_t>(result);
  // One look-up of the instance serves the whole call: it holds the senders
  // and the byte-order flag.
  thread_exit* inst = thread_exit::current();
  if (!inst) return low;
  const uint64_t cond =
      qel_wire::cond_record(unitId, condId, low != 0, groupId, little_endian_of(inst));
  hand_over(inst->sendCond, qel_stage::kCond, cond);
  if (inst->noMcdc != 0 || condString == nullptr) return low;

  // relaxed: a plain latch; two first calls racing may both store, and the
  // later store stands.
  if (firstMcdc.load(std::memory_order_relaxed) == 1) {
    firstMcdc.store(2, std::memory_order_relaxed);
    const uint16_t g = static_cast<uint16_t>(groupId);
    if (inst->sendMCDC) inst->sendMCDC->groupId.store(g, std::memory_order_relaxed);
    if (inst->sendLast) inst->sendLast->groupId.store(g, std::memory_order_relaxed);
  }

  const uint64_t record =
      qel_wire::mcdc_record(unitId, decisionId, low == 1, static_cast<uint32_t>(condString[0]));
  hand_over(inst->sendMCDC, qel_stage::kMcdc, record);
  return low;
}

int* QelStringInit(int* condString) {
  if (condString) {
    condString[0] = static_cast<int>(qel_wire::kAllUnset);
    condString[1] = -1;  // no slot written
  }
  return condString;
}

namespace {

using qel_wire::CondCode;
constexpr int64_t kLastSlot = qel_wire::kConditionSlots - 1;

void set_slot(int* condString, int64_t slot, CondCode code) {
  if (slot < 0 || slot > kLastSlot) return;
  condString[0] = static_cast<int>(
      qel_wire::with_slot(static_cast<uint32_t>(condString[0]), static_cast<int>(slot), code));
}

}  // namespace

int QelStringAddCond(int* condString, int index, int result) {
  if (!condString) return 0;
  const CondCode outcome = result != 0 ? CondCode::True : CondCode::False;
  if (index == 0) {
    condString[1] = 0;
    condString[0] = static_cast<int>(qel_wire::with_slot(qel_wire::kAllUnset, 0, outcome));
    return 0;
  }
  // 64-bit so that a corrupt lastIndex cannot overflow the walk.
  int64_t k = static_cast<int64_t>(condString[1]) + 1;
  for (; k < index; ++k) {
    if (k >= 0 && k <= kLastSlot) {
      set_slot(condString, k, CondCode::Skipped);  // short-circuit evaluation
      condString[1] += 1;
    }
  }
  if (k < 0 || k > kLastSlot) return 0;
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
    std::string record = qel_wire::timing_text(a, b, c);
    enqueue(&thread_exit::sendTime, record);
  } catch (...) {
  }
}
