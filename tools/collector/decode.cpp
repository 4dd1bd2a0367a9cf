#include "decode.hpp"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "qelmq/protocol/messages.h"

namespace qelc {
namespace {

namespace wire = qel_wire;

Malformed bad(std::string reason, const uint8_t* data, std::size_t len) {
  return malformed(std::move(reason), data, len);
}

std::string lenReason(const char* what, std::size_t want, std::size_t got) {
  return std::string(what) + ": expected " + std::to_string(want) + " bytes, got " +
         std::to_string(got);
}

// Text channels end every message with one zero byte and never embed one.
bool terminatedText(const uint8_t* data, std::size_t len, std::string* out, std::string* why) {
  if (len == 0 || data[len - 1] != 0) {
    *why = "text without its terminating zero byte";
    return false;
  }
  if (std::memchr(data, 0, len - 1) != nullptr) {
    *why = "zero byte inside the text";
    return false;
  }
  out->assign(reinterpret_cast<const char*>(data), len - 1);
  return true;
}

bool parseUnsigned(std::string_view s, uint32_t* out) {
  if (s.empty() || s.size() > 10) return false;
  uint64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<uint64_t>(c - '0');
  }
  if (v > 0xFFFFFFFFull) return false;
  *out = static_cast<uint32_t>(v);
  return true;
}

bool parseSigned(std::string_view s, int32_t* out) {
  bool neg = false;
  if (!s.empty() && s.front() == '-') {
    neg = true;
    s.remove_prefix(1);
  }
  uint32_t mag = 0;
  if (!parseUnsigned(s, &mag)) return false;
  const int64_t v = neg ? -int64_t{mag} : int64_t{mag};
  if (v < INT32_MIN || v > INT32_MAX) return false;
  *out = static_cast<int32_t>(v);
  return true;
}

// Splits on every occurrence of `sep`, keeping empty fields. Gives up (and
// returns nothing) past `most` fields: a field list costs 16 bytes per
// separator, which a text of separators would turn into 16 times its size.
std::vector<std::string_view> splitAll(std::string_view s, char sep, std::size_t most) {
  std::vector<std::string_view> out;
  if (static_cast<std::size_t>(std::count(s.begin(), s.end(), sep)) >= most) return out;
  std::size_t start = 0;
  for (;;) {
    const std::size_t p = s.find(sep, start);
    if (p == std::string_view::npos) {
      out.push_back(s.substr(start));
      return out;
    }
    out.push_back(s.substr(start, p - start));
    start = p + 1;
  }
}

bool takeField(std::string_view line, std::string_view key, std::string* out) {
  if (line.substr(0, key.size()) != key) return false;
  out->assign(line.substr(key.size()));
  return true;
}

// Splits "name:///...\ntestcase:///...\n<k>:///...\n..." from the end: only
// the name may contain line feeds (the runtime escapes them everywhere
// else), so the last `tail` lines are unambiguous and the rest is the name.
bool splitReportLines(std::string_view text, std::size_t tail, std::string* name,
                      std::vector<std::string_view>* lines) {
  if (text.empty() || text.back() != '\n') return false;
  text.remove_suffix(1);
  lines->assign(tail, std::string_view{});
  for (std::size_t i = tail; i-- > 0;) {
    const std::size_t nl = text.rfind('\n');
    if (nl == std::string_view::npos) return false;
    (*lines)[i] = text.substr(nl + 1);
    text = text.substr(0, nl);
  }
  return takeField(text, wire::kNameKey, name);
}

constexpr char kItemStart = wire::kItemStart;
constexpr char kTagMark = wire::kItemTagMark;
// Either of the two, for find_first_of.
constexpr char kItemMarks[] = {kItemStart, kTagMark, '\0'};

// Length of the known tag that starts at `pos` and is closed by '#', or 0.
std::size_t knownTagAt(std::string_view t, std::size_t pos) {
  for (std::string_view k : wire::kValueTags) {
    if (t.compare(pos, k.size(), k) == 0 && pos + k.size() < t.size() &&
        t[pos + k.size()] == kTagMark)
      return k.size();
  }
  return 0;
}

// If an item "$name#TAG#" starts at `pos`, returns the index just past its
// second '#' and fills name and tag; otherwise npos. Requiring a known tag
// lets a '$' inside a text value pass as part of that value.
std::size_t itemHead(std::string_view t, std::size_t pos, std::string* name, std::string* tag) {
  if (pos >= t.size() || t[pos] != kItemStart) return std::string_view::npos;
  const std::size_t h1 = t.find_first_of(kItemMarks, pos + 1);
  if (h1 == std::string_view::npos || t[h1] != kTagMark) return std::string_view::npos;
  const std::size_t tagLen = knownTagAt(t, h1 + 1);
  if (tagLen == 0) return std::string_view::npos;
  name->assign(t.substr(pos + 1, h1 - pos - 1));
  tag->assign(t.substr(h1 + 1, tagLen));
  return h1 + 1 + tagLen + 1;
}

// Start of the first item head at or after `from`, or npos. A name never
// holds '$', so a candidate '$' is settled by the first '$' or '#' after
// it: every character is looked at a bounded number of times, and a text
// of '$' signs without '#' costs one pass, not one pass per sign.
std::size_t nextItem(std::string_view t, std::size_t from) {
  std::size_t p = t.find(kItemStart, from);
  while (p != std::string_view::npos) {
    const std::size_t q = t.find_first_of(kItemMarks, p + 1);
    if (q == std::string_view::npos) return std::string_view::npos;
    if (t[q] == kItemStart) {
      p = q;
    } else if (knownTagAt(t, q + 1) != 0) {
      return p;
    } else {
      p = t.find(kItemStart, q + 1);
    }
  }
  return std::string_view::npos;
}

// `little` is a template argument so that the byte order folds away.
// A counted unit's identity, the node channel's other message.
template <bool little>
Body decodeUnitIdentity(const uint8_t* d, std::size_t n) {
  const wire::UnitIdentityFields f = wire::read_unit_identity(d, little);
  if (!f.marked) return bad("unit identity message without its 'QU' mark", d, n);
  if (f.unit & 0x8000) return bad("unit identity message with a unit id above 32767", d, n);
  UnitMsg m;
  m.unit = f.unit;
  m.identity = f.identity;
  m.seq = f.seq;
  return m;
}

template <bool little>
Body decodeNode(const uint8_t* d, std::size_t n) {
  constexpr std::size_t kSize = sizeof(wire::CountedMessage);
  if (n == sizeof(wire::UnitIdentityMessage)) return decodeUnitIdentity<little>(d, n);
  if (n != kSize) return bad(lenReason("node message", kSize, n), d, n);
  const wire::CountedFields f = wire::read_counted(d, little);
  if ((f.record & wire::kRecordMark) == 0) return bad("node record without its marker bit", d, n);
  if (wire::unpack(f.record, wire::kNodeSpare, little) != 0)
    return bad("node record with non-zero bytes 6-7", d, n);
  if (!f.markers) return bad("node message without its '0'/'1' markers", d, n);
  NodeMsg m;
  m.unit = wire::unpack(f.record, wire::kNodeUnit, little);
  m.node = wire::unpack(f.record, wire::kNodeId, little);
  m.value = wire::unpack(f.record, wire::kNodeValue, little);
  m.count = f.count;
  m.seq = f.seq;
  return m;
}

// `little` is a template argument so that the byte order folds away.
template <bool little>
Body decodeCond(const uint8_t* d, std::size_t n) {
  constexpr std::size_t kSize = sizeof(wire::CountedMessage);
  if (n != kSize) return bad(lenReason("condition message", kSize, n), d, n);
  const wire::CountedFields f = wire::read_counted(d, little);
  if ((f.record & wire::kRecordMark) == 0)
    return bad("condition record without its marker bit", d, n);
  const uint16_t outcome = wire::unpack(f.record, wire::kCondOutcome, little);
  if (outcome != wire::kHeld && outcome != wire::kNotHeld)
    return bad("condition record with an outcome other than 0x00CC/0x0033", d, n);
  if (!f.markers) return bad("condition message without its '0'/'1' markers", d, n);
  CondMsg m;
  m.unit = wire::unpack(f.record, wire::kCondUnit, little);
  m.cond = wire::unpack(f.record, wire::kCondId, little);
  m.held = outcome == wire::kHeld;
  m.group = wire::unpack(f.record, wire::kCondGroup, little);
  m.count = f.count;
  m.seq = f.seq;
  return m;
}

// The fields both MC/DC layouts share: the record, its group, count and
// sequence number.
McdcMsg mcdcMessage(const wire::CountedFields& f) {
  const wire::McdcFields r = wire::mcdc_fields(f.record);
  McdcMsg m;
  m.unit = r.unit;
  m.outcome = r.outcome;
  m.decision = r.decision;
  m.codes = r.codes;
  m.group = f.group;
  m.count = f.count;
  m.seq = f.seq;
  return m;
}

// `little` is a template argument so that the byte order folds away.
// The MC/DC vector of a decision of 17 to 64 conditions.
template <bool little>
Body decodeWideMcdc(const uint8_t* d, std::size_t n) {
  const wire::WideMcdcFields w = wire::read_wide_mcdc(d, little);
  const wire::CountedFields& f = w.counted;
  if ((f.record & wire::kRecordMark) == 0) return bad("MC/DC record without its marker bit", d, n);
  if (!f.markers) return bad("MC/DC message without its '0' marker", d, n);
  if (w.version != wire::kWideMcdcVersion)
    return bad("wide MC/DC message of layout version " + std::to_string(w.version) +
                   " (this collector reads version " + std::to_string(wire::kWideMcdcVersion) + ")",
               d, n);
  if (w.conditions <= wire::kConditionSlots || w.conditions > wire::kMaxCounterConditions)
    return bad("wide MC/DC message with " + std::to_string(w.conditions) +
                   " conditions (17 to 64 expected)",
               d, n);
  McdcMsg m = mcdcMessage(f);
  m.conditions = w.conditions;
  for (int i = 0; i < 3; ++i) m.more[static_cast<std::size_t>(i)] = w.codes.word[i + 1];
  return m;
}

template <bool little>
Body decodeMcdc(const uint8_t* d, std::size_t n) {
  constexpr std::size_t kSize = sizeof(wire::McdcMessage);
  if (n == sizeof(wire::WideMcdcMessage)) return decodeWideMcdc<little>(d, n);
  if (n != kSize) return bad(lenReason("MC/DC message", kSize, n), d, n);
  const wire::CountedFields f = wire::read_mcdc(d, little);
  if ((f.record & wire::kRecordMark) == 0) return bad("MC/DC record without its marker bit", d, n);
  if (!f.markers) return bad("MC/DC message without its '0' marker", d, n);
  return mcdcMessage(f);
}

Body decodeProperty(const uint8_t* d, std::size_t n) {
  std::string text, why;
  if (!terminatedText(d, n, &text, &why)) return bad("property message: " + why, d, n);
  const std::string_view separator(wire::kFieldSeparator);
  const std::size_t sep = text.find(separator);
  if (sep == std::string::npos) return bad("property message without ':///'", d, n);
  const std::string_view prefix(text.data(), sep);
  PropertyMsg m;
  if (prefix.empty()) {
    m.index = DataIndex::None;
  } else {
    bool found = false;
    for (int i = 0; i < wire::kDataIndexCount && !found; ++i) {
      if (prefix == wire::kDataIndexPrefix[i]) {
        m.index = static_cast<DataIndex>(i);
        found = true;
      }
    }
    if (!found) {
      // The prefix is the sender's text: quote only its start in the reason.
      constexpr std::size_t kQuoted = 32;
      const std::string shown = prefix.size() <= kQuoted
                                    ? std::string(prefix)
                                    : std::string(prefix.substr(0, kQuoted)) + "..";
      return bad("property message with unknown prefix '" + shown + "'", d, n);
    }
  }
  m.text = text.substr(sep + separator.size());
  switch (m.index) {
    case DataIndex::MemoryLeak:
      m.leak = parseLeakLine(m.text, &m.understood);
      break;
    case DataIndex::Crash:
      m.understood = parseCrashText(m.text, &m.crash);
      break;
    case DataIndex::CrashLastDD:
    case DataIndex::CrashLastCond:
    case DataIndex::CrashLastMCDC:
      m.understood = parseCrashLastText(m.index, m.text, &m.last);
      break;
    case DataIndex::None:
    case DataIndex::LoadedModule:
    case DataIndex::ProcessStart:
    case DataIndex::ProcessEnd:
    case DataIndex::ProcessCommand:
    case DataIndex::TestCaseWindow:
      // The empty prefix: told apart by the text.
      m.understood = false;
      if (std::string path; wire::parse_module_text(m.text, &path)) {
        m.index = DataIndex::LoadedModule;
        m.text = std::move(path);
        m.understood = true;
      } else {
        recogniseAnnouncement(&m);
      }
      break;
  }
  return m;
}

Body decodeTestCase(const uint8_t* d, std::size_t n) {
  if (n < 2) return bad("test-case event shorter than 2 bytes", d, n);
  constexpr char kFirst = static_cast<char>(wire::TestCaseEvent::Created);
  constexpr char kLast = static_cast<char>(wire::TestCaseEvent::Stopped);
  if (d[0] < kFirst || d[0] > kLast || d[1] != wire::kEventSeparator)
    return bad("unknown test-case event", d, n);
  if (std::memchr(d, 0, n) != nullptr) return bad("test-case event with a zero byte", d, n);
  TestCaseEvent e;
  e.kind = static_cast<TestCaseEvent::Kind>(d[0] - kFirst);
  e.arg.assign(reinterpret_cast<const char*>(d + 2), n - 2);
  int32_t num = 0;
  if (e.kind != TestCaseEvent::Kind::Created && !parseSigned(e.arg, &num))
    return bad("test-case start/stop without a number", d, n);
  return e;
}

Body decodeValue(const uint8_t* d, std::size_t n) {
  std::string text, why;
  if (!terminatedText(d, n, &text, &why)) return bad("value text: " + why, d, n);
  ValueRecord r;
  if (!parseValueText(text, &r)) return bad("value text with an item lacking '$name#TAG#'", d, n);
  return r;
}

Body decodeTiming(const uint8_t* d, std::size_t n) {
  std::string text, why;
  if (!terminatedText(d, n, &text, &why)) return bad("timing text: " + why, d, n);
  static_assert(wire::kTimingFields == 3, "a TimingMsg holds three numbers");
  const auto f = splitAll(text, ' ', wire::kTimingFields);
  TimingMsg t;
  if (f.size() != wire::kTimingFields || !parseSigned(f[0], &t.a) || !parseSigned(f[1], &t.b) ||
      !parseSigned(f[2], &t.c))
    return bad("timing text is not three integers", d, n);
  return t;
}

// `little` is a template argument so that the byte order folds away.
template <bool little>
Body decodeLastData(const uint8_t* d, std::size_t n) {
  if (n == 0) return bad("empty last-data message", d, n);
  const uint8_t kind = d[0];
  const std::size_t size = wire::last_entry_size(kind);
  if (size == 0) return bad("last-data message of unknown kind " + std::to_string(kind), d, n);
  if (n < 1 + size || (n - 1) % size != 0)
    return bad("last-data message of kind " + std::to_string(kind) + " is not 1 + k*" +
                   std::to_string(size) + " bytes",
               d, n);
  LastDataMsg m;
  m.kind = kind;
  for (const uint8_t* e = d + 1; e < d + n; e += size) {
    const wire::LastEntryFields f =
        wire::read_last_entry(static_cast<wire::LastKind>(kind), e, little);
    LastDataEntry x;
    x.number = f.number;
    if (kind == wire::kLastMcdc) {
      const wire::McdcFields r = wire::mcdc_fields(f.record);
      x.unit = r.unit;
      x.id = r.decision;
      x.outcome = r.outcome;
      x.codes = r.codes;
      x.group = f.group;
    } else {
      static_assert(wire::kNodeUnit == wire::kCondUnit && wire::kNodeId == wire::kCondId &&
                        wire::kNodeValue == wire::kCondOutcome,
                    "node and condition records share the first three fields' places");
      x.unit = wire::unpack(f.record, wire::kNodeUnit, little);
      x.id = wire::unpack(f.record, wire::kNodeId, little);
      x.value = wire::unpack(f.record, wire::kNodeValue, little);
      if (kind == wire::kLastCond) {
        x.outcome = x.value == wire::kHeld;
        x.group = wire::unpack(f.record, wire::kCondGroup, little);
      }
    }
    m.entries.push_back(x);
  }
  return m;
}

}  // namespace

