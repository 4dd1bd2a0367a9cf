#include "result_wire.h"

#include <cstdint>

namespace qelcc {

namespace {

class Writer {
 public:
  void U8(unsigned v) { out_.push_back(static_cast<char>(v & 0xff)); }
  void U32(std::uint32_t v) {
    for (int i = 0; i < 4; ++i) U8((v >> (8 * i)) & 0xff);
  }
  void U64(std::uint64_t v) {
    for (int i = 0; i < 8; ++i) U8(static_cast<unsigned>((v >> (8 * i)) & 0xff));
  }
  void I32(int v) { U32(static_cast<std::uint32_t>(v)); }
  void Bool(bool v) { U8(v ? 1 : 0); }
  void Str(const std::string& s) {
    U64(s.size());
    out_ += s;
  }
  std::string& out() { return out_; }

 private:
  std::string out_;
};

// Every read checks the bytes left; the first failure sticks, so a caller
// checks once at the end.
class Reader {
 public:
  explicit Reader(const std::string& in) : in_(in) {}
  unsigned U8() {
    if (!ok_ || pos_ >= in_.size()) return Fail();
    return static_cast<unsigned char>(in_[pos_++]);
  }
  std::uint32_t U32() {
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= static_cast<std::uint32_t>(U8()) << (8 * i);
    return v;
  }
  std::uint64_t U64() {
    std::uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v |= static_cast<std::uint64_t>(U8()) << (8 * i);
    return v;
  }
  int I32() { return static_cast<int>(U32()); }
  bool Bool() {
    unsigned v = U8();
    if (v > 1) Fail();
    return v == 1;
  }
  std::string Str() {
    std::uint64_t n = U64();
    if (!ok_ || n > in_.size() - pos_) {
      Fail();
      return "";
    }
    std::string s = in_.substr(pos_, n);
    pos_ += n;
    return s;
  }
  // A count of elements that each take at least one byte: never more than
  // the bytes left, so a damaged count cannot make us reserve gigabytes.
  std::size_t Count() {
    std::uint64_t n = U64();
    if (!ok_ || n > in_.size() - pos_) {
      Fail();
      return 0;
    }
    return static_cast<std::size_t>(n);
  }
  bool Done() const { return ok_ && pos_ == in_.size(); }
  void Invalid() { ok_ = false; }
  bool ok() const { return ok_; }

