#include "json.hpp"

#include <algorithm>
#include <cstdio>

namespace qelc {
namespace {

// Length of the valid UTF-8 sequence starting at s[i], 0 if there is none.
std::size_t utf8Len(const std::string& s, std::size_t i) {
  const auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char c = b(i);
  std::size_t n = 0;
  if (c >= 0xC2 && c <= 0xDF)
    n = 2;
  else if (c >= 0xE0 && c <= 0xEF)
    n = 3;
  else if (c >= 0xF0 && c <= 0xF4)
    n = 4;
  else
    return 0;
  if (i + n > s.size()) return 0;
  for (std::size_t k = 1; k < n; ++k)
    if ((b(i + k) & 0xC0) != 0x80) return 0;
  // Overlong forms, surrogates and code points above U+10FFFF.
  if (c == 0xE0 && b(i + 1) < 0xA0) return 0;
  if (c == 0xED && b(i + 1) >= 0xA0) return 0;
  if (c == 0xF0 && b(i + 1) < 0x90) return 0;
  if (c == 0xF4 && b(i + 1) >= 0x90) return 0;
  return n;
}

class Obj {
 public:
  Obj& raw(const char* key, const std::string& value) {
    s_ += first_ ? "{" : ",";
    first_ = false;
    s_ += '"';
    s_ += key;
    s_ += "\":";
    s_ += value;
    return *this;
  }
  Obj& str(const char* key, const std::string& v) { return raw(key, jsonString(v)); }
  Obj& num(const char* key, long long v) { return raw(key, std::to_string(v)); }
  Obj& boolean(const char* key, bool v) { return raw(key, v ? "true" : "false"); }
  std::string done() { return first_ ? "{}" : s_ + "}"; }

 private:
  std::string s_;
  bool first_ = true;
};

std::string array(const std::vector<std::string>& items) {
  std::string s = "[";
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i) s += ',';
    s += items[i];
  }
  return s + "]";
}

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

void addProperty(Obj& o, const PropertyMsg& p) {
  if (!p.understood) {
    o.str("kind", "property").str("index", dataIndexName(p.index)).str("text", p.text);
    return;
  }
  switch (p.index) {
    case DataIndex::MemoryLeak:
      // "entry" names the kind of leak-report line; "line" is the source line.
      o.str("kind", "leak").str("entry", leakKind(p.leak.kind));
      if (p.leak.kind == LeakLine::Kind::Header) o.str("stamp", p.leak.stamp);
      if (p.leak.kind == LeakLine::Kind::Block)
        o.num("size", p.leak.size)
            .str("file", p.leak.file)
            .str("function", p.leak.function)
            .num("line", p.leak.line)
            .num("pid", p.leak.pid);
      break;
    case DataIndex::Crash:
      o.str("kind", "crash")
          .str("name", p.crash.name)
          .str("testcase", p.crash.testcase)
          .str("type", p.crash.type)
          .str("cause", p.crash.cause);
      break;
    case DataIndex::CrashLastDD:
    case DataIndex::CrashLastCond:
    case DataIndex::CrashLastMCDC: {
      o.str("kind", "crash_last")
          .str("index", dataIndexName(p.index))
          .str("name", p.last.name)
          .str("testcase", p.last.testcase);
      std::vector<std::string> es;
      for (const auto& e : p.last.entries) {
        Obj x;
        x.num("unit", e.unit);
        if (p.index == DataIndex::CrashLastDD) x.num("node", e.second);
        if (p.index == DataIndex::CrashLastCond) x.num("cond", e.second).num("outcome", e.third);
        if (p.index == DataIndex::CrashLastMCDC) x.num("decision", e.second).str("conds", e.conds);
        es.push_back(x.done());
      }
      o.raw("entries", array(es));
      break;
    }
    case DataIndex::None:
      o.str("kind", "property").str("text", p.text);
      break;
  }
}

}  // namespace

std::string malformedText(const Malformed& m) {
  const std::size_t shown = std::min(m.bytes.size(), kMalformedPrefix);
  const uint64_t size = wholeSize(m);
  return m.reason + " [" + std::to_string(size) +
         " bytes: " + hexBytes(m.bytes.data(), shown, shown) + (size > shown ? " ..]" : "]");
}

