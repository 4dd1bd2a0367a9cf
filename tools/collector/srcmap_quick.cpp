// Reading a map without building a JSON document: a report reads megabytes
// of maps, and building and freeing the document was most of that time. It
// takes on only what it reads exactly as the general reader does (plain
// ASCII strings without \u escapes, integers where integers belong, each
// known key once); anything else, valid or not, is left to the general
// reader, which also words every error.
#include <algorithm>
#include <cstring>

#include "srcmap.hpp"

namespace qelc {
namespace {

constexpr int64_t kMaxLine = int64_t{1} << 30;
constexpr int kMaxDepth = 64;

class Quick {
 public:
  Quick(const char* p, const char* end) : p_(p), end_(end) {}

  bool unit(UnitMap* u);

 private:
  // Every reader returns false when the text is not one it takes on.
  void space() {
    while (p_ < end_ && (*p_ == ' ' || *p_ == '\n' || *p_ == '\r' || *p_ == '\t')) ++p_;
  }
  bool lit(char c) {
    space();
    if (p_ == end_ || *p_ != c) return false;
    ++p_;
    return true;
  }
  bool peek(char c) {
    space();
    return p_ < end_ && *p_ == c;
  }
  bool string(std::string* out) {
    if (!lit('"')) return false;
    out->clear();
    for (;;) {
      const char* start = p_;
      while (p_ < end_ && *p_ != '"' && *p_ != '\\' && static_cast<unsigned char>(*p_) >= 0x20 &&
             static_cast<unsigned char>(*p_) < 0x80)
        ++p_;
      out->append(start, static_cast<std::size_t>(p_ - start));
      if (p_ == end_) return false;
      if (*p_ == '"') {
        ++p_;
        return true;
      }
      if (*p_ != '\\' || end_ - p_ < 2) return false;
      const char e = p_[1];
      p_ += 2;
      switch (e) {
        case '"':
        case '\\':
        case '/':
          out->push_back(e);
          break;
        case 'b':
          out->push_back('\b');
          break;
        case 'f':
          out->push_back('\f');
          break;
        case 'n':
          out->push_back('\n');
          break;
        case 'r':
          out->push_back('\r');
          break;
        case 't':
          out->push_back('\t');
          break;
        default:
          return false;  // \u and anything else: the general reader's
      }
    }
  }
  // A non-negative integer without sign, fraction or exponent, in [lo, hi].
  bool integer(int64_t lo, int64_t hi, int64_t* out) {
    space();
    const char* start = p_;
    int64_t v = 0;
    while (p_ < end_ && *p_ >= '0' && *p_ <= '9' && p_ - start < 12) v = v * 10 + (*p_++ - '0');
    if (p_ == start || (p_ - start > 1 && *start == '0')) return false;
    if (p_ < end_ && (*p_ == '.' || *p_ == 'e' || *p_ == 'E' || (*p_ >= '0' && *p_ <= '9')))
      return false;
    if (v < lo || v > hi) return false;
    *out = v;
    return true;
  }
  template <typename T>
  bool field(int64_t lo, int64_t hi, T* out) {
    int64_t v = 0;
    if (!integer(lo, hi, &v)) return false;
    *out = static_cast<T>(v);
    return true;
  }
  bool boolean(bool* out) {
    space();
    if (end_ - p_ >= 4 && std::memcmp(p_, "true", 4) == 0) {
      p_ += 4;
      return *out = true, true;
    }
    if (end_ - p_ >= 5 && std::memcmp(p_, "false", 5) == 0) {
      p_ += 5;
      return !(*out = false);
    }
    return false;
  }
  // Any value of a key this reader does not use, checked as JSON.
  bool skip(int depth) {
    if (depth > kMaxDepth) return false;
    space();
    if (p_ == end_) return false;
    std::string ignored;
    switch (*p_) {
      case '"':
        return string(&ignored);
      case '{':
        return object(depth + 1, [&](const std::string&) { return skip(depth + 1); });
      case '[':
        return array([&] { return skip(depth + 1); });
      case 't':
      case 'f': {
        bool b = false;
        return boolean(&b);
      }
      case 'n':
        if (end_ - p_ < 4 || std::memcmp(p_, "null", 4) != 0) return false;
        p_ += 4;
        return true;
      default:
        return number();
    }
  }
  bool number() {
    const auto digits = [&] {
      const char* s = p_;
      while (p_ < end_ && *p_ >= '0' && *p_ <= '9') ++p_;
      return p_ != s;
    };
    if (p_ < end_ && *p_ == '-') ++p_;
    if (p_ < end_ && *p_ == '0') {
      ++p_;
    } else if (!digits()) {
      return false;
    }
    if (p_ < end_ && *p_ == '.' && (++p_, !digits())) return false;
    if (p_ < end_ && (*p_ == 'e' || *p_ == 'E')) {
      ++p_;
      if (p_ < end_ && (*p_ == '+' || *p_ == '-')) ++p_;
      if (!digits()) return false;
    }
    return true;
  }
  template <typename Member>
  bool object(int depth, const Member& member) {
    if (depth > kMaxDepth || !lit('{')) return false;
    if (lit('}')) return true;
    std::string key;
    do {
      if (!string(&key) || !lit(':') || !member(key)) return false;
    } while (lit(','));
    return lit('}');
  }
  template <typename Element>
  bool array(const Element& element) {
    if (!lit('[')) return false;
    if (lit(']')) return true;
    do {
      if (!element()) return false;
    } while (lit(','));
    return lit(']');
  }

