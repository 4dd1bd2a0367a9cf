#include "probe_text.h"

#include "qelmq/protocol/counters.h"
#include "qelmq/protocol/probe_decls.h"

namespace qelcc {

std::string ProbeText::Node(int node) const {
  return "QelNode(" + u() + ", " + std::to_string(node) + ", 0)";
}

std::string ProbeText::Counter(int node) const { return "__qel_b + " + std::to_string(node - 1); }

std::string ProbeText::NodeVoid(int node) const {
  return counters_ ? "__qel_i(" + Counter(node) + ")" : "(void)" + Node(node);
}

std::string ProbeText::NodeStatement(int node) const { return NodeVoid(node) + "; "; }

std::string ProbeText::NodeDeclaration(int node) const {
  return "int __qel_n" + std::to_string(node) + " __attribute__((unused)) = " +
         (counters_ ? "__qel_f(" + Counter(node) + ")" : Node(node)) + "; ";
}

std::string ProbeText::NodeInExpression(int node) const { return NodeVoid(node) + ", "; }

std::string ProbeText::Entry(int node) const {
  if (!counters_) return NodeDeclaration(node);
  return "__qel_ctr* const __qel_b __attribute__((unused)) = __qel_e(" + std::to_string(node - 1) +
         "); ";
}

std::string ProbeText::ConditionStrings(int count) const {
  return " int __qel_cs[" + std::to_string(count) + "][2];";
}

std::string ProbeText::StringOf(int slot) const {
  return slot < 0 ? "(int*)0" : "__qel_cs[" + std::to_string(slot) + "]";
}

std::string ProbeText::DecisionOpen(int node, const std::string& cs, int cond_id,
                                    int decision) const {
  std::string open = "(";
  if (node > 0) open += NodeInExpression(node);
  if (cs != StringOf(-1)) open += "(void)QelStringInit(" + cs + "), ";
  return open + "QelExp(" + u() + ", " + std::to_string(cond_id) + ", " + std::to_string(decision) +
         ", " + cs + ", " + g() + ", !!(";
}

std::string ProbeText::DecisionClose() const { return ")))"; }

std::string ProbeText::LeafOpen(const std::string& cs, int index, int cond_id) const {
  if (cs == StringOf(-1)) {
    return "QelExp(" + u() + ", " + std::to_string(cond_id) + ", 0, (int*)0, " + g() + ", !!(";
  }
  return "__qel_c(" + cs + ", " + std::to_string(index) + ", " + u() + ", " +
         std::to_string(cond_id) + ", " + g() + ", !!(";
}

std::string ProbeText::LeafClose() const { return "))"; }

std::string ProbeText::ArmsOpen() const { return "("; }

std::string ProbeText::ArmsClose(int true_arm, int false_arm) const {
  return " ? (" + NodeInExpression(true_arm) + "1) : (" + NodeInExpression(false_arm) + "0))";
}

std::string ProbeText::GnuTernaryOpen(int decision, const std::string& cs, bool leaf) const {
  std::string open = "(__extension__ ({ __auto_type __qel_t" + std::to_string(decision) + " = (";
  if (!leaf && cs != StringOf(-1)) open += "(void)QelStringInit(" + cs + "), (";
  return open;
}

std::string ProbeText::GnuTernaryClose(int decision, const std::string& cs, int cond_id, bool leaf,
                                       bool plus_zero, int leaf_cond, int true_arm,
                                       int false_arm) const {
  const std::string t = "__qel_t" + std::to_string(decision);
  std::string close;
  std::string value;
  if (leaf) {
    close = plus_zero ? ") + 0" : ")";
    if (cs != StringOf(-1)) close += "; (void)QelStringInit(" + cs + ")";
    value = LeafOpen(cs, 0, leaf_cond) + t + LeafClose();
  } else {
    close = cs != StringOf(-1) ? "))" : ")";
    value = "!!" + t;
  }
  return close + "; QelExp(" + u() + ", " + std::to_string(cond_id) + ", " +
         std::to_string(decision) + ", " + cs + ", " + g() + ", " + value + ") ? " +
         NodeVoid(true_arm) + " : " + NodeVoid(false_arm) + "; " + t + "; }))";
}

// ---- Decisions counted by paths ---------------------------------------------

namespace {
std::string PathIndex(int slot) { return "__qel_p[" + std::to_string(slot) + "]"; }
std::string PathCounter(int slot, unsigned first) {
  return "__qel_b + (__qel_N + " + std::to_string(first) + ") + " + PathIndex(slot);
}
}  // namespace

std::string ProbeText::PathIndices(int count) const {
  return " unsigned __qel_p[" + std::to_string(count) + "];";
}

std::string ProbeText::PathOpen(int node, int slot) const {
  std::string open = "(";
  if (node > 0) open += NodeInExpression(node);
  return open + PathIndex(slot) + " = 0, (";
}

std::string ProbeText::PathClose(int slot, unsigned first) const {
  return ") ? __qel_t(" + PathCounter(slot, first) + ") : __qel_f(" + PathCounter(slot, first) +
         "))";
}

std::string ProbeText::PathLeafOpen() const { return "(("; }

std::string ProbeText::PathLeafClose(int slot, unsigned increment) const {
  return ") ? 1 : (" + PathIndex(slot) + " += " + std::to_string(increment) + "u, 0))";
}

std::string ProbeText::PathArmsClose(int true_arm, int false_arm) const {
  return ArmsClose(true_arm, false_arm);
}

std::string ProbeText::PathGnuTernaryOpen(int decision, int slot, bool leaf) const {
  std::string open = "(__extension__ ({ __auto_type __qel_t" + std::to_string(decision) + " = (";
  if (!leaf) open += PathIndex(slot) + " = 0, (";
  return open;
}

std::string ProbeText::PathGnuTernaryClose(int decision, int slot, unsigned first, bool leaf,
                                           bool plus_zero, bool arms, int true_arm,
                                           int false_arm) const {
  const std::string t = "__qel_t" + std::to_string(decision);
  const std::string base = "__qel_b + (__qel_N + " + std::to_string(first) + ")";
  std::string close;
  std::string count;
  if (leaf) {
    // One leaf: path 0 when it holds, path 1 when it does not.
    close = plus_zero ? ") + 0" : ")";
    count = "(" + t + " ? __qel_t(" + base + ") : __qel_f(" + base + " + 1))";
  } else {
    close = "))";
    count = "(" + t + " ? __qel_t(" + PathCounter(slot, first) + ") : __qel_f(" +
            PathCounter(slot, first) + "))";
  }
  const std::string record =
      arms ? count + " ? " + NodeVoid(true_arm) + " : " + NodeVoid(false_arm) : "(void)" + count;
  return close + "; " + record + "; " + t + "; }))";
}

// ---- The counted unit's declarations and registration ----------------------

std::string CounterPrelude(const CounterTarget& target, int nodes) {
  std::string p = QEL_COUNTERS_DECLARATION_TEXT;
#define QELCC_COUNTER_FUNCTION(result, name, params) p += QEL_PROBE_DECL_TEXT(result, name, params);
  QEL_COUNTER_FUNCTIONS(QELCC_COUNTER_FUNCTION)
#undef QELCC_COUNTER_FUNCTION
  if (target.access == CounterTarget::Access::kTable) p += " " QEL_COUNTER_TABLE_DECLARATION_TEXT;
  p += " enum { __qel_N = " + std::to_string(nodes) + " };";
  p += " static struct __qel_reg __qel_r;";
  if (target.access == CounterTarget::Access::kUnitTls)
    p += " static __thread __qel_ctr* __qel_bt __attribute__((tls_model(\"initial-exec\")));";
  // Inlined at every optimisation level: a call per counter would cost more
  // than the count.
  const std::string helper = " static __inline__ __attribute__((always_inline, unused)) ";
  switch (target.increment) {
    case CounterTarget::Increment::kX86_64:
      // One instruction: never torn, never kept in a register past the next
      // statement (a crash loses nothing), invisible to the thread sanitizer
      // (only this thread writes the block). Both assembler dialects.
      p += helper +
           "void __qel_i(__qel_ctr* p) { __asm__ __volatile__(\"add{q $1, %0|\t%0, 1}\" "
           ": \"+m\" (*p)); }";
      break;
    case CounterTarget::Increment::kI386:
      p += helper +
           "void __qel_i(__qel_ctr* p) { __asm__ __volatile__(\"add{l $1, %0|\t%0, 1}\" "
           ": \"+m\" (*p)); }";
      break;
    case CounterTarget::Increment::kAtomic:
      // Relaxed (0): the same guarantees on any target, at the cost of a
      // load and a store.
      p += helper +
           "void __qel_i(__qel_ctr* p) { __atomic_store_n(p, __atomic_load_n(p, 0) + 1, 0); }";
      break;
  }
  p += helper + "int __qel_t(__qel_ctr* p) { __qel_i(p); return 1; }";
  p += helper + "int __qel_f(__qel_ctr* p) { __qel_i(p); return 0; }";
  // The first call of a thread into the unit asks the runtime, out of line
  // and marked cold: the compiler then keeps the saving of registers that
  // the call needs off the path of every other call.
  p += target.preserve_most ? " static __attribute__((noinline, cold, unused, preserve_most))"
                            : " static __attribute__((noinline, cold, unused))";
  p += " __qel_ctr* __qel_s(void) { return QelCounterBlock(&__qel_r, ";
  p += target.access == CounterTarget::Access::kUnitTls ? "&__qel_bt); }" : "(__qel_ctr**)0); }";
  p += helper + "__qel_ctr* __qel_e(unsigned k) {";
  switch (target.access) {
    case CounterTarget::Access::kUnitTls:
      p += " __qel_ctr* b = __qel_bt;";
      break;
    case CounterTarget::Access::kTable:
    case CounterTarget::Access::kCall:
      p += target.access == CounterTarget::Access::kTable ? " __qel_ctr** t = __qel_tls;"
                                                          : " __qel_ctr** t = QelCounterTable();";
      p += " __qel_ctr* b = t ? t[__qel_r.slot] : (__qel_ctr*)0;";
      break;
  }
  p += " if (__builtin_expect(b == 0, 0)) b = __qel_s();";
  p += " __qel_i(b + k); return b; }";
  return p;
}

std::string CounterRegistration(int unit, int group, unsigned long long identity, int nodes,
                                const std::vector<CounterDecision>& decisions) {
  unsigned counters = static_cast<unsigned>(nodes);
  for (const CounterDecision& d : decisions) counters += d.paths;
  std::string r;
  for (size_t i = 0; i < decisions.size(); ++i) {
    const CounterDecision& d = decisions[i];
    const std::string n = std::to_string(i);
    r += "static const unsigned short __qel_lc" + n + "[] = {";
    for (size_t k = 0; k < d.leaf_conds.size(); ++k)
      r += (k ? ", " : "") + std::to_string(d.leaf_conds[k]);
    r += "};\nstatic const unsigned char __qel_nx" + n + "[] = {";
    for (size_t k = 0; k < d.next.size(); ++k) r += (k ? ", " : "") + std::to_string(d.next[k]);
    r += "};\n";
  }
  if (!decisions.empty()) {
    r += "static const struct __qel_decision __qel_ds[] = {\n";
    for (size_t i = 0; i < decisions.size(); ++i) {
      const CounterDecision& d = decisions[i];
      const std::string n = std::to_string(i);
      r += "  {" + std::to_string(d.decision) + ", " + std::to_string(d.cond) + ", " +
           std::to_string(d.leaf_conds.size()) + ", " + std::to_string(d.paths) + ", " +
           std::to_string(nodes + d.first) + "u, " + std::to_string(d.true_node) + ", " +
           std::to_string(d.false_node) + ", __qel_lc" + n + ", __qel_nx" + n + "},\n";
    }
    r += "};\n";
  }
  r += "static const struct __qel_unit __qel_u = {" + std::to_string(QEL_COUNTERS_ABI) + "u, " +
       std::to_string(unit) + ", " + std::to_string(group) + ", " +
       std::to_string(identity & 0xFFFFFFFFull) + "u, " + std::to_string(identity >> 32) + "u, " +
       std::to_string(nodes) + "u, " + std::to_string(counters) + "u, " +
       std::to_string(decisions.size()) + "u, " +
       (decisions.empty() ? "(const struct __qel_decision*)0" : "__qel_ds") + "};\n";
  r += "static __qel_ctr __qel_sh[" + std::to_string(counters) + "];\n";
  r += "static struct __qel_reg __qel_r = {&__qel_u, __qel_sh, 0u, (void*)0};\n";
  r += "static void __qel_on(void) __attribute__((constructor, used));\n"
       "static void __qel_on(void) { QelCounterRegister(&__qel_r); }\n"
       "static void __qel_off(void) __attribute__((destructor, used));\n"
       "static void __qel_off(void) { QelCounterUnregister(&__qel_r); }\n";
  return r;
}

}  // namespace qelcc