std::string jsonString(const std::string& s) {
  std::string out = "\"";
  out.reserve(s.size() + 2);
  for (std::size_t i = 0; i < s.size();) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    if (c >= 0x80) {
      const std::size_t n = utf8Len(s, i);
      if (n) {
        out.append(s, i, n);
        i += n;
        continue;
      }
    }
    char buf[8];
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20 || c >= 0x7F) {
          std::snprintf(buf, sizeof buf, "\\u%04x", c);
          out += buf;
        } else {
          out += static_cast<char>(c);
        }
    }
    ++i;
  }
  out += '"';
  return out;
}

std::string toJson(const Message& m, double tMs) {
  Obj o;
  char t[32];
  std::snprintf(t, sizeof t, "%.3f", tMs);
  o.raw("t_ms", t).num("port", m.port).str("channel", channelInfo(m.channel).name);
  if (const auto* n = std::get_if<NodeMsg>(&m.body)) {
    o.str("kind", "node")
        .num("unit", n->unit)
        .num("node", n->node)
        .num("value", n->value)
        .num("count", n->count)
        .num("seq", n->seq);
  } else if (const auto* c = std::get_if<CondMsg>(&m.body)) {
    o.str("kind", "condition")
        .num("unit", c->unit)
        .num("cond", c->cond)
        .boolean("held", c->held)
        .num("group", c->group)
        .num("count", c->count)
        .num("seq", c->seq);
  } else if (const auto* d = std::get_if<McdcMsg>(&m.body)) {
    o.str("kind", "mcdc")
        .num("unit", d->unit)
        .num("decision", d->decision)
        .boolean("outcome", d->outcome)
        .str("vector", codesText(codesOf(*d)))
        .num("codes", d->codes);
    if (d->conditions > 0) {
      // A decision of 17 to 64 conditions: its width and slots 16 to 63.
      std::vector<std::string> more;
      for (uint32_t w : d->more) more.push_back(std::to_string(w));
      o.num("conditions", d->conditions).raw("more", array(more));
    }
    o.num("group", d->group).num("count", d->count).num("seq", d->seq);
  } else if (const auto* u = std::get_if<UnitMsg>(&m.body)) {
    char identity[32];
    std::snprintf(identity, sizeof identity, "fnv1a64:%016llx",
                  static_cast<unsigned long long>(u->identity));
    o.str("kind", "unit").num("unit", u->unit).str("identity", identity).num("seq", u->seq);
  } else if (const auto* p = std::get_if<PropertyMsg>(&m.body)) {
    addProperty(o, *p);
  } else if (const auto* e = std::get_if<TestCaseEvent>(&m.body)) {
    o.str("kind", "testcase").str("event", testCaseKindName(e->kind));
    if (e->kind == TestCaseEvent::Kind::Created)
      o.str("name", e->arg);
    else
      o.str("number", e->arg);
  } else if (const auto* v = std::get_if<ValueRecord>(&m.body)) {
    std::vector<std::string> items;
    for (const auto& it : v->items)
      items.push_back(Obj().str("name", it.name).str("tag", it.tag).str("value", it.value).done());
    o.str("kind", "value").str("header", v->header).raw("items", array(items));
  } else if (const auto* l = std::get_if<LastDataMsg>(&m.body)) {
    static const char* kKinds[4] = {"?", "node", "condition", "mcdc"};
    std::vector<std::string> es;
    for (const auto& e : l->entries) {
      Obj x;
      x.num("unit", e.unit);
      if (l->kind == 1) x.num("node", e.id).num("value", e.value);
      if (l->kind == 2) x.num("cond", e.id).boolean("held", e.outcome).num("group", e.group);
      if (l->kind == 3)
        x.num("decision", e.id)
            .boolean("outcome", e.outcome)
            .str("vector", codesText(e.codes))
            .num("codes", e.codes)
            .num("group", e.group);
      es.push_back(x.num("number", e.number).done());
    }
    o.str("kind", "lastdata")
        .str("type", kKinds[l->kind <= 3 ? l->kind : 0])
        .raw("entries", array(es));
  } else if (const auto* tm = std::get_if<TimingMsg>(&m.body)) {
    o.str("kind", "timing").num("a", tm->a).num("b", tm->b).num("c", tm->c);
  } else if (const auto* bad = std::get_if<Malformed>(&m.body)) {
    const std::size_t shown = std::min(bad->bytes.size(), kMalformedPrefix);
    o.str("kind", "malformed")
        .str("reason", bad->reason)
        .num("size", static_cast<long long>(wholeSize(*bad)))
        .str("bytes", hexBytes(bad->bytes.data(), shown, shown));
  }
  return o.done();
}

}  // namespace qelc