const ChannelInfo& channelInfo(Channel c) { return kChannels[static_cast<std::size_t>(c)]; }

std::string codesText(uint32_t codes) {
  int last = -1;
  for (int i = 0; i < kMaxConditions; ++i)
    if (slotCode(codes, i) != CondCode::Unset) last = i;
  std::string s;
  for (int i = 0; i <= last; ++i) s += "FT-."[static_cast<int>(slotCode(codes, i))];
  return s;
}

std::string codesText(const Codes& codes) {
  int last = -1;
  for (int i = 0; i < kMaxWideConditions; ++i)
    if (slotCode(codes, i) != CondCode::Unset) last = i;
  std::string s;
  for (int i = 0; i <= last; ++i) s += "FT-."[static_cast<int>(slotCode(codes, i))];
  return s;
}

Codes codesOf(const McdcMsg& m) {
  Codes c(m.codes);
  if (m.conditions > kMaxConditions)
    for (std::size_t i = 0; i < m.more.size(); ++i) c.word[i + 1] = m.more[i];
  return c;
}

uint32_t codesFromText(const std::string& text) {
  uint32_t codes = qel_wire::kAllUnset;
  for (std::size_t i = 0; i < text.size() && i < kMaxConditions; ++i) {
    const char c = text[i];
    const CondCode code = c == 'T'   ? CondCode::True
                          : c == 'F' ? CondCode::False
                          : c == '-' ? CondCode::Skipped
                                     : CondCode::Unset;
    codes = qel_wire::with_slot(codes, static_cast<int>(i), code);
  }
  return codes;
}

