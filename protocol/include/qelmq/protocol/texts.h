#pragma once
// The text messages: what the runtime writes and the collector parses on
// the property, test-case, value and timing channels. Variable parts are
// built by the functions here; fixed parts are named so that both sides
// use the same characters.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "qelmq/protocol/endpoints.h"
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
  // A process's announcements of its start and its end (below). Outside
  // the prefix table, so their messages carry the empty prefix: a collector
  // that does not know them keeps them as property texts it does not
  // understand, never as malformed messages.
  ProcessStart = 5,
  ProcessEnd = 6,
  // The path of a program or shared library whose counted units reported in
  // this process, so that the collector reads the maps inside it (sent once
  // per module and reading, before that reading's counts). Outside the
  // prefix table: its messages carry the empty prefix and the text
  // "module path=/abs/path", which a collector that does not know it keeps
  // as a property text it does not understand.
  LoadedModule = 7,
  // A process's command line, tied to its start by pid and stream, so that
  // a report names a process the way its user started it. Empty prefix,
  // like the announcements.
  ProcessCommand = 8,
  // Where a test case's start or stop falls in each counted channel's
  // sequence numbers (below). Empty prefix.
  TestCaseWindow = 9,
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

// ---- Process announcements (ProcessStart, ProcessEnd) ------------------
//
// Every runtime instance announces its start and, when its stream ends (the
// shutdown, a crash flush, a leave operation, an exec), what it delivered:
// messages per channel, in endpoint-table order, that left over a socket or
// went into the spool, the end message itself included. A collector that
// saw a start and no end, or fewer messages than an end announced, knows
// what it lost.
//
//   ":///process-start pid=4711 stream=00001267a3b4c5d6 protocol=2 program=/bin/prog"
//   ":///process-end pid=4711 stream=00001267a3b4c5d6 delivered=12,3,4,5,0,0,1,0"
//
// The stream tells apart the instances of one pid (an exec, a bootstrap
// after QelExit, pids reused on another machine). The program is last and
// runs to the end of the text.
inline constexpr const char* kProcessStartKey = "process-start ";
inline constexpr const char* kProcessEndKey = "process-end ";

struct ProcessStart {
  int32_t pid = 0;
  uint64_t stream = 0;
  uint32_t protocol = 0;
  std::string program;
};

struct ProcessEnd {
  int32_t pid = 0;
  uint64_t stream = 0;
  std::array<uint64_t, kChannelCount> delivered{};
};

namespace detail {

inline std::string hex16(uint64_t v) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string s(16, '0');
  for (int i = 15; i >= 0; --i, v >>= 4) s[static_cast<std::size_t>(i)] = kDigits[v & 0xF];
  return s;
}

// Reads "key=" then digits (base 10 or 16) up to `end`; advances `at`.
inline bool read_number(std::string_view text, std::size_t* at, std::string_view key, int base,
                        uint64_t* out, char end = ' ') {
  if (text.substr(*at, key.size()) != key) return false;
  std::size_t i = *at + key.size();
  uint64_t v = 0;
  std::size_t digits = 0;
  for (; i < text.size() && text[i] != end; ++i, ++digits) {
    const char c = text[i];
    int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : 99;
    if (d >= base || digits >= 20 || v > (UINT64_MAX - static_cast<uint64_t>(d)) / base)
      return false;
    v = v * static_cast<uint64_t>(base) + static_cast<uint64_t>(d);
  }
  if (digits == 0) return false;
  *at = i < text.size() ? i + 1 : i;
  *out = v;
  return true;
}

}  // namespace detail

inline std::string process_start_text(const ProcessStart& s) {
  return std::string(kProcessStartKey) + "pid=" + std::to_string(s.pid) +
         " stream=" + detail::hex16(s.stream) + " protocol=" + std::to_string(s.protocol) +
         " program=" + s.program;
}

inline std::string process_end_text(const ProcessEnd& e) {
  std::string s = std::string(kProcessEndKey) + "pid=" + std::to_string(e.pid) +
                  " stream=" + detail::hex16(e.stream) + " delivered=";
  for (std::size_t c = 0; c < e.delivered.size(); ++c) {
    if (c) s += ',';
    s += std::to_string(e.delivered[c]);
  }
  return s;
}

