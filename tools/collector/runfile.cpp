#include "runfile.hpp"

#include <limits>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "qeltools/json_io.hpp"

namespace qelc {
namespace {

using qeltools::Json;
using qeltools::jsonBytes;

const char* leakKind(LeakLine::Kind k) {
  switch (k) {
    case LeakLine::Kind::Header:
      return "header";
    case LeakLine::Kind::Block:
      return "block";
    case LeakLine::Kind::Nothing:
      return "nothing";
  }
  return "?";
}

// The kinds of LastDataMsg, by its `kind` number (1..3).
const char* const kLastKinds[4] = {"?", "node", "condition", "mcdc"};

void writeProperty(Json& o, const PropertyMsg& p) {
  if (!p.understood) {
    o["kind"] = "property";
    o["index"] = dataIndexName(p.index);
    o["text"] = jsonBytes(p.text);
    return;
  }
  switch (p.index) {
    case DataIndex::MemoryLeak:
      // "entry" names the kind of leak-report line; "line" is the source line.
      o["kind"] = "leak";
      o["entry"] = leakKind(p.leak.kind);
      if (p.leak.kind == LeakLine::Kind::Header) o["stamp"] = jsonBytes(p.leak.stamp);
      if (p.leak.kind == LeakLine::Kind::Block) {
        o["size"] = p.leak.size;
        o["file"] = jsonBytes(p.leak.file);
        o["function"] = jsonBytes(p.leak.function);
        o["line"] = p.leak.line;
        o["pid"] = p.leak.pid;
      }
      break;
    case DataIndex::Crash:
      o["kind"] = "crash";
      o["name"] = jsonBytes(p.crash.name);
      o["testcase"] = jsonBytes(p.crash.testcase);
      o["type"] = jsonBytes(p.crash.type);
      o["cause"] = jsonBytes(p.crash.cause);
      break;
    case DataIndex::CrashLastDD:
    case DataIndex::CrashLastCond:
    case DataIndex::CrashLastMCDC: {
      o["kind"] = "crash_last";
      o["index"] = dataIndexName(p.index);
      o["name"] = jsonBytes(p.last.name);
      o["testcase"] = jsonBytes(p.last.testcase);
      Json entries = Json::array();
      for (const auto& e : p.last.entries) {
        Json x;
        x["unit"] = e.unit;
        if (p.index == DataIndex::CrashLastDD) x["node"] = e.second;
        if (p.index == DataIndex::CrashLastCond) {
          x["cond"] = e.second;
          x["outcome"] = e.third;
        }
        if (p.index == DataIndex::CrashLastMCDC) {
          x["decision"] = e.second;
          x["conds"] = jsonBytes(e.conds);
        }
        entries.push_back(std::move(x));
      }
      o["entries"] = std::move(entries);
      break;
    }
    case DataIndex::LoadedModule:
      o["kind"] = "module";
      o["path"] = jsonBytes(p.text);
      break;
    // Announcements are kept as the text that came, which any reader of
    // saved runs takes (an older one as a property text it does not know).
    case DataIndex::None:
    case DataIndex::ProcessStart:
    case DataIndex::ProcessEnd:
    case DataIndex::ProcessCommand:
    case DataIndex::TestCaseWindow:
      o["kind"] = "property";
      o["text"] = jsonBytes(p.text);
      break;
  }
}

Json lastDataEntries(const LastDataMsg& l) {
  Json entries = Json::array();
  for (const auto& e : l.entries) {
    Json x;
    x["unit"] = e.unit;
    if (l.kind == 1) {
      x["node"] = e.id;
      x["value"] = e.value;
    }
    if (l.kind == 2) {
      x["cond"] = e.id;
      x["held"] = e.outcome;
      x["group"] = e.group;
    }
    if (l.kind == 3) {
      x["decision"] = e.id;
      x["outcome"] = e.outcome;
      x["vector"] = codesText(e.codes);
      x["codes"] = e.codes;
      x["group"] = e.group;
    }
    x["number"] = e.number;
    entries.push_back(std::move(x));
  }
  return entries;
}

// Field access for one object of a line: a missing field reads as 0 or "",
// a field of the wrong type or out of range fails the line. Every Fields of
// one line notes into the same error, the first problem naming it.
class Fields {
 public:
  Fields(const Json& v, std::string* error) : v_(v), error_(error) {}
  uint16_t u16(const char* k) { return static_cast<uint16_t>(unsignedField(k, 0xFFFF)); }
  uint32_t u32(const char* k) { return static_cast<uint32_t>(unsignedField(k, 0xFFFFFFFF)); }
  uint64_t u64(const char* k) { return unsignedField(k, UINT64_MAX); }
  int32_t i32(const char* k) {
    int64_t x = 0;
    std::string why;
    note(qeltools::readSigned(v_, k, INT32_MIN, INT32_MAX, &x, &why), why);
    return static_cast<int32_t>(x);
  }
  bool flag(const char* k) {
    bool b = false;
    std::string why;
    note(qeltools::readBool(v_, k, &b, &why), why);
    return b;
  }
  std::string text(const char* k) {
    std::string s, why;
    note(qeltools::readBytes(v_, k, &s, &why), why);
    return s;
  }
  bool has(const char* k) const { return v_.contains(k) && !v_[k].is_null(); }
  const Json& list(const char* k) {
    static const Json kEmpty = Json::array();
    if (!has(k)) return kEmpty;
    if (v_[k].is_array()) return v_[k];
    note(false, std::string("\"") + k + "\" must be an array");
    return kEmpty;
  }