void recogniseAnnouncement(PropertyMsg* p) {
  if (p->index != DataIndex::None) return;
  if (wire::parse_process_start(p->text, &p->start)) {
    p->index = DataIndex::ProcessStart;
    p->understood = true;
  } else if (wire::parse_process_end(p->text, &p->end)) {
    p->index = DataIndex::ProcessEnd;
    p->understood = true;
  } else if (wire::parse_process_command(p->text, &p->command)) {
    p->index = DataIndex::ProcessCommand;
    p->understood = true;
  } else if (wire::parse_test_case_window(p->text, &p->window)) {
    p->index = DataIndex::TestCaseWindow;
    p->understood = true;
  }
}

const char* dataIndexName(DataIndex d) { return wire::property_prefix(static_cast<int>(d)); }

const char* testCaseKindName(TestCaseEvent::Kind k) {
  switch (k) {
    case TestCaseEvent::Kind::Created:
      return "created";
    case TestCaseEvent::Kind::Started:
      return "started";
    case TestCaseEvent::Kind::Stopped:
      return "stopped";
  }
  return "?";
}

LeakLine parseLeakLine(const std::string& text, bool* ok) {
  static constexpr std::string_view kHeaderTail = wire::kLeakHeaderTail;
  LeakLine l;
  *ok = false;
  const std::string_view t(text);
  if (t.size() > kHeaderTail.size() && t.substr(t.size() - kHeaderTail.size()) == kHeaderTail) {
    l.kind = LeakLine::Kind::Header;
    l.stamp.assign(t.substr(0, t.size() - kHeaderTail.size()));
    *ok = true;
    return l;
  }
  if (t == wire::kLeakNothing) {
    l.kind = LeakLine::Kind::Nothing;
    *ok = true;
    return l;
  }
  // "size file function line pid": file names may hold blanks, function
  // names do not, so the function is the last word before line and pid.
  const std::size_t s1 = t.find(' ');
  const std::size_t sPid = t.rfind(' ');
  if (s1 == std::string_view::npos || sPid == 0 || sPid <= s1) return l;
  const std::size_t sLine = t.rfind(' ', sPid - 1);
  if (sLine == std::string_view::npos || sLine <= s1) return l;
  const std::size_t sFn = t.rfind(' ', sLine - 1);
  if (sFn == std::string_view::npos || sFn <= s1) return l;
  l.kind = LeakLine::Kind::Block;
  if (!parseUnsigned(t.substr(0, s1), &l.size) ||
      !parseSigned(t.substr(sLine + 1, sPid - sLine - 1), &l.line) ||
      !parseSigned(t.substr(sPid + 1), &l.pid))
    return l;
  l.file.assign(t.substr(s1 + 1, sFn - s1 - 1));
  l.function.assign(t.substr(sFn + 1, sLine - sFn - 1));
  *ok = true;
  return l;
}

