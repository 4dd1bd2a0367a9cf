#include "runfile_binary.hpp"

#include <cmath>
#include <cstring>
#include <limits>

#include "runfile.hpp"

namespace qelc {
namespace {

constexpr uint8_t kTagOrigin = 0x01;
constexpr uint8_t kTagWire = 0x02;
constexpr uint8_t kTagMalformed = 0x03;
constexpr uint8_t kTagJson = 0x04;
constexpr uint8_t kTagCount = 0x80;
constexpr uint8_t kCountKindMask = 0x03;
constexpr uint8_t kCountPlaced = 0x04;
constexpr uint8_t kCountFlag = 0x08;
constexpr uint8_t kCountWide = 0x10;
constexpr uint8_t kCountNext = 0x20;
constexpr uint8_t kCountUnused = 0x40;

enum CountKind : int { kNode = 0, kCond = 1, kMcdc = 2, kUnit = 3 };
constexpr Channel kCountChannel[4] = {Channel::Node, Channel::Cond, Channel::Mcdc, Channel::Node};

// A varint never takes more than this (64 bits in 7-bit groups).
constexpr int kMaxVarint = 10;

void putVarint(uint64_t v, std::string* out) {
  while (v >= 0x80) {
    out->push_back(static_cast<char>((v & 0x7F) | 0x80));
    v >>= 7;
  }
  out->push_back(static_cast<char>(v));
}

uint64_t zigzag(int64_t v) {
  return (static_cast<uint64_t>(v) << 1) ^ static_cast<uint64_t>(v >> 63);
}
int64_t unzigzag(uint64_t v) { return static_cast<int64_t>(v >> 1) ^ -static_cast<int64_t>(v & 1); }

void putBytes(const void* data, std::size_t n, std::string* out) {
  putVarint(n, out);
  out->append(static_cast<const char*>(data), n);
}

// Reads one file's records: every read checks the bytes left, and the first
// problem ends the reading with its offset.
class Cursor {
 public:
  Cursor(const uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  std::size_t offset() const { return at_; }
  bool done() const { return at_ == size_; }
  bool failed() const { return !why_.empty(); }
  const std::string& why() const { return why_; }

  uint8_t byte() {
    if (!need(1)) return 0;
    return data_[at_++];
  }
  uint64_t varint(uint64_t max = std::numeric_limits<uint64_t>::max()) {
    uint64_t v = 0;
    for (int i = 0; i < kMaxVarint; ++i) {
      if (!need(1)) return 0;
      const uint8_t b = data_[at_++];
      if (i == kMaxVarint - 1 && b > 1) return fail("a number of more than 64 bits"), 0;
      v |= static_cast<uint64_t>(b & 0x7F) << (7 * i);
      if (!(b & 0x80)) {
        if (v > max) return fail("a number above " + std::to_string(max)), 0;
        return v;
      }
    }
    return fail("a number of more than 64 bits"), 0;
  }
  // `base` plus a zigzag difference, which must land in [0, max].
  // `base` and `max` are at most 32 bits wide, so a difference outside
  // +-max is out of range before any sum could overflow.
  uint64_t delta(uint64_t base, uint64_t max) {
    const int64_t d = unzigzag(varint());
    if (failed()) return 0;
    const int64_t limit = static_cast<int64_t>(max);
    if (d > limit || d < -limit) return fail("a field out of its range"), 0;
    const int64_t v = static_cast<int64_t>(base) + d;
    if (v < 0 || v > limit) return fail("a field out of its range"), 0;
    return static_cast<uint64_t>(v);
  }
  const uint8_t* bytes(std::size_t n) {
    if (!need(n)) return nullptr;
    const uint8_t* p = data_ + at_;
    at_ += n;
    return p;
  }
  void fail(const std::string& why) {
    if (why_.empty()) why_ = why;
  }

 private:
  bool need(std::size_t n) {
    if (failed()) return false;
    if (size_ - at_ < n) {
      fail("the file ends inside a record (cut short?)");
      return false;
    }
    return true;
  }

  const uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
  std::string why_;
};

}  // namespace

bool isBinaryRun(const uint8_t* data, std::size_t size) {
  return size >= kBinaryRunMagic.size() &&
         std::memcmp(data, kBinaryRunMagic.data(), kBinaryRunMagic.size()) == 0;
}

std::string BinaryRunEncoder::header() {
  std::string h(kBinaryRunMagic.begin(), kBinaryRunMagic.end());
  h.push_back(static_cast<char>(kBinaryRunVersion));
  return h;
}

uint32_t BinaryRunEncoder::originIndex(const std::string& origin, std::string* out) {
  if (origin.empty()) return 0;
  // Few senders per run, and the last one is nearly always the one asked
  // for: a search from the back is cheaper than a map.
  for (std::size_t i = origins_.size(); i-- > 0;)
    if (origins_[i] == origin) return static_cast<uint32_t>(i + 1);
  origins_.push_back(origin);
  out->push_back(static_cast<char>(kTagOrigin));
  putBytes(origin.data(), origin.size(), out);
  return static_cast<uint32_t>(origins_.size());
}

void BinaryRunEncoder::putTime(double tMs, std::string* out) {
  // Past a few years of run time a time is no time (and would overflow).
  const int64_t us =
      std::isfinite(tMs) && std::fabs(tMs) < 1e12 ? std::llround(tMs * 1000.0) : lastUs_;
  putVarint(zigzag(us - lastUs_), out);
  lastUs_ = us;
}

bool BinaryRunEncoder::countKind(const Message& m, int* kind) const {
  if (std::holds_alternative<NodeMsg>(m.body))
    *kind = kNode;
  else if (std::holds_alternative<CondMsg>(m.body))
    *kind = kCond;
  else if (std::holds_alternative<McdcMsg>(m.body))
    *kind = kMcdc;
  else if (std::holds_alternative<UnitMsg>(m.body))
    *kind = kUnit;
  else
    return false;
  // The channel is what the kind implies; anything else is kept as it is.
  return m.channel == kCountChannel[*kind];
}

void BinaryRunEncoder::add(const Message& m, double tMs, std::string* out) {
  int kind = 0;
  if (countKind(m, &kind)) {
    CountRecordState& s = counts_[static_cast<std::size_t>(kind)];
    const uint32_t origin = originIndex(m.origin, out);
    const bool place = !s.placed || s.port != m.port || s.origin != origin;
    uint8_t tag = static_cast<uint8_t>(kTagCount | kind);
    if (place) tag |= kCountPlaced;
    const auto* c = std::get_if<CondMsg>(&m.body);
    const auto* d = std::get_if<McdcMsg>(&m.body);
    if ((c && c->held) || (d && d->outcome)) tag |= kCountFlag;
    if (d && d->conditions > 0) tag |= kCountWide;
    const auto* n = std::get_if<NodeMsg>(&m.body);
    const auto* u = std::get_if<UnitMsg>(&m.body);
    const uint16_t unit = n ? n->unit : c ? c->unit : d ? d->unit : u->unit;
    const uint32_t number = n ? n->seq : c ? c->seq : d ? d->seq : u->seq;
    // A runtime sends its records in order, numbered one after another:
    // most records need neither their unit nor their number written.
    const bool next = unit == s.unit && number == s.seq + 1 && s.seq != 0xFFFFFFFFu;
    if (next) tag |= kCountNext;
    out->push_back(static_cast<char>(tag));
    putTime(tMs, out);
    if (place) {
      putVarint(m.port, out);
      putVarint(origin, out);
      s.port = m.port;
      s.origin = origin;
      s.placed = true;
    }
    const auto ids = [&](uint16_t u, uint16_t id) {
      if (!next) putVarint(zigzag(int64_t{u} - s.unit), out);
      putVarint(zigzag(int64_t{id} - s.id), out);
      s.unit = u;
      s.id = id;
    };
    const auto seq = [&](uint32_t v) {
      if (!next) putVarint(zigzag(int64_t{v} - s.seq), out);
      s.seq = v;
    };
    if (n) {
      ids(n->unit, n->node);
      putVarint(n->value, out);
      putVarint(n->count, out);
      seq(n->seq);
    } else if (c) {
      ids(c->unit, c->cond);
      putVarint(c->group, out);
      putVarint(c->count, out);
      seq(c->seq);
    } else if (d) {
      ids(d->unit, d->decision);
      putVarint(~d->codes, out);
      if (d->conditions > 0) {
        putVarint(d->conditions, out);
        for (const uint32_t w : d->more) putVarint(~w, out);
      }
      putVarint(d->group, out);
      putVarint(d->count, out);
      seq(d->seq);
    } else {
      ids(u->unit, 0);
      for (int i = 0; i < 8; ++i) out->push_back(static_cast<char>(u->identity >> (8 * i)));
      seq(u->seq);
    }
    return;
  }
  const uint32_t origin = originIndex(m.origin, out);
  if (const auto* bad = std::get_if<Malformed>(&m.body)) {
    out->push_back(static_cast<char>(kTagMalformed));
    putVarint(static_cast<uint64_t>(m.channel), out);
    putVarint(m.port, out);
    putTime(tMs, out);
    putVarint(origin, out);
    putVarint(wholeSize(*bad), out);
    putBytes(bad->reason.data(), bad->reason.size(), out);
    putBytes(bad->bytes.data(), std::min(bad->bytes.size(), kMalformedPrefix), out);
  } else if (!m.wire.empty()) {
    out->push_back(static_cast<char>(kTagWire));
    putVarint(static_cast<uint64_t>(m.channel), out);
    putVarint(m.port, out);
    putTime(tMs, out);
    putVarint(origin, out);
    putBytes(m.wire.data(), m.wire.size(), out);
  } else {
    // Built here rather than received: its JSON line says all of it.
    out->push_back(static_cast<char>(kTagJson));
    putTime(tMs, out);
    putVarint(origin, out);
    const std::string line = toJson(m, 0);
    putBytes(line.data(), line.size(), out);
  }
}

bool readBinaryRun(const uint8_t* data, std::size_t size,
                   const std::function<void(Message&&, double)>& sink, std::string* error) {
  Cursor in(data, size);
  const auto stop = [&](std::size_t at, const std::string& why) {
    *error = "offset " + std::to_string(at) + ": " + why;
    return false;
  };
  if (!isBinaryRun(data, size)) return stop(0, "not a binary run (no magic)");
  in.bytes(kBinaryRunMagic.size());
  const uint8_t version = in.byte();
  if (in.failed()) return stop(kBinaryRunMagic.size(), in.why());
  if (version != kBinaryRunVersion)
    return stop(kBinaryRunMagic.size(), "binary run of version " + std::to_string(version) +
                                            " (this collector reads version " +
                                            std::to_string(kBinaryRunVersion) + ")");
  std::vector<std::string> origins{""};
  std::array<CountRecordState, 4> counts{};
  int64_t us = 0;
  const auto time = [&] {
    // Wrapping, never overflowing, whatever a damaged file holds.
    us = static_cast<int64_t>(static_cast<uint64_t>(us) +
                              static_cast<uint64_t>(unzigzag(in.varint())));
    return static_cast<double>(us) / 1000.0;
  };
  const auto originOf = [&]() -> const std::string& {
    const uint64_t i = in.varint(origins.size() - 1);
    return origins[in.failed() ? 0 : static_cast<std::size_t>(i)];
  };
  const auto channel = [&] { return static_cast<Channel>(in.varint(kChannelCount - 1)); };
  const auto u16 = [&] { return static_cast<uint16_t>(in.varint(0xFFFF)); };
  const auto u32 = [&] { return static_cast<uint32_t>(in.varint(0xFFFFFFFF)); };
  while (!in.done()) {
    const std::size_t at = in.offset();
    const uint8_t tag = in.byte();
    Message m;
    double tMs = 0;
    if (tag & kTagCount) {
      if (tag & kCountUnused) return stop(at, "a count record with unknown flags");
      const int kind = tag & kCountKindMask;
      if ((tag & kCountWide) && kind != kMcdc)
        return stop(at, "a wide vector flag on a record that is no MC/DC vector");
      if ((tag & kCountFlag) && kind != kCond && kind != kMcdc)
        return stop(at, "an outcome flag on a record that has none");
      CountRecordState& s = counts[static_cast<std::size_t>(kind)];
      tMs = time();
      if (tag & kCountPlaced) {
        s.port = u16();
        s.origin = static_cast<uint32_t>(in.varint(origins.size() - 1));
        s.placed = true;
      } else if (!s.placed) {
        return stop(at, "a count record before any of its kind named its port");
      }
      m.channel = kCountChannel[kind];
      m.port = s.port;
      if (!in.failed()) m.origin = origins[s.origin];
      const bool next = (tag & kCountNext) != 0;
      const auto ids = [&](uint16_t* unit, uint16_t* id) {
        if (!next) s.unit = static_cast<uint16_t>(in.delta(s.unit, 0xFFFF));
        *unit = s.unit;
        *id = s.id = static_cast<uint16_t>(in.delta(s.id, 0xFFFF));
      };
      const auto seq = [&] {
        if (!next) return s.seq = static_cast<uint32_t>(in.delta(s.seq, 0xFFFFFFFF));
        if (s.seq == 0xFFFFFFFFu) in.fail("a field out of its range");
        return ++s.seq;
      };
      const bool flag = (tag & kCountFlag) != 0;
      if (kind == kNode) {
        NodeMsg n;
        ids(&n.unit, &n.node);
        n.value = u16();
        n.count = u32();
        n.seq = seq();
        m.body = n;
      } else if (kind == kCond) {
        CondMsg c;
        ids(&c.unit, &c.cond);
        c.held = flag;
        c.group = u16();
        c.count = u32();
        c.seq = seq();
        m.body = c;
      } else if (kind == kMcdc) {
        McdcMsg d;
        ids(&d.unit, &d.decision);
        d.outcome = flag;
        d.codes = ~u32();
        if (tag & kCountWide) {
          const uint64_t n = in.varint(kMaxWideConditions);
          if (!in.failed() && n <= static_cast<uint64_t>(kMaxConditions))
            return stop(at, "a wide MC/DC vector of " + std::to_string(n) + " conditions");
          d.conditions = static_cast<uint8_t>(n);
          for (uint32_t& w : d.more) w = ~u32();
        }
        d.group = u16();
        d.count = u32();
        d.seq = seq();
        m.body = d;
      } else {
        UnitMsg u;
        uint16_t none = 0;
        ids(&u.unit, &none);
        if (const uint8_t* b = in.bytes(8))
          for (int i = 0; i < 8; ++i) u.identity |= static_cast<uint64_t>(b[i]) << (8 * i);
        u.seq = seq();
        m.body = u;
      }
    } else if (tag == kTagOrigin) {
      const uint64_t n = in.varint(size);
      const uint8_t* b = in.bytes(static_cast<std::size_t>(n));
      if (in.failed()) return stop(at, in.why());
      if (n == 0) return stop(at, "an empty origin (that one needs no entry)");
      origins.emplace_back(reinterpret_cast<const char*>(b), static_cast<std::size_t>(n));
      continue;
    } else if (tag == kTagWire || tag == kTagMalformed) {
      m.channel = channel();
      m.port = u16();
      tMs = time();
      m.origin = originOf();
      if (tag == kTagWire) {
        const uint64_t n = in.varint(size);
        const uint8_t* b = in.bytes(static_cast<std::size_t>(n));
        if (in.failed()) return stop(at, in.why());
        m.body = decode(m.channel, b, static_cast<std::size_t>(n));
        keepWire(&m, b, static_cast<std::size_t>(n));
      } else {
        Malformed bad;
        bad.size = in.varint();
        const uint64_t reason = in.varint(size);
        if (const uint8_t* b = in.bytes(static_cast<std::size_t>(reason)))
          bad.reason.assign(reinterpret_cast<const char*>(b), static_cast<std::size_t>(reason));
        const uint64_t kept = in.varint(kMalformedPrefix);
        if (const uint8_t* b = in.bytes(static_cast<std::size_t>(kept)))
          bad.bytes.assign(b, b + kept);
        m.body = std::move(bad);
      }
    } else if (tag == kTagJson) {
      tMs = time();
      const std::string origin = originOf();
      const uint64_t n = in.varint(size);
      const uint8_t* b = in.bytes(static_cast<std::size_t>(n));
      if (in.failed()) return stop(at, in.why());
      std::string why;
      if (!fromJson(std::string(reinterpret_cast<const char*>(b), static_cast<std::size_t>(n)), &m,
                    &why))
        return stop(at, "a message in JSON that is none: " + why);
      m.origin = origin;
    } else {
      if (in.failed()) return stop(at, in.why());
      return stop(at, "unknown record tag " + std::to_string(tag));
    }
    if (in.failed()) return stop(at, in.why());
    sink(std::move(m), tMs);
  }
  return true;
}

}  // namespace qelc