// The announcements read back from a property text (the part after
// ":///"); false when the text is not one or does not follow its format.
inline bool parse_process_start(std::string_view text, ProcessStart* out) {
  const std::string_view key(kProcessStartKey);
  if (text.substr(0, key.size()) != key) return false;
  std::size_t at = key.size();
  uint64_t pid = 0, stream = 0, protocol = 0;
  if (!detail::read_number(text, &at, "pid=", 10, &pid) || pid > INT32_MAX ||
      !detail::read_number(text, &at, "stream=", 16, &stream) ||
      !detail::read_number(text, &at, "protocol=", 10, &protocol) || protocol > UINT32_MAX ||
      text.substr(at, 8) != "program=")
    return false;
  out->pid = static_cast<int32_t>(pid);
  out->stream = stream;
  out->protocol = static_cast<uint32_t>(protocol);
  out->program = std::string(text.substr(at + 8));
  return true;
}

inline bool parse_process_end(std::string_view text, ProcessEnd* out) {
  const std::string_view key(kProcessEndKey);
  if (text.substr(0, key.size()) != key) return false;
  std::size_t at = key.size();
  uint64_t pid = 0, stream = 0;
  if (!detail::read_number(text, &at, "pid=", 10, &pid) || pid > INT32_MAX ||
      !detail::read_number(text, &at, "stream=", 16, &stream))
    return false;
  ProcessEnd e;
  e.pid = static_cast<int32_t>(pid);
  e.stream = stream;
  for (std::size_t c = 0; c < e.delivered.size(); ++c) {
    const bool last = c + 1 == e.delivered.size();
    if (!detail::read_number(text, &at, c == 0 ? "delivered=" : "", 10, &e.delivered[c],
                             last ? '\0' : ','))
      return false;
    if (last && at != text.size()) return false;
  }
  *out = e;
  return true;
}

// ---- Origin of a connection -------------------------------------------
//
// Every socket of a runtime instance names the instance in its connection's
// metadata (ZeroMQ property "X-Qel-Origin"), so a collector that takes the
// messages of many processes on one socket tells them apart without any
// message changing: "<pid>/<stream as 16 hex digits>", the pid and stream of
// the instance's announcements.
inline constexpr const char* kOriginProperty = "X-Qel-Origin";

// ---- Command line (ProcessCommand) ------------------------------------
//
//   ":///process-command pid=4711 stream=00001267a3b4c5d6 command=./prog -v 'a b'"
//
// Arguments are separated by single blanks; one that is empty or holds a
// blank, a quote or a backslash is put in single quotes (a quote inside as
// '\''), as a POSIX shell reads it back. At most kMaxCommandText characters
// of it are sent; a longer one ends in "...".
inline constexpr const char* kProcessCommandKey = "process-command ";
inline constexpr std::size_t kMaxCommandText = 2048;

struct ProcessCommand {
  int32_t pid = 0;
  uint64_t stream = 0;
  std::string command;
};

// ---- Test-case windows (TestCaseWindow) --------------------------------
//
// Test-case events and counts travel on different sockets and arrive in any
// order. When a test case starts or stops, the runtime first sends the
// counts made so far, then announces here the sequence number each counted
// channel (node, condition, MC/DC) will give its next message: the messages
// numbered below it were counted before the event, the others after. 0 for
// a channel whose counts could not be sent (no collector took them in
// time): its boundary is not known. `ordinal` numbers the starts (or the
// stops) of the stream 1, 2, 3, ... so that the collector pairs the k-th
// window announcement of a kind with the k-th event of that kind.
//
//   ":///test-case-window start=1 node=12 cond=4 mcdc=7"
//   ":///test-case-window stop=1 node=30 cond=9 mcdc=11"
inline constexpr const char* kTestCaseWindowKey = "test-case-window ";

struct TestCaseWindow {
  bool start = true;
  uint32_t ordinal = 0;
  std::array<uint32_t, 3> next{};  // node, condition, MC/DC
};

// ---- Origins, command lines and test-case windows: the functions ------

inline std::string origin_text(int32_t pid, uint64_t stream) {
  return std::to_string(pid) + "/" + detail::hex16(stream);
}