bool parseCrashText(const std::string& text, CrashText* out) {
  std::vector<std::string_view> lines;
  if (!splitReportLines(text, 3, &out->name, &lines)) return false;
  return takeField(lines[0], wire::kTestcaseKey, &out->testcase) &&
         takeField(lines[1], wire::kTypeKey, &out->type) &&
         takeField(lines[2], wire::kCauseKey, &out->cause);
}

bool parseCrashLastText(DataIndex index, const std::string& text, CrashLastText* out) {
  std::vector<std::string_view> lines;
  if (!splitReportLines(text, 2, &out->name, &lines)) return false;
  std::string data;
  if (!takeField(lines[0], wire::kTestcaseKey, &out->testcase) ||
      !takeField(lines[1], wire::kDataKey, &data))
    return false;
  out->entries.clear();
  if (data.empty()) return true;
  if (data.back() != wire::kEntryEnd) return false;
  data.pop_back();
  const std::size_t want = index == DataIndex::CrashLastDD     ? wire::kNodeEntryFields
                           : index == DataIndex::CrashLastCond ? wire::kCondEntryFields
                                                               : wire::kMcdcEntryFields;
  // The digits of the condition codes an MC/DC entry shows (unset shows none).
  constexpr char kCodeDigits[] = {'0' + static_cast<char>(CondCode::False),
                                  '0' + static_cast<char>(CondCode::True),
                                  '0' + static_cast<char>(CondCode::Skipped), '\0'};
  const std::string_view all(data);
  for (std::size_t start = 0;;) {
    const std::size_t semi = all.find(wire::kEntryEnd, start);
    const std::string_view entry =
        all.substr(start, semi == std::string_view::npos ? std::string_view::npos : semi - start);
    const auto f = splitAll(entry, ' ', want);
    if (f.size() != want) return false;
    LastTextEntry e;
    uint32_t dummy = 0;
    if (!parseUnsigned(f[0], &e.unit) || !parseUnsigned(f[1], &e.second)) return false;
    std::size_t tail = 2;
    if (index == DataIndex::CrashLastCond) {
      if (!parseUnsigned(f[2], &e.third)) return false;
      tail = 3;
    } else if (index == DataIndex::CrashLastMCDC) {
      if (!f[2].empty() || f[3].find_first_not_of(kCodeDigits) != std::string_view::npos)
        return false;
      e.conds.assign(f[3]);
      tail = 4;
    }
    for (std::size_t i = tail; i < f.size(); ++i)
      if (!parseUnsigned(f[i], &dummy)) return false;
    out->entries.push_back(std::move(e));
    if (semi == std::string_view::npos) return true;
    start = semi + 1;
  }
}

