// The instrumentation step's request and result as bytes: every field comes
// back as it went, and no damaged or partial buffer decodes.
#include <gtest/gtest.h>

#include "result_wire.h"

using namespace qelcc;

namespace {

InstrumentResult Rich() {
  InstrumentResult r;
  r.ok = true;
  r.error = "none \xff\0x";
  r.text = std::string("int f(void) { return 1; }\n\0tail", 31);
  UnitMap& m = r.map;
  m.unit = 77;
  m.group = 65535;
  m.source = "/src/a.c";
  m.object = "/obj/a.o";
  m.identity = 0xfedcba9876543210ULL;
  m.instrumented = false;
  m.reason = "nested function";
  m.files = {"/src/a.c", "", "/usr/include/x.h"};
  m.functions = {{"f", 0, 1, 2, 9, 4}, {"g", 2, 30, 31, 40, -1}};
  MapNode n1;
  n1.id = 3;
  n1.file = 2;
  n1.line = 12;
  n1.column = 5;
  n1.function = "f";
  n1.kind = "stmt";
  n1.lines = {12, 13, 4000000000u};
  m.nodes = {n1, MapNode()};
  MapDecision d;
  d.id = 8;
  d.cond_id = 9;
  d.file = 1;
  d.function = "g";
  d.kind = "if";
  d.text = "a && b";
  d.line = 3;
  d.column = 7;
  d.end_line = 4;
  d.end_column = 11;
  d.mcdc = false;
  d.form = "events";
  d.conditions = {{9, 0, "a", 3, 7, 3, 8}, {10, 1, "b", 4, 1, 4, 11}};
  m.decisions = {d, MapDecision()};
  r.counted = true;
  r.nodes = 41;
  CounterDecision c;
  c.decision = 8;
  c.cond = 9;
  c.leaf_conds = {9, 10, -3};
  c.next = {0, 1, 255, 7};
  c.paths = 3;
  c.first = 41;
  c.true_node = 5;
  c.false_node = 6;
  r.decisions = {c, CounterDecision()};
  return r;
}

void ExpectSame(const InstrumentResult& a, const InstrumentResult& b) {
  EXPECT_EQ(a.ok, b.ok);
  EXPECT_EQ(a.error, b.error);
  EXPECT_EQ(a.text, b.text);
  EXPECT_EQ(a.counted, b.counted);
  EXPECT_EQ(a.nodes, b.nodes);
  const UnitMap &x = a.map, &y = b.map;
  EXPECT_EQ(x.unit, y.unit);
  EXPECT_EQ(x.group, y.group);
  EXPECT_EQ(x.source, y.source);
  EXPECT_EQ(x.object, y.object);
  EXPECT_EQ(x.identity, y.identity);
  EXPECT_EQ(x.instrumented, y.instrumented);
  EXPECT_EQ(x.reason, y.reason);
  EXPECT_EQ(x.files, y.files);
  ASSERT_EQ(x.functions.size(), y.functions.size());
  for (size_t i = 0; i < x.functions.size(); ++i) {
    const MapFunction &f = x.functions[i], &g = y.functions[i];
    EXPECT_EQ(f.name, g.name);
    EXPECT_EQ(f.file, g.file);
    EXPECT_EQ(f.line, g.line);
    EXPECT_EQ(f.column, g.column);
    EXPECT_EQ(f.end_line, g.end_line);
    EXPECT_EQ(f.entry_node, g.entry_node);
  }
  ASSERT_EQ(x.nodes.size(), y.nodes.size());
  for (size_t i = 0; i < x.nodes.size(); ++i) {
    const MapNode &n = x.nodes[i], &o = y.nodes[i];
    EXPECT_EQ(n.id, o.id);
    EXPECT_EQ(n.file, o.file);
    EXPECT_EQ(n.line, o.line);
    EXPECT_EQ(n.column, o.column);
    EXPECT_EQ(n.function, o.function);
    EXPECT_EQ(n.kind, o.kind);
    EXPECT_EQ(n.lines, o.lines);
  }
  ASSERT_EQ(x.decisions.size(), y.decisions.size());
  for (size_t i = 0; i < x.decisions.size(); ++i) {
    const MapDecision &d = x.decisions[i], &e = y.decisions[i];
    EXPECT_EQ(d.id, e.id);
    EXPECT_EQ(d.cond_id, e.cond_id);
    EXPECT_EQ(d.file, e.file);
    EXPECT_EQ(d.function, e.function);
    EXPECT_EQ(d.kind, e.kind);
    EXPECT_EQ(d.text, e.text);
    EXPECT_EQ(d.line, e.line);
    EXPECT_EQ(d.column, e.column);
    EXPECT_EQ(d.end_line, e.end_line);
    EXPECT_EQ(d.end_column, e.end_column);
    EXPECT_EQ(d.mcdc, e.mcdc);
    EXPECT_EQ(d.form, e.form);
    ASSERT_EQ(d.conditions.size(), e.conditions.size());
    for (size_t j = 0; j < d.conditions.size(); ++j) {
      const MapCondition &c = d.conditions[j], &k = e.conditions[j];
      EXPECT_EQ(c.id, k.id);
      EXPECT_EQ(c.index, k.index);
      EXPECT_EQ(c.text, k.text);
      EXPECT_EQ(c.line, k.line);
      EXPECT_EQ(c.column, k.column);
      EXPECT_EQ(c.end_line, k.end_line);
      EXPECT_EQ(c.end_column, k.end_column);
    }
  }
  ASSERT_EQ(a.decisions.size(), b.decisions.size());
  for (size_t i = 0; i < a.decisions.size(); ++i) {
    const CounterDecision &c = a.decisions[i], &d = b.decisions[i];
    EXPECT_EQ(c.decision, d.decision);
    EXPECT_EQ(c.cond, d.cond);
    EXPECT_EQ(c.leaf_conds, d.leaf_conds);
    EXPECT_EQ(c.next, d.next);
    EXPECT_EQ(c.paths, d.paths);
    EXPECT_EQ(c.first, d.first);
    EXPECT_EQ(c.true_node, d.true_node);
    EXPECT_EQ(c.false_node, d.false_node);
  }
}

TEST(ResultWire, RichResultRoundTripsFieldByField) {
  const InstrumentResult rich = Rich();
  const std::string bytes = EncodeResult(rich);
  InstrumentResult back;
  ASSERT_TRUE(DecodeResult(bytes, &back));
  ExpectSame(rich, back);
  EXPECT_EQ(EncodeResult(back), bytes);
  // The defaults too (an empty map, a failure).
  InstrumentResult empty;
  ASSERT_TRUE(DecodeResult(EncodeResult(empty), &back));
  ExpectSame(empty, back);
}

TEST(ResultWire, RequestRoundTrips) {
  InstrumentRequest q;
  q.ipath = "/tmp/q/a.pre.i";
  q.cwd = "/home/u/src";
  q.args = {"-std=gnu99", ""};
  q.unit = 12;
  q.group = 3;
  q.options.values = true;
  q.options.memory = true;
  q.options.counters = false;
  q.options.exec = false;
  q.options.target.access = CounterTarget::Access::kTable;
  q.options.target.increment = CounterTarget::Increment::kI386;
  q.options.target.preserve_most = true;
  q.options.target.entry_stub = true;
  q.options.target.unoptimized = true;
  InstrumentRequest back;
  ASSERT_TRUE(DecodeRequest(EncodeRequest(q), &back));
  EXPECT_EQ(back.ipath, q.ipath);
  EXPECT_EQ(back.cwd, q.cwd);
  EXPECT_EQ(back.args, q.args);
  EXPECT_EQ(back.unit, q.unit);
  EXPECT_EQ(back.group, q.group);
  EXPECT_EQ(back.options.values, true);
  EXPECT_EQ(back.options.memory, true);
  EXPECT_EQ(back.options.counters, false);
  EXPECT_EQ(back.options.exec, false);
  EXPECT_EQ(back.options.target.access, CounterTarget::Access::kTable);
  EXPECT_EQ(back.options.target.increment, CounterTarget::Increment::kI386);
  EXPECT_TRUE(back.options.target.preserve_most);
  EXPECT_TRUE(back.options.target.entry_stub);
  EXPECT_TRUE(back.options.target.unoptimized);
}

TEST(ResultWire, ShortLongOrDamagedBytesNeverDecode) {
  const std::string bytes = EncodeResult(Rich());
  InstrumentResult r;
  for (size_t n = 0; n < bytes.size(); ++n) {
    EXPECT_FALSE(DecodeResult(bytes.substr(0, n), &r)) << "cut at " << n;
  }
  EXPECT_FALSE(DecodeResult(bytes + '\0', &r));
  std::string bad_bool = bytes;
  bad_bool[0] = 2;
  EXPECT_FALSE(DecodeResult(bad_bool, &r));
  // A length far past the end (the error string's).
  std::string huge = bytes;
  huge[8] = '\x7f';
  EXPECT_FALSE(DecodeResult(huge, &r));

  InstrumentRequest q;
  std::string req = EncodeRequest(q);
  InstrumentRequest back;
  EXPECT_FALSE(DecodeRequest(req.substr(0, req.size() - 1), &back));
  // An access mode this build does not know.
  std::string unknown = req;
  unknown[unknown.size() - 5] = 9;
  EXPECT_FALSE(DecodeRequest(unknown, &back));
}

}  // namespace
