// Decoders for every message the probe runtime streams to a collector.
//
// Each channel has its own port and its own wire format. decode() never
// throws and never reads outside the given bytes: anything that does not
// match its channel's layout comes back as a Malformed value carrying the
// reason, the message's size and its first bytes, so the caller can report
// it and carry on. Decoding takes time linear in the message's size, so a
// hostile sender cannot stall the collector with one crafted message.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "qelmq/protocol/counter_paths.h"
#include "qelmq/protocol/endpoints.h"
#include "qelmq/protocol/records.h"
#include "qelmq/protocol/texts.h"

namespace qelc {

// The runtime's endpoint table, in channel order.
using Channel = qel_wire::Channel;
using ChannelInfo = qel_wire::Endpoint;
inline constexpr std::size_t kChannelCount = qel_wire::kChannelCount;
inline constexpr const auto& kChannels = qel_wire::kEndpoints;

const ChannelInfo& channelInfo(Channel c);

// Two-bit condition codes of an MC/DC condition string, slot i (0..15) of
// the 32-bit code word as the runtime lays them out.
using CondCode = qel_wire::CondCode;
inline constexpr int kMaxConditions = qel_wire::kConditionSlots;
inline CondCode slotCode(uint32_t codes, int slot) { return qel_wire::slot_code(codes, slot); }

inline bool evaluated(CondCode c) { return c == CondCode::True || c == CondCode::False; }

// The condition codes of a vector of up to 64 conditions (a decision
// measured by counters in the program); a 16-slot code word converts to it,
// its slots 16 to 63 unset.
inline constexpr int kMaxWideConditions = qel_wire::kMaxCounterConditions;
struct Codes : qel_wire::WideCodes {
  Codes() = default;
  Codes(uint32_t first) { word[0] = first; }  // NOLINT: a code word is a vector
  Codes(const qel_wire::WideCodes& w) : qel_wire::WideCodes(w) {}  // NOLINT
};
inline CondCode slotCode(const Codes& codes, int slot) { return qel_wire::wide_code(codes, slot); }

// One character per slot up to the last slot that is not unset:
// T true, F false, - skipped (short-circuited), . unset.
std::string codesText(uint32_t codes);
std::string codesText(const Codes& codes);
// The code word of such a text (slots beyond it unset); any other
// character reads as unset.
uint32_t codesFromText(const std::string& text);

struct NodeMsg {
  uint16_t unit = 0;  // 15 bits: the top bit is the record marker
  uint16_t node = 0;
  uint16_t value = 0;
  uint32_t count = 0;
  uint32_t seq = 0;
};

struct CondMsg {
  uint16_t unit = 0;
  uint16_t cond = 0;
  bool held = false;
  uint16_t group = 0;
  uint32_t count = 0;
  uint32_t seq = 0;
};

struct McdcMsg {
  uint16_t unit = 0;
  uint16_t decision = 0;  // 15 bits; bit 15 carries the outcome on the wire
  bool outcome = false;
  uint32_t codes = 0;  // wire bytes 4..7, byte 4 least significant
  uint16_t group = 0;
  uint32_t count = 0;
  uint32_t seq = 0;
  // A wide message (a decision of 17 to 64 conditions): its number of
  // conditions and the code words of slots 16 to 63; 0 for a 19-byte one.
  uint8_t conditions = 0;
  std::array<uint32_t, 3> more{{qel_wire::kAllUnset, qel_wire::kAllUnset, qel_wire::kAllUnset}};
};

// Every slot of an MC/DC message, wide or not.
Codes codesOf(const McdcMsg& m);

// A counted unit's announcement: its unit id and the identity of the map
// it was built with.
struct UnitMsg {
  uint16_t unit = 0;  // 15 bits
  uint64_t identity = 0;
  uint32_t seq = 0;
};

// The runtime's DATA_INDEX, and None for a message without a prefix.
enum class DataIndex : int8_t {
  None = -1,  // empty prefix: an index the runtime did not name
  CrashLastDD = ::CrashLastDD,
  Crash = ::Crash,
  CrashLastCond = ::CrashLastCond,
  CrashLastMCDC = ::CrashLastMCDC,
  MemoryLeak = ::MemoryLeak,
  // Empty prefix, told apart by their text (qelmq/protocol/texts.h).
  ProcessStart = ::ProcessStart,
  ProcessEnd = ::ProcessEnd,
  LoadedModule = ::LoadedModule,
  ProcessCommand = ::ProcessCommand,
  TestCaseWindow = ::TestCaseWindow,
};
static_assert(static_cast<int>(DataIndex::MemoryLeak) + 1 == qel_wire::kDataIndexCount,
              "every property prefix has its DataIndex");

const char* dataIndexName(DataIndex d);

struct LeakLine {
  enum class Kind : uint8_t { Header, Block, Nothing };
  Kind kind = Kind::Nothing;
  std::string stamp;  // Header only
  uint32_t size = 0;
  std::string file;
  std::string function;
  int32_t line = 0;
  int32_t pid = 0;
};

struct CrashText {
  std::string name;
  std::string testcase;
  std::string type;
  std::string cause;
};

// One entry of a CrashLast* data list. For node entries `third` is unused,
// for condition entries it is the outcome (204 held, 51 did not hold), for
// MC/DC entries `second` is the decision and `conds` the condition text.
struct LastTextEntry {
  uint32_t unit = 0;
  uint32_t second = 0;
  uint32_t third = 0;
  std::string conds;
};

struct CrashLastText {
  std::string name;
  std::string testcase;
  std::vector<LastTextEntry> entries;
};

struct PropertyMsg {
  DataIndex index = DataIndex::None;
  std::string text;
  // False when the text does not follow its index's format: the message
  // itself is well formed, so it is kept and shown as it came.
  bool understood = true;
  // Exactly one of these is meaningful, chosen by `index`.
  LeakLine leak;
  CrashText crash;
  CrashLastText last;
  qel_wire::ProcessStart start;
  qel_wire::ProcessEnd end;
  qel_wire::ProcessCommand command;
  qel_wire::TestCaseWindow window;
};

// A property text of the empty prefix that is a process announcement
// (start, end, command line, test-case window) becomes one (index, its
// field, understood); others are left alone.
void recogniseAnnouncement(PropertyMsg* p);

struct TestCaseEvent {
  enum class Kind : uint8_t { Created = 0, Started = 1, Stopped = 2 };
  Kind kind = Kind::Created;
  std::string arg;  // name for Created, the number text otherwise
};

const char* testCaseKindName(TestCaseEvent::Kind k);

struct ValueItem {
  std::string name;
  std::string tag;
  std::string value;
};

struct ValueRecord {
  std::string header;
  std::vector<ValueItem> items;
};

struct TimingMsg {
  int32_t a = 0;
  int32_t b = 0;
  int32_t c = 0;
};

// An entry of a binary last-data message. Only three bits of the unit's
// high byte travel in these entries.
struct LastDataEntry {
  uint16_t unit = 0;
  uint16_t id = 0;       // node, condition or decision (15 bits)
  uint16_t value = 0;    // node: node value; condition: outcome field
  uint16_t group = 0;    // condition: record group; MC/DC: sender group
  bool outcome = false;  // condition: held; MC/DC: outcome bit
  uint32_t codes = 0;    // MC/DC only
  uint32_t number = 0;
};

struct LastDataMsg {
  uint8_t kind = 0;  // 1 node, 2 condition, 3 MC/DC
  std::vector<LastDataEntry> entries;
};

// At most this many leading bytes of a malformed message are kept: enough
// to recognise what was sent, never a copy of a huge message.
inline constexpr std::size_t kMalformedPrefix = 64;

struct Malformed {
  std::string reason;
  std::vector<uint8_t> bytes;  // the first kMalformedPrefix bytes at most
  uint64_t size = 0;           // the whole message's size in bytes
};

// The whole message's size: never less than the bytes kept, so a value built
// without `size` still reports what it holds.
inline uint64_t wholeSize(const Malformed& m) {
  return m.size > m.bytes.size() ? m.size : static_cast<uint64_t>(m.bytes.size());
}

// A Malformed value for `len` bytes at `data`, keeping only their prefix.
Malformed malformed(std::string reason, const uint8_t* data, std::size_t len);

using Body = std::variant<NodeMsg, CondMsg, McdcMsg, PropertyMsg, TestCaseEvent, ValueRecord,
                          LastDataMsg, TimingMsg, UnitMsg, Malformed>;

struct Message {
  Message() = default;
  Message(Channel c, uint16_t p, Body b, std::string o = std::string())
      : channel(c), port(p), body(std::move(b)), origin(std::move(o)) {}