bool parseValueText(const std::string& text, ValueRecord* out) {
  const std::string_view t(text);
  out->items.clear();
  std::size_t p = nextItem(t, 0);
  if (p == std::string_view::npos) {
    // A record without items is only a header; a '$' then means garbage.
    if (t.find(kItemStart) != std::string_view::npos) return false;
    out->header = text;
    return true;
  }
  out->header.assign(t.substr(0, p));
  while (p != std::string_view::npos) {
    ValueItem item;
    const std::size_t v = itemHead(t, p, &item.name, &item.tag);
    const std::size_t next = nextItem(t, v);
    item.value.assign(
        t.substr(v, next == std::string_view::npos ? std::string_view::npos : next - v));
    out->items.push_back(std::move(item));
    p = next;
  }
  return true;
}

Malformed malformed(std::string reason, const uint8_t* data, std::size_t len) {
  Malformed m;
  m.reason = std::move(reason);
  m.bytes.assign(data, data + (len < kMalformedPrefix ? len : kMalformedPrefix));
  m.size = len;
  return m;
}

std::string hexBytes(const uint8_t* data, std::size_t len, std::size_t limit) {
  static const char* kHex = "0123456789abcdef";
  std::string s;
  const std::size_t n = len < limit ? len : limit;
  s.reserve(n * 3 + 3);
  for (std::size_t i = 0; i < n; ++i) {
    if (i) s += ' ';
    s += kHex[data[i] >> 4];
    s += kHex[data[i] & 15];
  }
  if (n < len) s += " ..";
  return s;
}