  // Each known key of an object once: a repeated one is the general
  // reader's to judge.
  class Seen {
   public:
    bool first(int bit) {
      const uint64_t b = uint64_t{1} << bit;
      if (bits_ & b) return false;
      bits_ |= b;
      return true;
    }
    bool has(int bit) const { return (bits_ >> bit) & 1; }

   private:
    uint64_t bits_ = 0;
  };

  // The keys a map uses, each a bit of Seen.
  enum Key : int {
    kId,
    kFile,
    kLine,
    kColumn,
    kEndLine,
    kEndColumn,
    kFunction,
    kKind,
    kText,
    kName,
    kEntryNode,
    kLines,
    kCondId,
    kMcdc,
    kConditions,
    kIndex,
    kPath,
    kHash,
    kOther,
  };
  static Key keyOf(const std::string& k) {
    static const char* const kNames[] = {
        "id",       "file", "line",       "column", "end_line",   "end_column",
        "function", "kind", "text",       "name",   "entry_node", "lines",
        "cond_id",  "mcdc", "conditions", "index",  "path",       "hash"};
    for (int i = 0; i < kOther; ++i)
      if (k == kNames[i]) return static_cast<Key>(i);
    return kOther;
  }

  // A range's keys; false when `k` is none of them.
  bool rangeKey(Key k, MapRange* r, bool* ok) {
    switch (k) {
      case kLine:
        *ok = field(1, kMaxLine, &r->line);
        return true;
      case kColumn:
        *ok = field(0, kMaxLine, &r->column);
        return true;
      case kEndLine:
        *ok = field(0, kMaxLine, &r->endLine);
        return true;
      case kEndColumn:
        *ok = field(0, kMaxLine, &r->endColumn);
        return true;
      default:
        return false;
    }
  }

  bool fileEntry(UnitMap* u) {
    Seen seen;
    int id = 0;
    std::string path, hash;
    const bool read = object(2, [&](const std::string& key) {
      const Key k = keyOf(key);
      if (k != kOther && !seen.first(k)) return false;
      if (k == kId) return field(0, kMaxLine, &id);
      if (k == kPath) return string(&path);
      if (k == kHash) return string(&hash);
      return skip(2);
    });
    if (!read || !seen.has(kId) || !seen.has(kPath)) return false;
    u->files[id] = path;
    if (!hash.empty()) u->fileHashes[id] = hash;
    return true;
  }

  bool function(UnitMap* u) {
    Seen seen;
    MapFunction fn;
    const bool read = object(2, [&](const std::string& key) {
      const Key k = keyOf(key);
      if (k != kOther && !seen.first(k)) return false;
      switch (k) {
        case kName:
          return string(&fn.name);
        case kFile:
          return field(0, kMaxLine, &fn.file);
        case kLine:
          return field(1, kMaxLine, &fn.line);
        case kColumn:
          return field(0, kMaxLine, &fn.column);
        case kEndLine:
          return field(0, kMaxLine, &fn.endLine);
        case kEntryNode:
          return field(0, 65535, &fn.entryNode);
        default:
          return skip(2);
      }
    });
    if (!read || !seen.has(kName) || !seen.has(kFile) || !seen.has(kLine)) return false;
    u->functions.push_back(std::move(fn));
    return true;
  }

  bool node(UnitMap* u) {
    Seen seen;
    MapNode n;
    const bool read = object(2, [&](const std::string& key) {
      const Key k = keyOf(key);
      if (k != kOther && !seen.first(k)) return false;
      switch (k) {
        case kId:
          return field(1, 65535, &n.id);
        case kFile:
          return field(0, kMaxLine, &n.file);
        case kLine:
          return field(1, kMaxLine, &n.line);
        case kColumn:
          return field(0, kMaxLine, &n.column);
        case kFunction:
          return string(&n.function);
        case kKind:
          return string(&n.kind);
        case kLines:
          return array([&] {
            int line = 0;
            if (!field(1, kMaxLine, &line)) return false;
            n.lines.push_back(line);
            return true;
          });
        default:
          return skip(2);
      }
    });
    if (!read || !seen.has(kId) || !seen.has(kFile) || !seen.has(kLine)) return false;
    if (n.lines.empty()) n.lines.push_back(n.line);
    u->nodes.push_back(std::move(n));
    return true;
  }