 private:
  unsigned Fail() {
    ok_ = false;
    return 0;
  }
  const std::string& in_;
  std::size_t pos_ = 0;
  bool ok_ = true;
};

void PutOptions(Writer& w, const InstrumentOptions& o) {
  w.Bool(o.values);
  w.Bool(o.memory);
  w.Bool(o.counters);
  w.U8(static_cast<unsigned>(o.target.access));
  w.U8(static_cast<unsigned>(o.target.increment));
  w.Bool(o.target.preserve_most);
  w.Bool(o.target.entry_stub);
  w.Bool(o.target.unoptimized);
  w.Bool(o.target.no_unused_marks);
  w.Bool(o.exec);
}

void GetOptions(Reader& r, InstrumentOptions* o) {
  o->values = r.Bool();
  o->memory = r.Bool();
  o->counters = r.Bool();
  unsigned access = r.U8();
  unsigned increment = r.U8();
  if (access > static_cast<unsigned>(CounterTarget::Access::kCall) ||
      increment > static_cast<unsigned>(CounterTarget::Increment::kVolatile)) {
    r.Invalid();
    access = increment = 0;
  }
  o->target.access = static_cast<CounterTarget::Access>(access);
  o->target.increment = static_cast<CounterTarget::Increment>(increment);
  o->target.preserve_most = r.Bool();
  o->target.entry_stub = r.Bool();
  o->target.unoptimized = r.Bool();
  o->target.no_unused_marks = r.Bool();
  o->exec = r.Bool();
}

void PutMap(Writer& w, const UnitMap& m) {
  w.I32(m.unit);
  w.I32(m.group);
  w.Str(m.source);
  w.Str(m.object);
  w.U64(m.identity);
  w.Bool(m.instrumented);
  w.Str(m.reason);
  w.U64(m.files.size());
  for (const std::string& f : m.files) w.Str(f);
  w.U64(m.functions.size());
  for (const MapFunction& f : m.functions) {
    w.Str(f.name);
    w.I32(f.file);
    w.U32(f.line);
    w.U32(f.column);
    w.U32(f.end_line);
    w.I32(f.entry_node);
  }
  w.U64(m.nodes.size());
  for (const MapNode& n : m.nodes) {
    w.I32(n.id);
    w.I32(n.file);
    w.U32(n.line);
    w.U32(n.column);
    w.Str(n.function);
    w.Str(n.kind);
    w.U64(n.lines.size());
    for (unsigned l : n.lines) w.U32(l);
  }
  w.U64(m.decisions.size());
  for (const MapDecision& d : m.decisions) {
    w.I32(d.id);
    w.I32(d.cond_id);
    w.I32(d.file);
    w.Str(d.function);
    w.Str(d.kind);
    w.Str(d.text);
    w.U32(d.line);
    w.U32(d.column);
    w.U32(d.end_line);
    w.U32(d.end_column);
    w.Bool(d.mcdc);
    w.Str(d.form);
    w.U64(d.conditions.size());
    for (const MapCondition& c : d.conditions) {
      w.I32(c.id);
      w.I32(c.index);
      w.Str(c.text);
      w.U32(c.line);
      w.U32(c.column);
      w.U32(c.end_line);
      w.U32(c.end_column);
    }
  }
}

void GetMap(Reader& r, UnitMap* m) {
  m->unit = r.I32();
  m->group = r.I32();
  m->source = r.Str();
  m->object = r.Str();
  m->identity = r.U64();
  m->instrumented = r.Bool();
  m->reason = r.Str();
  m->files.resize(r.Count());
  for (std::string& f : m->files) f = r.Str();
  m->functions.resize(r.Count());
  for (MapFunction& f : m->functions) {
    f.name = r.Str();
    f.file = r.I32();
    f.line = r.U32();
    f.column = r.U32();
    f.end_line = r.U32();
    f.entry_node = r.I32();
  }
  m->nodes.resize(r.Count());
  for (MapNode& n : m->nodes) {
    n.id = r.I32();
    n.file = r.I32();
    n.line = r.U32();
    n.column = r.U32();
    n.function = r.Str();
    n.kind = r.Str();
    for (std::size_t i = r.Count(); i > 0 && r.ok(); --i) n.lines.insert(r.U32());
  }
  m->decisions.resize(r.Count());
  for (MapDecision& d : m->decisions) {
    d.id = r.I32();
    d.cond_id = r.I32();
    d.file = r.I32();
    d.function = r.Str();
    d.kind = r.Str();
    d.text = r.Str();
    d.line = r.U32();
    d.column = r.U32();
    d.end_line = r.U32();
    d.end_column = r.U32();
    d.mcdc = r.Bool();
    d.form = r.Str();
    d.conditions.resize(r.Count());
    for (MapCondition& c : d.conditions) {
      c.id = r.I32();
      c.index = r.I32();
      c.text = r.Str();
      c.line = r.U32();
      c.column = r.U32();
      c.end_line = r.U32();
      c.end_column = r.U32();
    }
  }
}

}  // namespace

std::string EncodeRequest(const InstrumentRequest& q) {
  Writer w;
  w.Str(q.ipath);
  w.Str(q.cwd);
  w.U64(q.args.size());
  for (const std::string& a : q.args) w.Str(a);
  w.I32(q.unit);
  w.I32(q.group);
  PutOptions(w, q.options);
  return std::move(w.out());
}

bool DecodeRequest(const std::string& bytes, InstrumentRequest* q) {
  Reader r(bytes);
  q->ipath = r.Str();
  q->cwd = r.Str();
  q->args.resize(r.Count());
  for (std::string& a : q->args) a = r.Str();
  q->unit = r.I32();
  q->group = r.I32();
  GetOptions(r, &q->options);
  return r.Done();
}

std::string EncodeResult(const InstrumentResult& res) {
  Writer w;
  w.Bool(res.ok);
  w.Str(res.error);
  w.Str(res.text);
  PutMap(w, res.map);
  w.Bool(res.counted);
  w.I32(res.nodes);
  w.U64(res.decisions.size());
  for (const CounterDecision& d : res.decisions) {
    w.I32(d.decision);
    w.I32(d.cond);
    w.U64(d.leaf_conds.size());
    for (int c : d.leaf_conds) w.I32(c);
    w.U64(d.next.size());
    for (unsigned char n : d.next) w.U8(n);
    w.U32(d.paths);
    w.U32(d.first);
    w.I32(d.true_node);
    w.I32(d.false_node);
  }
  return std::move(w.out());
}

bool DecodeResult(const std::string& bytes, InstrumentResult* res) {
  Reader r(bytes);
  res->ok = r.Bool();
  res->error = r.Str();
  res->text = r.Str();
  GetMap(r, &res->map);
  res->counted = r.Bool();
  res->nodes = r.I32();
  res->decisions.resize(r.Count());
  for (CounterDecision& d : res->decisions) {
    d.decision = r.I32();
    d.cond = r.I32();
    d.leaf_conds.resize(r.Count());
    for (int& c : d.leaf_conds) c = r.I32();
    d.next.resize(r.Count());
    for (unsigned char& n : d.next) n = static_cast<unsigned char>(r.U8());
    d.paths = r.U32();
    d.first = r.U32();
    d.true_node = r.I32();
    d.false_node = r.I32();
  }
  return r.Done();
}

}  // namespace qelcc