// The pid and stream of an origin; false for any other text. An origin of
// the pid alone (a spool read before its stream was known) gives stream 0.
inline bool parse_origin(std::string_view text, int32_t* pid, uint64_t* stream) {
  const std::size_t slash = text.find('/');
  const std::string_view digits = text.substr(0, slash);
  if (digits.empty() || digits.size() > 10) return false;
  uint64_t p = 0;
  for (const char c : digits) {
    if (c < '0' || c > '9') return false;
    p = p * 10 + static_cast<uint64_t>(c - '0');
  }
  if (p > INT32_MAX) return false;
  uint64_t s = 0;
  if (slash != std::string_view::npos) {
    const std::string_view hex = text.substr(slash + 1);
    if (hex.size() != 16) return false;
    for (const char c : hex) {
      const int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
      if (d < 0) return false;
      s = s << 4 | static_cast<uint64_t>(d);
    }
  }
  *pid = static_cast<int32_t>(p);
  *stream = s;
  return true;
}

// One argument as a shell reads it back.
inline std::string quoted_argument(std::string_view arg) {
  bool plain = !arg.empty();
  for (const char c : arg)
    if (c == ' ' || c == '\t' || c == '\n' || c == '\'' || c == '"' || c == '\\') plain = false;
  if (plain) return std::string(arg);
  std::string q = "'";
  for (const char c : arg) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

inline std::string process_command_text(const ProcessCommand& c) {
  std::string command = c.command;
  if (command.size() > kMaxCommandText) command = command.substr(0, kMaxCommandText - 3) + "...";
  return std::string(kProcessCommandKey) + "pid=" + std::to_string(c.pid) +
         " stream=" + detail::hex16(c.stream) + " command=" + command;
}

inline bool parse_process_command(std::string_view text, ProcessCommand* out) {
  const std::string_view key(kProcessCommandKey);
  if (text.substr(0, key.size()) != key) return false;
  std::size_t at = key.size();
  uint64_t pid = 0, stream = 0;
  if (!detail::read_number(text, &at, "pid=", 10, &pid) || pid > INT32_MAX ||
      !detail::read_number(text, &at, "stream=", 16, &stream) || text.substr(at, 8) != "command=")
    return false;
  out->pid = static_cast<int32_t>(pid);
  out->stream = stream;
  out->command = std::string(text.substr(at + 8));
  return true;
}

inline std::string test_case_window_text(const TestCaseWindow& w) {
  return std::string(kTestCaseWindowKey) + (w.start ? "start=" : "stop=") +
         std::to_string(w.ordinal) + " node=" + std::to_string(w.next[0]) +
         " cond=" + std::to_string(w.next[1]) + " mcdc=" + std::to_string(w.next[2]);
}

inline bool parse_test_case_window(std::string_view text, TestCaseWindow* out) {
  const std::string_view key(kTestCaseWindowKey);
  if (text.substr(0, key.size()) != key) return false;
  std::size_t at = key.size();
  TestCaseWindow w;
  w.start = text.substr(at, 6) == "start=";
  uint64_t v = 0;
  if (!detail::read_number(text, &at, w.start ? "start=" : "stop=", 10, &v) || v == 0 ||
      v > UINT32_MAX)
    return false;
  w.ordinal = static_cast<uint32_t>(v);
  static constexpr const char* kKeys[3] = {"node=", "cond=", "mcdc="};
  for (std::size_t c = 0; c < 3; ++c) {
    if (!detail::read_number(text, &at, kKeys[c], 10, &v, c == 2 ? '\0' : ' ') || v > UINT32_MAX)
      return false;
    w.next[c] = static_cast<uint32_t>(v);
  }
  if (at != text.size()) return false;
  *out = w;
  return true;
}

// ---- Module texts (LoadedModule) --------------------------------------

// "module path=" and the path, to the end of the text.
inline constexpr const char* kModuleKey = "module path=";

inline std::string module_text(const std::string& path) { return kModuleKey + path; }

// The path of a module text; false for any other text, or an empty path.
inline bool parse_module_text(const std::string& text, std::string* path) {
  const std::string key(kModuleKey);
  if (text.size() <= key.size() || text.compare(0, key.size(), key) != 0) return false;
  *path = text.substr(key.size());
  return true;
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