 private:
  uint64_t unsignedField(const char* k, uint64_t max) {
    uint64_t x = 0;
    std::string why;
    note(qeltools::readUnsigned(v_, k, max, &x, &why), why);
    return x;
  }
  void note(bool fine, const std::string& why) {
    if (!fine && error_->empty()) *error_ = "field of the wrong type: " + why;
  }

  const Json& v_;
  std::string* error_;
};

DataIndex indexByName(const std::string& n) {
  for (int i = 0; i < qel_wire::kDataIndexCount; ++i)
    if (n == dataIndexName(static_cast<DataIndex>(i))) return static_cast<DataIndex>(i);
  return DataIndex::None;
}

// False for a kind that is no property kind.
bool readProperty(Fields& f, const std::string& kind, PropertyMsg* p, std::string* error) {
  if (kind == "property") {
    p->understood = false;
    p->index = indexByName(f.text("index"));
    p->text = f.text("text");
    recogniseAnnouncement(p);
  } else if (kind == "leak") {
    p->index = DataIndex::MemoryLeak;
    const std::string e = f.text("entry");
    p->leak.kind = e == "header"  ? LeakLine::Kind::Header
                   : e == "block" ? LeakLine::Kind::Block
                                  : LeakLine::Kind::Nothing;
    p->leak.stamp = f.text("stamp");
    p->leak.size = f.u32("size");
    p->leak.file = f.text("file");
    p->leak.function = f.text("function");
    p->leak.line = f.i32("line");
    p->leak.pid = f.i32("pid");
  } else if (kind == "module") {
    p->index = DataIndex::LoadedModule;
    p->text = f.text("path");
    p->understood = !p->text.empty();
  } else if (kind == "crash") {
    p->index = DataIndex::Crash;
    p->crash = CrashText{f.text("name"), f.text("testcase"), f.text("type"), f.text("cause")};
  } else if (kind == "crash_last") {
    p->index = indexByName(f.text("index"));
    p->last.name = f.text("name");
    p->last.testcase = f.text("testcase");
    for (const auto& entry : f.list("entries")) {
      Fields e(entry, error);
      LastTextEntry x;
      x.unit = e.u32("unit");
      if (p->index == DataIndex::CrashLastDD) x.second = e.u32("node");
      if (p->index == DataIndex::CrashLastCond) {
        x.second = e.u32("cond");
        x.third = e.u32("outcome");
      }
      if (p->index == DataIndex::CrashLastMCDC) {
        x.second = e.u32("decision");
        x.conds = e.text("conds");
      }
      p->last.entries.push_back(std::move(x));
    }
  } else {
    return false;
  }
  return true;
}

std::vector<uint8_t> unhex(const std::string& s) {
  const auto digit = [](char c) -> int {
    return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
  };
  std::vector<uint8_t> b;
  for (std::size_t i = 0; i + 1 < s.size() && b.size() < kMalformedPrefix; i += 3) {
    const int hi = digit(s[i]), lo = digit(s[i + 1]);
    if (hi < 0 || lo < 0) break;
    b.push_back(static_cast<uint8_t>(hi << 4 | lo));
  }
  return b;
}

// Counts are nearly every line of a run file, and always written in the
// one layout toJson gives them; reading that layout by hand is several
// times faster than building a JSON document per line. Anything else (other
// spacing, another key order, a number out of range, an escape) is left to
// fromJson, so both readings of a line agree.
class CountLine {
 public:
  explicit CountLine(const std::string& s) : p_(s.data()), end_(s.data() + s.size()) {}
  bool lit(const char* text) {
    const std::size_t n = std::strlen(text);
    if (static_cast<std::size_t>(end_ - p_) < n || std::memcmp(p_, text, n) != 0) return false;
    p_ += n;
    return true;
  }
  bool number(uint64_t max, uint64_t* out) {
    uint64_t v = 0;
    const char* start = p_;
    while (p_ < end_ && *p_ >= '0' && *p_ <= '9' && p_ - start < 11)
      v = v * 10 + static_cast<uint64_t>(*p_++ - '0');
    if (p_ == start || v > max || (p_ - start > 1 && *start == '0')) return false;
    *out = v;
    return true;
  }
  template <typename T>
  bool field(const char* key, T* out) {
    uint64_t v = 0;
    if (!lit(key) || !number(std::numeric_limits<T>::max(), &v)) return false;
    *out = static_cast<T>(v);
    return true;
  }
  bool flag(const char* key, bool* out) {
    if (!lit(key)) return false;
    if (lit("true")) return *out = true, true;
    return lit("false") && !(*out = false);
  }
  // The time: a plain decimal, not kept.
  bool time() {
    const char* start = p_;
    while (p_ < end_ && ((*p_ >= '0' && *p_ <= '9') || *p_ == '.')) ++p_;
    return p_ != start;
  }
  // The vector's letters, which repeat what the codes say.
  bool letters() {
    if (!lit("\"")) return false;
    while (p_ < end_ && (*p_ == 'T' || *p_ == 'F' || *p_ == '-')) ++p_;
    return lit("\"");
  }
  // The sending instance's name, when it is a runtime's ("<pid>/<hex>"):
  // anything else (an escape, another sender's name) is left to fromJson.
  bool origin(std::string* out) {
    if (!lit(",\"origin\":\"")) return true;
    const char* start = p_;
    while (p_ < end_ && ((*p_ >= '0' && *p_ <= '9') || (*p_ >= 'a' && *p_ <= 'f') || *p_ == '/'))
      ++p_;
    out->assign(start, p_);
    return lit("\"");
  }
  bool done() const { return p_ == end_; }