  Channel channel = Channel::Node;
  uint16_t port = 0;
  Body body;
  // The sending runtime instance, as its connection named it ("" when the
  // sender did not say): what tells apart the messages of processes that
  // share one collector.
  std::string origin;
  // The bytes as received, for a message decoded from text or a list (a
  // property, test-case event, value, timing or last-data message), so that
  // a saved run holds what came and not our reading of it. Empty for
  // counts, whose fields are the whole message, and for malformed ones.
  std::vector<uint8_t> wire{};
};

// Keeps in `m` the bytes it was decoded from when its kind needs them
// (Message::wire).
void keepWire(Message* m, const uint8_t* data, std::size_t len);

// `little`: the byte-order flag the sender packed with; every bootstrap sets
// it, so a collector reads that layout.
Body decode(Channel channel, const uint8_t* data, std::size_t len,
            bool little = qel_wire::kBootstrapLittleEndian);

// Channel-specific decoders, exposed for tests of the text formats.
LeakLine parseLeakLine(const std::string& text, bool* ok);
bool parseCrashText(const std::string& text, CrashText* out);
bool parseCrashLastText(DataIndex index, const std::string& text, CrashLastText* out);
bool parseValueText(const std::string& text, ValueRecord* out);

// "reason [N bytes: 81 02 ..]": at most kMalformedPrefix bytes shown.
std::string malformedText(const Malformed& m);

// "81 02 0a" style rendering, at most `limit` bytes followed by "..".
std::string hexBytes(const uint8_t* data, std::size_t len, std::size_t limit = 64);

}  // namespace qelc