  bool condition(MapDecision* d, bool* hasLine) {
    Seen seen;
    MapCondition c;
    const bool read = object(3, [&](const std::string& key) {
      const Key k = keyOf(key);
      if (k != kOther && !seen.first(k)) return false;
      bool ok = false;
      if (rangeKey(k, &c.range, &ok)) return ok;
      if (k == kId) return field(1, 65535, &c.id);
      if (k == kIndex) return field(0, 1 << 20, &c.index);
      if (k == kText) return string(&c.text);
      return skip(3);
    });
    if (!read || !seen.has(kId) || !seen.has(kIndex)) return false;
    // Without a line a condition's range is its decision's.
    *hasLine = seen.has(kLine);
    d->conditions.push_back(std::move(c));
    return true;
  }

  bool decision(UnitMap* u) {
    Seen seen;
    MapDecision d;
    std::vector<bool> ownRange;
    const bool read = object(2, [&](const std::string& key) {
      const Key k = keyOf(key);
      if (k != kOther && !seen.first(k)) return false;
      bool ok = false;
      if (rangeKey(k, &d.range, &ok)) return ok;
      switch (k) {
        case kId:
          return field(1, 32767, &d.id);
        case kCondId:
          return field(1, 65535, &d.condId);
        case kFile:
          return field(0, kMaxLine, &d.file);
        case kFunction:
          return string(&d.function);
        case kKind:
          return string(&d.kind);
        case kText:
          return string(&d.text);
        case kMcdc:
          return boolean(&d.mcdc);
        case kConditions:
          return array([&] {
            bool hasLine = false;
            if (!condition(&d, &hasLine)) return false;
            ownRange.push_back(hasLine);
            return true;
          });
        default:
          return skip(2);
      }
    });
    if (!read || !seen.has(kId) || !seen.has(kCondId) || !seen.has(kFile) || !seen.has(kLine))
      return false;
    if (d.range.endLine == 0) d.range.endLine = d.range.line;
    for (std::size_t i = 0; i < d.conditions.size(); ++i) {
      MapRange& r = d.conditions[i].range;
      if (!ownRange[i])
        r = d.range;
      else if (r.endLine == 0)
        r.endLine = r.line;
    }
    std::sort(d.conditions.begin(), d.conditions.end(),
              [](const MapCondition& a, const MapCondition& b) { return a.index < b.index; });
    for (std::size_t i = 0; i < d.conditions.size(); ++i)
      if (d.conditions[i].index != static_cast<int>(i)) return false;
    u->decisions.push_back(std::move(d));
    return true;
  }

  const char* p_;
  const char* end_;
};

bool Quick::unit(UnitMap* u) {
  bool format = false, version = false;
  int seen = 0;  // the top-level keys, one bit each
  const auto once = [&](int bit) {
    if (seen & (1 << bit)) return false;
    seen |= 1 << bit;
    return true;
  };
  const bool read = object(1, [&](const std::string& key) {
    std::string text;
    if (key == "format") return once(0) && string(&text) && (format = text == "qelmap");
    if (key == "version") {
      int64_t v = 0;
      return once(1) && integer(1, 1, &v) && (version = true);
    }
    if (key == "unit") return once(2) && field(1, 32767, &u->unit);
    if (key == "group") return once(3) && field(0, 65535, &u->group);
    if (key == "source") return once(4) && string(&u->source);
    if (key == "hash") return once(5) && string(&u->hash);
    if (key == "identity") {
      u->hasIdentity = true;
      return once(6) && string(&text) && parseHashText(text, &u->identity);
    }
    if (key == "instrumented") return once(7) && boolean(&u->instrumented);
    if (key == "reason") return once(8) && string(&u->reason);
    if (key == "files") return once(9) && array([&] { return fileEntry(u); });
    if (key == "functions") return once(10) && array([&] { return function(u); });
    if (key == "nodes") return once(11) && array([&] { return node(u); });
    if (key == "decisions") return once(12) && array([&] { return decision(u); });
    return skip(1);
  });
  space();
  if (!read || p_ != end_ || !format || !version || !(seen & (1 << 2))) return false;
  // Every file id used is listed.
  const auto listed = [&](int id) { return u->files.count(id) > 0; };
  for (const auto& f : u->functions)
    if (!listed(f.file)) return false;
  for (const auto& n : u->nodes)
    if (!listed(n.file)) return false;
  for (const auto& d : u->decisions)
    if (!listed(d.file)) return false;
  return true;
}

}  // namespace

bool readUnitMapQuickly(const std::string& text, const std::string& name, UnitMap* out) {
  UnitMap u;
  u.mapFile = name;
  Quick q(text.data(), text.data() + text.size());
  if (!q.unit(&u)) return false;
  *out = std::move(u);
  return true;
}

}  // namespace qelc
