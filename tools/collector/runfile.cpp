// Reading --out lines back into the messages they were written from, so a
// saved run reports exactly as the live one did.
#include <json/json.h>

#include <cstdlib>
#include <cstring>
#include <memory>

#include "json.hpp"

namespace qelc {
namespace {

// toJson writes a byte that is not part of valid UTF-8 as \u0080..\u00ff,
// which a JSON parser turns into the character U+0080..U+00FF, no longer
// told apart from the same character written as UTF-8. Such escapes are
// moved to U+10FF80..U+10FFFF (private use, never produced by a probe) for
// parsing, and turned back into single bytes by text().
std::string protectRawBytes(const std::string& line) {
  std::string o;
  o.reserve(line.size());
  for (std::size_t i = 0; i < line.size(); ++i) {
    if (line[i] != '\\' || i + 1 >= line.size()) {
      o += line[i];
      continue;
    }
    if (line[i + 1] == 'u' && i + 5 < line.size() && line.compare(i + 2, 2, "00") == 0 &&
        std::isxdigit(static_cast<unsigned char>(line[i + 4])) &&
        std::isxdigit(static_cast<unsigned char>(line[i + 5])) &&
        std::strchr("89abcdefABCDEF", line[i + 4])) {
      o += "\\uDBFF\\uDF";
      o.append(line, i + 4, 2);
      i += 5;
      continue;
    }
    o.append(line, i, 2);
    ++i;
  }
  return o;
}

std::string text(const Json::Value& v, const char* k) {
  const std::string s = v[k].asString();
  std::string o;
  o.reserve(s.size());
  for (std::size_t i = 0; i < s.size(); ++i) {
    const auto b = [&](std::size_t j) { return static_cast<unsigned char>(s[j]); };
    if (b(i) == 0xF4 && i + 3 < s.size() && b(i + 1) == 0x8F && (b(i + 2) & 0xFE) == 0xBE) {
      o += static_cast<char>(0x80 | (b(i + 2) & 1) << 6 | (b(i + 3) & 0x3F));
      i += 3;
    } else {
      o += s[i];
    }
  }
  return o;
}

uint32_t u32(const Json::Value& v, const char* k) { return v[k].asUInt(); }
uint16_t u16(const Json::Value& v, const char* k) { return static_cast<uint16_t>(v[k].asUInt()); }

uint8_t hexDigit(char c) {
  return static_cast<uint8_t>(c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10);
}

std::vector<uint8_t> unhex(const std::string& s) {
  std::vector<uint8_t> b;
  for (std::size_t i = 0; i + 1 < s.size(); i += 3) {
    if (!std::isxdigit(static_cast<unsigned char>(s[i])) ||
        !std::isxdigit(static_cast<unsigned char>(s[i + 1])))
      break;
    b.push_back(static_cast<uint8_t>(hexDigit(s[i]) << 4 | hexDigit(s[i + 1])));
  }
  return b;
}

DataIndex indexByName(const std::string& n) {
  for (int i = 0; i <= 4; ++i)
    if (n == dataIndexName(static_cast<DataIndex>(i))) return static_cast<DataIndex>(i);
  return DataIndex::None;
}

bool property(const Json::Value& v, const std::string& kind, PropertyMsg* p) {
  if (kind == "property") {
    p->understood = false;
    p->index = indexByName(text(v, "index"));
    p->text = text(v, "text");
  } else if (kind == "leak") {
    p->index = DataIndex::MemoryLeak;
    const std::string e = text(v, "entry");
    p->leak.kind = e == "header"  ? LeakLine::Kind::Header
                   : e == "block" ? LeakLine::Kind::Block
                                  : LeakLine::Kind::Nothing;
    p->leak.stamp = text(v, "stamp");
    p->leak.size = u32(v, "size");
    p->leak.file = text(v, "file");
    p->leak.function = text(v, "function");
    p->leak.line = v["line"].asInt();
    p->leak.pid = v["pid"].asInt();
  } else if (kind == "crash") {
    p->index = DataIndex::Crash;
    p->crash = CrashText{text(v, "name"), text(v, "testcase"), text(v, "type"), text(v, "cause")};
  } else if (kind == "crash_last") {
    p->index = indexByName(text(v, "index"));
    p->last.name = text(v, "name");
    p->last.testcase = text(v, "testcase");
    for (const auto& e : v["entries"]) {
      LastTextEntry x;
      x.unit = u32(e, "unit");
      if (p->index == DataIndex::CrashLastDD) x.second = u32(e, "node");
      if (p->index == DataIndex::CrashLastCond) {
        x.second = u32(e, "cond");
        x.third = u32(e, "outcome");
      }
      if (p->index == DataIndex::CrashLastMCDC) {
        x.second = u32(e, "decision");
        x.conds = text(e, "conds");
      }
      p->last.entries.push_back(std::move(x));
    }
  } else {
    return false;
  }
  return true;
}

}  // namespace

bool fromJson(const std::string& line, Message* out, std::string* error) {
  Json::CharReaderBuilder b;
  const std::unique_ptr<Json::CharReader> parser(b.newCharReader());
  Json::Value v;
  std::string perr;
  const std::string safe = protectRawBytes(line);
  if (!parser->parse(safe.data(), safe.data() + safe.size(), &v, &perr) || !v.isObject()) {
    *error = "not a JSON object" + (perr.empty() ? "" : ": " + perr);
    return false;
  }
  const std::string channel = text(v, "channel");
  bool known = false;
  for (const auto& c : kChannels)
    if (channel == c.name) {
      out->channel = c.channel;
      known = true;
    }
  if (!known) {
    *error = "unknown channel \"" + channel + "\"";
    return false;
  }
  out->port = u16(v, "port");
  const std::string kind = text(v, "kind");
  try {
    if (kind == "node") {
      out->body =
          NodeMsg{u16(v, "unit"), u16(v, "node"), u16(v, "value"), u32(v, "count"), u32(v, "seq")};
    } else if (kind == "condition") {
      out->body = CondMsg{u16(v, "unit"),  u16(v, "cond"),  v["held"].asBool(),
                          u16(v, "group"), u32(v, "count"), u32(v, "seq")};
    } else if (kind == "mcdc") {
      McdcMsg d{u16(v, "unit"),  u16(v, "decision"), v["outcome"].asBool(), u32(v, "codes"),
                u16(v, "group"), u32(v, "count"),    u32(v, "seq")};
      if (v.isMember("conditions")) {
        const Json::Value& more = v["more"];
        if (!more.isArray() || more.size() != d.more.size()) {
          *error = "wide MC/DC message without its three code words";
          return false;
        }
        d.conditions = static_cast<uint8_t>(v["conditions"].asUInt());
        for (Json::ArrayIndex i = 0; i < more.size(); ++i) d.more[i] = more[i].asUInt();
      }
      out->body = d;
    } else if (kind == "unit") {
      const std::string id = text(v, "identity");
      const std::string prefix = "fnv1a64:";
      char* end = nullptr;
      UnitMsg u;
      u.unit = u16(v, "unit");
      u.seq = u32(v, "seq");
      if (id.compare(0, prefix.size(), prefix) != 0 || id.size() != prefix.size() + 16) {
        *error = "unit identity not written as fnv1a64: and 16 hexadecimal digits";
        return false;
      }
      u.identity = std::strtoull(id.c_str() + prefix.size(), &end, 16);
      if (!end || *end != '\0') {
        *error = "unit identity not written as fnv1a64: and 16 hexadecimal digits";
        return false;
      }
      out->body = u;
    } else if (kind == "testcase") {
      const std::string e = text(v, "event");
      TestCaseEvent t;
      t.kind = e == "created"   ? TestCaseEvent::Kind::Created
               : e == "started" ? TestCaseEvent::Kind::Started
                                : TestCaseEvent::Kind::Stopped;
      t.arg = text(v, t.kind == TestCaseEvent::Kind::Created ? "name" : "number");
      out->body = t;
    } else if (kind == "value") {
      ValueRecord r;
      r.header = text(v, "header");
      for (const auto& it : v["items"])
        r.items.push_back(ValueItem{text(it, "name"), text(it, "tag"), text(it, "value")});
      out->body = std::move(r);
    } else if (kind == "timing") {
      out->body = TimingMsg{v["a"].asInt(), v["b"].asInt(), v["c"].asInt()};
    } else if (kind == "lastdata") {
      static const char* kKinds[4] = {"?", "node", "condition", "mcdc"};
      LastDataMsg l;
      for (uint8_t k = 1; k <= 3; ++k)
        if (text(v, "type") == kKinds[k]) l.kind = k;
      for (const auto& e : v["entries"]) {
        LastDataEntry x;
        x.unit = u16(e, "unit");
        x.id = u16(e, l.kind == 1 ? "node" : l.kind == 2 ? "cond" : "decision");
        x.value = u16(e, "value");
        x.group = u16(e, "group");
        x.outcome = e[l.kind == 2 ? "held" : "outcome"].asBool();
        x.codes = u32(e, "codes");
        x.number = u32(e, "number");
        l.entries.push_back(x);
      }
      out->body = std::move(l);
    } else if (kind == "malformed") {
      Malformed m;
      m.reason = text(v, "reason");
      m.bytes = unhex(text(v, "bytes"));
      m.size = v["size"].isNull() ? m.bytes.size() : v["size"].asUInt64();
      out->body = std::move(m);
    } else {
      PropertyMsg p;
      if (!property(v, kind, &p)) {
        *error = "unknown kind \"" + kind + "\"";
        return false;
      }
      out->body = std::move(p);
    }
  } catch (const std::exception& e) {
    *error = std::string("field of the wrong type: ") + e.what();
    return false;
  }
  return true;
}

}  // namespace qelc
