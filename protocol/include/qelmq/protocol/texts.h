#pragma once
// The text messages: what the runtime writes and the collector parses on
// the property, test-case, value and timing channels. Variable parts are
// built by the functions here; fixed parts are named so that both sides
// use the same characters.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "qelmq/protocol/records.h"

// Kind of a property message; its text prefix leads the message. The type
// and its enumerators are part of the runtime's exported interface
// (QelSendProperty::sendMsg), hence outside any namespace.
enum DATA_INDEX : int32_t {
  CrashLastDD = 0,
  Crash = 1,
  CrashLastCond = 2,
  CrashLastMCDC = 3,
  MemoryLeak = 4,
};

namespace qel_wire {

// ---- Property messages (port 15559) -----------------------------------

inline constexpr int kDataIndexCount = 5;
inline constexpr const char* kDataIndexPrefix[kDataIndexCount] = {
    "CrashLastDD", "Crash", "CrashLastCond", "CrashLastMCDC", "MemoryLeak"};

// Between the prefix and the data, and between each key and value of the
// crash texts.
inline constexpr const char* kFieldSeparator = ":///";

// The prefix of an index; empty for an index outside the table.
constexpr const char* property_prefix(int index) {
  return index >= 0 && index < kDataIndexCount ? kDataIndexPrefix[index] : "";
}

// Message text: the index's prefix, ":///", the data (the zero byte that
// ends it on the wire is the string's terminator).
inline std::string property_text(int index, const std::string& data) {
  std::string text = property_prefix(index);
  text += kFieldSeparator;
  text += data;
  return text;
}

// ---- Crash texts (Crash, CrashLastDD, CrashLastCond, CrashLastMCDC) ----

// The keys of the lines of a crash text, in their order, separator included.
inline constexpr const char* kNameKey = "name:///";
inline constexpr const char* kTestcaseKey = "testcase:///";
inline constexpr const char* kTypeKey = "type:///";
inline constexpr const char* kCauseKey = "cause:///";
inline constexpr const char* kDataKey = "data:///";
// The runtime always reports test case "0".
inline constexpr const char* kCrashTestcase = "0";

// Type and cause already escaped (a line feed as backslash and n).
inline std::string crash_text(const std::string& name, const std::string& type,
                              const std::string& cause) {
  return std::string(kNameKey) + name + "\n" + kTestcaseKey + kCrashTestcase + "\n" + kTypeKey +
         type + "\n" + kCauseKey + cause + "\n";
}

inline std::string data_text(const std::string& name, const std::string& entries) {
  return std::string(kNameKey) + name + "\n" + kTestcaseKey + kCrashTestcase + "\n" + kDataKey +
         entries + "\n";
}

// One entry of a CrashLast* data list ends with this tail (";" included);
// fields are single-blank separated, so an entry has these many fields.
inline constexpr const char* kEntryTail = " 0 0 0 1 0;";
inline constexpr char kEntryEnd = ';';
inline constexpr std::size_t kNodeEntryFields = 7;
inline constexpr std::size_t kCondEntryFields = 8;
inline constexpr std::size_t kMcdcEntryFields = 9;

namespace detail {

// Fields of a record as the crash texts show them, read from its wire
// bytes: the unit without the mark, the second and third 16-bit fields, and
// the MC/DC decision without its outcome bit.
struct EntryFields {
  unsigned unit, second, third, decision;
};

inline EntryFields entry_fields(uint64_t record, bool little) {
  uint8_t w[8];
  put_record(record, little, w);
  if (little) w[0] &= 0x7F;
  EntryFields f;
  f.unit = get_u16(w, little);
  f.second = get_u16(w + 2, little);
  f.third = get_u16(w + 4, little);
  w[2] &= 0x7F;
  f.decision = get_u16(w + 2, little);
  return f;
}

}  // namespace detail

inline std::string node_entry(uint64_t record, bool little) {
  const detail::EntryFields f = detail::entry_fields(record, little);
  return std::to_string(f.unit) + " " + std::to_string(f.second) + kEntryTail;
}

inline std::string cond_entry(uint64_t record, bool little) {
  const detail::EntryFields f = detail::entry_fields(record, little);
  return std::to_string(f.unit) + " " + std::to_string(f.second) + " " + std::to_string(f.third) +
         kEntryTail;
}

// The condition text: the codes of wire bytes 4-7, each byte from its top
// pair down, one digit per code; unset codes show nothing.
inline std::string mcdc_entry(uint64_t record, bool little) {
  uint8_t w[8];
  put_record(record, little, w);
  std::string s;
  for (int i = 4; i <= 7; ++i) {
    for (int shift = 6; shift >= 0; shift -= 2) {
      const unsigned code = (w[i] >> shift) & kCodeMask;
      if (code != static_cast<unsigned>(CondCode::Unset))
        s.push_back(static_cast<char>('0' + code));
    }
  }
  const detail::EntryFields f = detail::entry_fields(record, little);
  // The field between the decision and the conditions is empty on purpose:
  // the collector splits on single blanks.
  return std::to_string(f.unit) + " " + std::to_string(f.decision) + "  " + s + kEntryTail;
}

// ---- Leak reports (MemoryLeak property messages) ----------------------

// The header line is a time stamp followed by this.
inline constexpr const char* kLeakHeaderTail = "  size file function line pid";
// The line that stands for "no block held".
inline constexpr const char* kLeakNothing = "0 zero zero 0 0";

// ---- Test-case events (port 15560, no terminating zero byte) ----------

// Event code, a blank, then the name (created) or "0" (started, stopped).
enum class TestCaseEvent : char { Created = '0', Started = '1', Stopped = '2' };
inline constexpr char kEventSeparator = ' ';
// What start and stop events carry in place of the test case's number.
inline constexpr char kEventNumber = '0';

// A created event; a null name is sent as an empty one.
inline std::string created_event(const char* name) {
  std::string text{static_cast<char>(TestCaseEvent::Created), kEventSeparator};
  if (name) text += name;
  return text;
}

// A start or stop event, whole.
constexpr std::array<char, 3> number_event(TestCaseEvent kind) {
  return {static_cast<char>(kind), kEventSeparator, kEventNumber};
}

// A stop event may carry the test case's verdict in place of the number:
// one digit, so a collector that reads the place as a number still takes
// the event, and "0" (what every older runtime sends) says no verdict.
enum class TestVerdict : char {
  None = '0',
  Passed = '1',
  Failed = '2',
  Skipped = '3',
  Error = '4',  // did not run to its end: bad vector, crash, time-out
};

// The verdict a caller's number stands for (QEL_VERDICT_*, 0-4); any other
// number is no verdict.
constexpr TestVerdict verdict_of(int code) {
  return code >= 0 && code <= 4 ? static_cast<TestVerdict>('0' + code) : TestVerdict::None;
}

constexpr std::array<char, 3> stop_event(TestVerdict verdict) {
  return {static_cast<char>(TestCaseEvent::Stopped), kEventSeparator, static_cast<char>(verdict)};
}

// ---- Value records (port 15561) ---------------------------------------

// An item: "$", the value's name, "#", the type tag, "#", the value's text.
inline constexpr char kItemStart = '$';
inline constexpr char kItemTagMark = '#';

enum class ValueTag : uint8_t {
  String,
  Bool,
  CharU,
  UChar,
  UShort,
  ULong,
  ULongLong,
  CharS,
  Char,
  Short,
  Int,
  Long,
  LongLong,
  Float,
  Double,
  LongDouble,
};
inline constexpr std::size_t kValueTagCount = 16;
inline constexpr const char* kValueTags[kValueTagCount] = {
    "QEL_STRING",    "QEL_BOOL",   "QEL_CHAR_U", "QEL_UCHAR",      "QEL_USHORT", "QEL_ULONG",
    "QEL_ULONGLONG", "QEL_CHAR_S", "QEL_CHAR",   "QEL_SHORT",      "QEL_INT",    "QEL_LONG",
    "QEL_LONGLONG",  "QEL_FLOAT",  "QEL_DOUBLE", "QEL_LONGDOUBLE",
};

constexpr const char* value_tag(ValueTag t) { return kValueTags[static_cast<std::size_t>(t)]; }

// ---- Timing records (port 15564) --------------------------------------

// Three signed decimal numbers, single blanks between.
inline constexpr std::size_t kTimingFields = 3;

inline std::string timing_text(int32_t a, int32_t b, int32_t c) {
  return std::to_string(a) + ' ' + std::to_string(b) + ' ' + std::to_string(c);
}

}  // namespace qel_wire