 private:
  const char* p_;
  const char* end_;
};

bool readCountLine(const std::string& line, Message* out) {
  CountLine r(line);
  uint16_t port = 0;
  if (!r.lit("{\"t_ms\":") || !r.time() || !r.field(",\"port\":", &port)) return false;
  if (r.lit(",\"channel\":\"node\",\"kind\":\"node\"")) {
    NodeMsg n;
    if (!r.field(",\"unit\":", &n.unit) || !r.field(",\"node\":", &n.node) ||
        !r.field(",\"value\":", &n.value) || !r.field(",\"count\":", &n.count) ||
        !r.field(",\"seq\":", &n.seq) || !r.origin(&out->origin) || !r.lit("}") || !r.done())
      return false;
    out->channel = Channel::Node;
    out->body = n;
  } else if (r.lit(",\"channel\":\"condition\",\"kind\":\"condition\"")) {
    CondMsg c;
    if (!r.field(",\"unit\":", &c.unit) || !r.field(",\"cond\":", &c.cond) ||
        !r.flag(",\"held\":", &c.held) || !r.field(",\"group\":", &c.group) ||
        !r.field(",\"count\":", &c.count) || !r.field(",\"seq\":", &c.seq) ||
        !r.origin(&out->origin) || !r.lit("}") || !r.done())
      return false;
    out->channel = Channel::Cond;
    out->body = c;
  } else if (r.lit(",\"channel\":\"mcdc\",\"kind\":\"mcdc\"")) {
    McdcMsg d{};
    if (!r.field(",\"unit\":", &d.unit) || !r.field(",\"decision\":", &d.decision) ||
        !r.flag(",\"outcome\":", &d.outcome) || !r.lit(",\"vector\":") || !r.letters() ||
        !r.field(",\"codes\":", &d.codes) || !r.field(",\"group\":", &d.group) ||
        !r.field(",\"count\":", &d.count) || !r.field(",\"seq\":", &d.seq) ||
        !r.origin(&out->origin) || !r.lit("}") || !r.done())
      return false;
    out->channel = Channel::Mcdc;
    out->body = d;
  } else {
    return false;
  }
  out->port = port;
  return true;
}

}  // namespace

std::string toJson(const Message& m, double tMs) {
  Json o = qeltools::jsonObject(12);
  o["t_ms"] = std::round(tMs * 1000.0) / 1000.0;
  o["port"] = m.port;
  o["channel"] = channelInfo(m.channel).name;
  if (const auto* n = std::get_if<NodeMsg>(&m.body)) {
    o["kind"] = "node";
    o["unit"] = n->unit;
    o["node"] = n->node;
    o["value"] = n->value;
    o["count"] = n->count;
    o["seq"] = n->seq;
  } else if (const auto* c = std::get_if<CondMsg>(&m.body)) {
    o["kind"] = "condition";
    o["unit"] = c->unit;
    o["cond"] = c->cond;
    o["held"] = c->held;
    o["group"] = c->group;
    o["count"] = c->count;
    o["seq"] = c->seq;
  } else if (const auto* d = std::get_if<McdcMsg>(&m.body)) {
    o["kind"] = "mcdc";
    o["unit"] = d->unit;
    o["decision"] = d->decision;
    o["outcome"] = d->outcome;
    o["vector"] = codesText(codesOf(*d));
    o["codes"] = d->codes;
    if (d->conditions > 0) {
      // A decision of 17 to 64 conditions: its width and slots 16 to 63.
      o["conditions"] = d->conditions;
      o["more"] = Json::array({d->more[0], d->more[1], d->more[2]});
    }
    o["group"] = d->group;
    o["count"] = d->count;
    o["seq"] = d->seq;
  } else if (const auto* u = std::get_if<UnitMsg>(&m.body)) {
    char identity[32];
    std::snprintf(identity, sizeof identity, "fnv1a64:%016llx",
                  static_cast<unsigned long long>(u->identity));
    o["kind"] = "unit";
    o["unit"] = u->unit;
    o["identity"] = identity;
    o["seq"] = u->seq;
  } else if (const auto* p = std::get_if<PropertyMsg>(&m.body)) {
    writeProperty(o, *p);
  } else if (const auto* e = std::get_if<TestCaseEvent>(&m.body)) {
    o["kind"] = "testcase";
    o["event"] = testCaseKindName(e->kind);
    o[e->kind == TestCaseEvent::Kind::Created ? "name" : "number"] = jsonBytes(e->arg);
  } else if (const auto* v = std::get_if<ValueRecord>(&m.body)) {
    o["kind"] = "value";
    o["header"] = jsonBytes(v->header);
    Json items = Json::array();
    for (const auto& it : v->items) {
      Json item;
      item["name"] = jsonBytes(it.name);
      item["tag"] = jsonBytes(it.tag);
      item["value"] = jsonBytes(it.value);
      items.push_back(std::move(item));
    }
    o["items"] = std::move(items);
  } else if (const auto* l = std::get_if<LastDataMsg>(&m.body)) {
    o["kind"] = "lastdata";
    o["type"] = kLastKinds[l->kind <= 3 ? l->kind : 0];
    o["entries"] = lastDataEntries(*l);
  } else if (const auto* tm = std::get_if<TimingMsg>(&m.body)) {
    o["kind"] = "timing";
    o["a"] = tm->a;
    o["b"] = tm->b;
    o["c"] = tm->c;
  } else if (const auto* bad = std::get_if<Malformed>(&m.body)) {
    const std::size_t shown = std::min(bad->bytes.size(), kMalformedPrefix);
    o["kind"] = "malformed";
    o["reason"] = jsonBytes(bad->reason);
    o["size"] = wholeSize(*bad);
    o["bytes"] = hexBytes(bad->bytes.data(), shown, shown);
  }
  // Last, so that a count line keeps its fast reading (readCountLine).
  if (!m.origin.empty()) o["origin"] = jsonBytes(m.origin);
  return qeltools::dumpJson(o);
}

bool fromJson(const std::string& line, Message* out, std::string* error) {
  Json v;
  std::string perr;
  if (!qeltools::parseJson(line, &v, &perr, qeltools::ByteEscapes::AreBytes) || !v.is_object()) {
    *error = "not a JSON object" + (perr.empty() ? "" : ": " + perr);
    return false;
  }
  error->clear();
  Fields f(v, error);
  const std::string channel = f.text("channel");
  bool known = false;
  for (const auto& c : kChannels)
    if (channel == c.name) {
      out->channel = c.channel;
      known = true;
    }
  if (!known && error->empty()) *error = "unknown channel \"" + channel + "\"";
  if (!error->empty()) return false;
  out->port = f.u16("port");
  if (f.has("origin")) out->origin = f.text("origin");
  const std::string kind = f.text("kind");
  if (kind == "node") {
    out->body = NodeMsg{f.u16("unit"), f.u16("node"), f.u16("value"), f.u32("count"), f.u32("seq")};
  } else if (kind == "condition") {
    out->body = CondMsg{f.u16("unit"),  f.u16("cond"),  f.flag("held"),
                        f.u16("group"), f.u32("count"), f.u32("seq")};
  } else if (kind == "mcdc") {
    McdcMsg d{f.u16("unit"),  f.u16("decision"), f.flag("outcome"), f.u32("codes"),
              f.u16("group"), f.u32("count"),    f.u32("seq")};
    if (f.has("conditions")) {
      const uint32_t n = f.u32("conditions");
      const Json& more = f.list("more");
      if (n <= 16 || n > 64 || more.size() != d.more.size()) {
        if (error->empty()) *error = "wide MC/DC message without its width and three code words";
      } else {
        d.conditions = static_cast<uint8_t>(n);
        for (std::size_t i = 0; i < d.more.size(); ++i) {
          const Json word = Json::object({{"w", more[i]}});
          Fields w(word, error);
          d.more[i] = w.u32("w");
        }
      }
    }
    out->body = d;
  } else if (kind == "unit") {
    UnitMsg u;
    u.unit = f.u16("unit");
    u.seq = f.u32("seq");
    const std::string id = f.text("identity");
    const std::string prefix = "fnv1a64:";
    char* end = nullptr;
    const bool form = id.size() == prefix.size() + 16 && id.compare(0, prefix.size(), prefix) == 0;
    if (form) u.identity = std::strtoull(id.c_str() + prefix.size(), &end, 16);
    if ((!form || !end || *end != '\0') && error->empty())
      *error = "unit identity not written as fnv1a64: and 16 hexadecimal digits";
    out->body = u;
  } else if (kind == "testcase") {
    const std::string e = f.text("event");
    TestCaseEvent t;
    t.kind = e == "created"   ? TestCaseEvent::Kind::Created
             : e == "started" ? TestCaseEvent::Kind::Started
                              : TestCaseEvent::Kind::Stopped;
    t.arg = f.text(t.kind == TestCaseEvent::Kind::Created ? "name" : "number");
    out->body = t;
  } else if (kind == "value") {
    ValueRecord r;
    r.header = f.text("header");
    for (const auto& item : f.list("items")) {
      Fields it(item, error);
      r.items.push_back(ValueItem{it.text("name"), it.text("tag"), it.text("value")});
    }
    out->body = std::move(r);
  } else if (kind == "timing") {
    out->body = TimingMsg{f.i32("a"), f.i32("b"), f.i32("c")};
  } else if (kind == "lastdata") {
    LastDataMsg l;
    const std::string type = f.text("type");
    for (uint8_t k = 1; k <= 3; ++k)
      if (type == kLastKinds[k]) l.kind = k;
    for (const auto& entry : f.list("entries")) {
      Fields e(entry, error);
      LastDataEntry x;
      x.unit = e.u16("unit");
      x.id = e.u16(l.kind == 1 ? "node" : l.kind == 2 ? "cond" : "decision");
      x.value = e.u16("value");
      x.group = e.u16("group");
      x.outcome = e.flag(l.kind == 2 ? "held" : "outcome");
      x.codes = e.u32("codes");
      x.number = e.u32("number");
      l.entries.push_back(x);
    }
    out->body = std::move(l);
  } else if (kind == "malformed") {
    Malformed m;
    m.reason = f.text("reason");
    m.bytes = unhex(f.text("bytes"));
    m.size = f.has("size") ? f.u64("size") : m.bytes.size();
    out->body = std::move(m);
  } else {
    PropertyMsg p;
    if (!readProperty(f, kind, &p, error)) {
      if (error->empty()) *error = "unknown kind \"" + kind + "\"";
      return false;
    }
    out->body = std::move(p);
  }
  return error->empty();
}

RunFormat runFormatForName(const std::string& path) {
  static const std::string kSuffix = ".qelrun";
  const bool binary = path.size() >= kSuffix.size() &&
                      path.compare(path.size() - kSuffix.size(), kSuffix.size(), kSuffix) == 0;
  return binary ? RunFormat::Binary : RunFormat::Jsonl;
}

bool runFormatByName(const std::string& name, RunFormat* out) {
  if (name == "binary") return *out = RunFormat::Binary, true;
  if (name == "jsonl") return *out = RunFormat::Jsonl, true;
  return false;
}

bool RunFileWriter::open(const std::string& path, RunFormat format, std::string* error) {
  format_ = format;
  out_.open(path, format == RunFormat::Binary ? std::ios::out | std::ios::trunc | std::ios::binary
                                              : std::ios::out | std::ios::trunc);
  if (!out_) {
    *error = "cannot write " + path + ": " + std::strerror(errno);
    return false;
  }
  binary_ = BinaryRunEncoder();
  buffer_.clear();
  if (format == RunFormat::Binary) buffer_ = BinaryRunEncoder::header();
  return true;
}

void RunFileWriter::spill() {
  out_.write(buffer_.data(), static_cast<std::streamsize>(buffer_.size()));
  buffer_.clear();
}

void RunFileWriter::write(const Message& m, double tMs) {
  if (format_ == RunFormat::Binary) {
    binary_.add(m, tMs, &buffer_);
  } else {
    buffer_ += toJson(m, tMs);
    buffer_ += '\n';
  }
  // A run of a million messages is written in pieces, never held whole.
  if (buffer_.size() >= (std::size_t{1} << 16)) spill();
}

bool RunFileWriter::close() {
  if (!out_.is_open()) return true;
  spill();
  out_.flush();
  const bool fine = static_cast<bool>(out_);
  out_.close();
  return fine;
}

namespace {

// The time a JSON line gives, 0 when it gives none where toJson puts it.
double lineTime(const std::string& line) {
  static const char kStart[] = "{\"t_ms\":";
  if (line.compare(0, sizeof kStart - 1, kStart) != 0) return 0;
  const double t = std::strtod(line.c_str() + sizeof kStart - 1, nullptr);
  return std::isfinite(t) ? t : 0;
}

bool readJsonLines(const std::string& file, const std::function<void(Message&&, double)>& sink,
                   std::string* error) {
  std::ifstream in(file);
  if (!in) {
    *error = "cannot read " + file + ": " + std::strerror(errno);
    return false;
  }
  std::string line, why;
  for (long n = 1; std::getline(in, line); ++n) {
    if (line.empty()) continue;
    Message m;
    if (!readCountLine(line, &m) && !fromJson(line, &m, &why)) {
      *error = file + ":" + std::to_string(n) + ": " + why;
      return false;
    }
    sink(std::move(m), lineTime(line));
  }
  if (in.bad()) {
    *error = "cannot read " + file + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

}  // namespace

bool readRunFile(const std::string& file, const std::function<void(Message&&, double)>& sink,
                 std::string* error) {
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    *error = "cannot read " + file + ": " + std::strerror(errno);
    return false;
  }
  char start[kBinaryRunMagic.size()] = {};
  in.read(start, sizeof start);
  if (!isBinaryRun(reinterpret_cast<const uint8_t*>(start),
                   static_cast<std::size_t>(in.gcount()))) {
    in.close();
    return readJsonLines(file, sink, error);
  }
  // Binary runs are compact: read whole, then decoded without a copy.
  in.seekg(0, std::ios::end);
  const std::streamoff size = in.tellg();
  in.seekg(0, std::ios::beg);
  std::string data(size > 0 ? static_cast<std::size_t>(size) : 0, '\0');
  in.read(data.data(), static_cast<std::streamsize>(data.size()));
  if (!in || size < 0) {
    *error = "cannot read " + file + ": " + std::strerror(errno);
    return false;
  }
  std::string why;
  if (!readBinaryRun(reinterpret_cast<const uint8_t*>(data.data()), data.size(), sink, &why)) {
    *error = file + ": " + why;
    return false;
  }
  return true;
}

bool readRunFiles(const std::vector<std::string>& files, const std::function<void(Message&&)>& sink,
                  std::string* error) {
  for (const auto& f : files)
    if (!readRunFile(
            f, [&](Message&& m, double) { sink(std::move(m)); }, error))
      return false;
  return true;
}

}  // namespace qelc