std::string malformedText(const Malformed& m) {
  const std::size_t shown = std::min(m.bytes.size(), kMalformedPrefix);
  const uint64_t size = wholeSize(m);
  return m.reason + " [" + std::to_string(size) +
         " bytes: " + hexBytes(m.bytes.data(), shown, shown) + (size > shown ? " ..]" : "]");
}

void keepWire(Message* m, const uint8_t* data, std::size_t len) {
  const bool fields =
      std::holds_alternative<NodeMsg>(m->body) || std::holds_alternative<CondMsg>(m->body) ||
      std::holds_alternative<McdcMsg>(m->body) || std::holds_alternative<UnitMsg>(m->body) ||
      std::holds_alternative<Malformed>(m->body);
  if (!fields) m->wire.assign(data, data + len);
}

Body decode(Channel channel, const uint8_t* data, std::size_t len, bool little) {
  switch (channel) {
    case Channel::Node:
      return little ? decodeNode<true>(data, len) : decodeNode<false>(data, len);
    case Channel::Cond:
      return little ? decodeCond<true>(data, len) : decodeCond<false>(data, len);
    case Channel::Mcdc:
      return little ? decodeMcdc<true>(data, len) : decodeMcdc<false>(data, len);
    case Channel::Property:
      return decodeProperty(data, len);
    case Channel::TestCase:
      return decodeTestCase(data, len);
    case Channel::Value:
      return decodeValue(data, len);
    case Channel::LastData:
      return little ? decodeLastData<true>(data, len) : decodeLastData<false>(data, len);
    case Channel::Timing:
      return decodeTiming(data, len);
  }
  return bad("unknown channel", data, len);
}

}  // namespace qelc
