#include "probe_text.h"

#include "qelmq/protocol/counters.h"
#include "qelmq/protocol/probe_decls.h"

namespace qelcc {

std::string ProbeText::Node(int node) const {
  return "QelNode(" + u() + ", " + std::to_string(node) + ", 0)";
}

namespace {

// One counter's increment: the counter `offset` (a constant expression) of
// the block at `base`, plus `index` (an unsigned expression, or none), all
// without side effects.
//
// On x86 one `add` instruction, addressed as base register + index
// register + displacement. Had the asm named its counter as a memory
// operand ("+m" on base[offset + index]), gcc would work out, keep and
// check an address for each increment. It names only `__qel_o`, a dummy of
// the unit's own whose address needs no register, and writes the counter
// it does not name; that is sound here because:
// - only the block's own thread writes it, and only through these asms;
// - nothing in the instrumented function reads the block: no load the
//   compiler could take from a stale copy, no store it could merge with an
//   increment;
// - the runtime reads a block only through a call (the block's thread ends,
//   exits, forks, execs or unloads a library: all calls), from its crash
//   handler, or from another thread once the owner is gone;
// - a volatile asm is never deleted or merged, is duplicated only along
//   paths (each path still runs it once), and stays in order with the other
//   volatile asms and with calls: gcc and clang both take it to have side
//   effects and schedule no instruction across it (clang also takes it to
//   touch any memory). So each increment has run, in the program's order,
//   before any call after it and before a fault in a later instruction;
// - longjmp finds every increment done or not, never held in a register.
// Why name the dummy at all: gcc's tree passes move loads and stores across
// an asm that names no memory. A load that both arms of a branch make is
// made once above the branch, before the counts of the decision and of the
// arm, and a crash in that load would lose them. One memory operand keeps
// loads and stores in order with every increment, as naming each counter
// did. (cc1 on cJSON.c at -O2: 3.02 G instructions with each counter
// named, 2.77 G with the dummy, 2.79 G with the block's first counter in
// its place (and at -O0 a second load of the base for it), 2.55 G with no
// memory named; 2.04 G plain.) The dummy is an output only ("=m"): to the
// tree passes that is a store all the same, which keeps the order, and gcc
// no longer carries the dummy's value from one increment to the next
// (2.73 G to 2.68 G on the same text, the next statements' counters
// already left out).
//
// The displacement is a 32-bit immediate: 2^28 counters a unit, far beyond
// any unit's nodes and paths. Both assembler dialects ({AT&T|Intel}).
std::string IncrementOf(CounterTarget::Increment kind, const std::string& base,
                        const std::string& offset, const std::string& index = "",
                        bool ordered = true) {
  const bool wide = kind == CounterTarget::Increment::kX86_64;
  const std::string size = wide ? "8" : "4";
  switch (kind) {
    case CounterTarget::Increment::kX86_64:
    case CounterTarget::Increment::kI386: {
      const std::string add = wide ? "add{q $1, " : "add{l $1, ";
      const std::string ptr = wide ? "QWORD PTR [%" : "DWORD PTR [%";
      // Operands: [the dummy,] the base, [the index,] the displacement.
      const int b = ordered ? 1 : 0;
      const std::string reg = "%" + std::to_string(b);
      const std::string disp = "%c" + std::to_string(b + (index.empty() ? 1 : 2));
      const std::string order = ordered ? "\" : \"=m\" (__qel_o) : " : "\" : : ";
      // A displacement known here is written as one number, which gcc
      // need not fold.
      const bool number =
          !offset.empty() && offset.find_first_not_of("0123456789") == std::string::npos;
      const std::string displacement =
          number ? "\"i\" (" + std::to_string(std::stoull(offset) * (wide ? 8 : 4)) + "))"
                 : "\"i\" ((" + offset + ") * " + size + "))";
      if (index.empty())
        return "__asm__ __volatile__(\"" + add + disp + "(" + reg + ")|\t" + ptr +
               std::to_string(b) + "+" + disp + "], 1}" + order + "\"r\" (" + base + "), " +
               displacement;
      // The index as wide as the base register, which the address needs:
      // the counter type is size_t's width (unsigned long is 32 bits on
      // 64-bit Windows).
      const std::string idx = "%" + std::to_string(b + 1);
      return "__asm__ __volatile__(\"" + add + disp + "(" + reg + "," + idx + "," + size + ")|\t" +
             ptr + std::to_string(b) + "+" + idx + "*" + size + "+" + disp + "], 1}" + order +
             "\"r\" (" + base + "), \"r\" ((__qel_ctr)(" + index + ")), " + displacement;
    }
    case CounterTarget::Increment::kAtomic:
    case CounterTarget::Increment::kVolatile:
      break;
  }
  std::string p =
      base + " + " + (offset.find(' ') == std::string::npos ? offset : "(" + offset + ")");
  if (!index.empty()) p += " + " + index;
  // Unoptimised x86 code (clang at -O0): a volatile access is made where
  // the program makes it, in its order with every other access, each a
  // single load or store of a pointer-wide word, never torn. What the asm
  // above guarantees holds: the block's thread alone writes it; each
  // increment is done before the next statement, call or fault; nothing
  // is held in a register across a longjmp.
  if (kind == CounterTarget::Increment::kVolatile) return "++*(volatile __qel_ctr*)(" + p + ")";
  // Relaxed (0): on any target, at the cost of a load and a store, a
  // counter's increment is never torn and never held back from the runtime.
  return "__atomic_store_n(" + p + ", __atomic_load_n(" + p + ", 0) + 1, 0)";
}

// The entry of CounterTarget::entry_stub, its pointer left in `var`.
// Volatile: every entry reads the pointer again, as a call would (after
// fork the runtime clears it to be asked again).
// `count` >= 0: the same statement then also adds 1 to the counter at that
// byte offset of the block (at -O0 each asm statement costs gcc about what
// one of the program's statements does).
std::string StubEntryInto(const std::string& var, long long count = -1) {
  std::string text =
      "__asm__ __volatile__(\"movq __qel_bt@gottpoff(%%rip), %0\\n\\t"
      "movq %%fs:(%0), %0\\n\\ttestq %0, %0\\n\\tjnz 1f\\n\\tleaq -128(%%rsp), %%rsp\\n\\t"
      "call __qel_sx\\n\\tleaq 128(%%rsp), %%rsp\\n1:";
  if (count < 0) return text + "\" : \"=a\" (" + var + ") : : \"cc\");";
  return text + "\\n\\taddq $1, %c1(%0)\" : \"=a\" (" + var + ") : \"i\" (" +
         std::to_string(count) + ") : \"cc\");";
}

}  // namespace

void ProbeText::UseTarget(const CounterTarget& target) {
  increment_ = static_cast<int>(target.increment);
  unoptimized_ = target.unoptimized;
  entry_stub_ = target.entry_stub;
  no_unused_marks_ = target.no_unused_marks;
}

std::string ProbeText::Increment(const std::string& offset, const std::string& index) const {
  return IncrementOf(static_cast<CounterTarget::Increment>(increment_), "__qel_b", offset, index,
                     !unoptimized_);
}

std::string ProbeText::IncrementValue(const std::string& offset, const std::string& index,
                                      int value) const {
  if (ExpressionIncrements())
    return "((void)" + Increment(offset, index) + ", " + std::to_string(value) + ")";
  return "(__extension__ ({ " + Increment(offset, index) + "; " + std::to_string(value) + "; }))";
}

bool ProbeText::CountsIfInArms() const {
  return unoptimized_ || increment_ == static_cast<int>(CounterTarget::Increment::kVolatile);
}

bool ProbeText::ExpressionIncrements() const {
  return increment_ == static_cast<int>(CounterTarget::Increment::kVolatile);
}

std::string ProbeText::Counter(int node) const { return std::to_string(node - 1); }

std::string ProbeText::NodeVoid(int node) const {
  if (counters_ && ExpressionIncrements()) return "((void)(" + Increment(Counter(node), "") + "))";
  return counters_ ? "(__extension__ ({ " + Increment(Counter(node), "") + "; }))"
                   : "(void)" + Node(node);
}

std::string ProbeText::NodeStatement(int node) const {
  return counters_ ? Increment(Counter(node), "") + "; " : NodeVoid(node) + "; ";
}

std::string ProbeText::NodeDeclaration(int node) const {
  return "int __qel_n" + std::to_string(node) + " __attribute__((unused)) = " +
         (counters_ ? IncrementValue(Counter(node), "", 0) : Node(node)) + "; ";
}

// The left of every inserted comma is cast to void, which clang's -Wcomma
// asks for (a statement expression of type void is not enough).
std::string ProbeText::NodeInExpression(int node) const {
  const std::string v = NodeVoid(node);
  return (v.compare(0, 6, "(void)") == 0 || v.compare(0, 7, "((void)") == 0 ? v : "(void)" + v) +
         ", ";
}

std::string ProbeText::Entry(int node) const {
  if (!counters_) return NodeDeclaration(node);
  // The entry's own counter is incremented here, where its index is a
  // constant at every optimisation level, as the others are.
  const auto kind = static_cast<CounterTarget::Increment>(increment_);
  const bool in_register = unoptimized_ && kind == CounterTarget::Increment::kX86_64;
  // At -O0 gcc inlines even an always_inline function at a cost: the stub's
  // entry is written out in place (the stub implies 64-bit counters).
  if (unoptimized_ && entry_stub_ && kind == CounterTarget::Increment::kX86_64) {
    return "register __qel_ctr* const __qel_b __attribute__((unused)) = (__extension__ ({ "
           "register __qel_ctr* __qel_x; " +
           StubEntryInto("__qel_x", 8 * std::stoll(Counter(node))) + " __qel_x; })); ";
  }
  // A function may have no counter but its entry's: with nothing marked
  // unused, the block's pointer is used in a constant expression instead.
  return std::string(in_register ? "register " : "") + "__qel_ctr* const __qel_b" +
         (no_unused_marks_ ? "" : " __attribute__((unused))") +
         " = (__extension__ ({ "
         "__qel_ctr* const __qel_x = __qel_e(); " +
         IncrementOf(kind, "__qel_x", Counter(node), "", !unoptimized_) + "; __qel_x; })); " +
         (no_unused_marks_ ? "enum { __qel_bu = sizeof(__qel_b) }; " : "");
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
// The first counter of a decision's paths.
std::string PathBase(unsigned first) { return "__qel_N + " + std::to_string(first); }
}  // namespace

std::string ProbeText::PathIndices(int count) const {
  return " unsigned __qel_p[" + std::to_string(count) + "];";
}

// Optimised, gcc turns `c ? (count, 1) : (count, 0)` into one branch with a
// counter on each side, and the branch is the program's own. At -O0 it
// compiles what it is given: an asm and a statement expression for each
// side, the value kept in a temporary and tested again. There the outcome
// is kept in a variable named after the decision's first counter (unique in
// the unit, so no decision shadows another's) and one increment takes the
// path as its index: half the asms, no conditional. (cJSON.c: 670 of its
// 930 increments are decisions' sides.) The variable is a register
// variable, which -O0 would otherwise store and load again; it lives from
// the decision's end to its increment, so nested decisions' never overlap.
bool ProbeText::OneIncrement(unsigned taken, unsigned not_taken) const {
  return unoptimized_ && (taken + 1 == not_taken || not_taken + 1 == taken);
}

namespace {
std::string OutcomeOf(unsigned first) { return "__qel_v" + std::to_string(first); }
}  // namespace

std::string ProbeText::PathOpen(int node, int slot, unsigned first) const {
  std::string open = "(";
  if (node > 0) open += NodeInExpression(node);
  open += "(void)(" + PathIndex(slot) + " = 0), (";
  if (unoptimized_) open += "__extension__ ({ register int const " + OutcomeOf(first) + " = !!(";
  return open;
}

std::string ProbeText::PathClose(int slot, unsigned first) const {
  if (unoptimized_)
    return "); " + Increment(PathBase(first), PathIndex(slot)) + "; " + OutcomeOf(first) + "; })))";
  return ") ? " + IncrementValue(PathBase(first), PathIndex(slot), 1) + " : " +
         IncrementValue(PathBase(first), PathIndex(slot), 0) + ")";
}

std::string ProbeText::OneLeafOpen(int node, unsigned taken, unsigned not_taken) const {
  std::string open = "(";
  if (node > 0) open += NodeInExpression(node);
  // The variable holds the negated outcome: 0 when the condition holds.
  if (OneIncrement(taken, not_taken))
    return open + "(__extension__ ({ register __qel_ctr const " +
           OutcomeOf(taken < not_taken ? taken : not_taken) + " = !(";
  return open + "(";
}

std::string ProbeText::OneLeafClose(unsigned taken, unsigned not_taken) const {
  if (OneIncrement(taken, not_taken)) {
    const unsigned first = taken < not_taken ? taken : not_taken;
    const std::string v = OutcomeOf(first);
    return "); " + Increment(PathBase(first), taken < not_taken ? v : "!" + v) + "; !" + v +
           "; })))";
  }
  return ") ? " + IncrementValue(PathBase(taken), "", 1) + " : " +
         IncrementValue(PathBase(not_taken), "", 0) + ")";
}

std::string ProbeText::ArmIncrement(unsigned counter) const {
  return Increment(PathBase(counter), "") + "; ";
}

std::string ProbeText::PathArmIncrement(int slot, unsigned first) const {
  return Increment(PathBase(first), PathIndex(slot)) + "; ";
}

std::string ProbeText::PathArmsIndexOpen(int slot) const {
  return "((void)(" + PathIndex(slot) + " = 0), (";
}

std::string ProbeText::PathArmsIndexClose() const { return "))"; }

std::string ProbeText::PathLeafOpen() const { return "(("; }

std::string ProbeText::PathLeafClose(int slot, unsigned increment) const {
  return ") ? 1 : ((void)(" + PathIndex(slot) + " += " + std::to_string(increment) + "u), 0))";
}

std::string ProbeText::PathArmsClose(int true_arm, int false_arm) const {
  return ArmsClose(true_arm, false_arm);
}

std::string ProbeText::PathGnuTernaryOpen(int decision, int slot, bool leaf) const {
  std::string open = "(__extension__ ({ __auto_type __qel_t" + std::to_string(decision) + " = (";
  if (!leaf) open += "(void)(" + PathIndex(slot) + " = 0), (";
  return open;
}

std::string ProbeText::PathGnuTernaryClose(int decision, int slot, unsigned first, bool leaf,
                                           bool plus_zero, bool arms, int true_arm,
                                           int false_arm) const {
  const std::string t = "__qel_t" + std::to_string(decision);
  std::string close;
  std::string count;
  if (leaf) {
    // One leaf: path 0 when it holds, path 1 when it does not.
    close = plus_zero ? ") + 0" : ")";
    count = "(" + t + " ? " + IncrementValue(PathBase(first), "", 1) + " : " +
            IncrementValue(PathBase(first + 1), "", 0) + ")";
  } else {
    close = "))";
    count = "(" + t + " ? " + IncrementValue(PathBase(first), PathIndex(slot), 1) + " : " +
            IncrementValue(PathBase(first), PathIndex(slot), 0) + ")";
  }
  const std::string record =
      arms ? count + " ? " + NodeVoid(true_arm) + " : " + NodeVoid(false_arm) : "(void)" + count;
  return close + "; " + record + "; " + t + "; }))";
}

// ---- The counted unit's declarations and registration ----------------------

namespace {

// The stub and the entry for CounterTarget::entry_stub (x86-64, AT&T syntax,
// initial-exec thread-local pointer). The stub runs once per thread and
// unit: it saves the registers the calling convention lets a callee
// clobber, and the whole x87/SSE/AVX state with xsave (fxsave where the
// system does not enable xsave), so the entry may sit anywhere, with any
// value live; it lies in the unit's cold text and is local to the unit.
// The entry steps over the red zone before calling, since the function
// around it may keep data there.
std::string EntryStub() {
  static const char* const kStub[] = {
      ".pushsection .text.unlikely,\\\"ax\\\",@progbits",
      ".p2align 4",
      ".type __qel_sx, @function",
      "__qel_sx:",
      ".cfi_startproc",
      "pushq %rbp",
      ".cfi_def_cfa_offset 16",
      ".cfi_offset %rbp, -16",
      "movq %rsp, %rbp",
      ".cfi_def_cfa_register %rbp",
      "subq $8, %rsp",  // -8(%rbp): the block, across the restore
      "pushq %rbx",
      "pushq %rcx",
      "pushq %rdx",
      "pushq %rsi",
      "pushq %rdi",
      "pushq %r8",
      "pushq %r9",
      "pushq %r10",
      "pushq %r11",
      "movl $1, %eax",
      "cpuid",
      "btl $27, %ecx",  // OSXSAVE
      "jnc 1f",
      "movl $13, %eax",
      "xorl %ecx, %ecx",
      "cpuid",  // %ebx: the save area's size for the enabled state
      "subq %rbx, %rsp",
      "andq $-64, %rsp",
      "leaq 512(%rsp), %rdi",  // xrstor wants the header's reserved bytes zero
      "xorl %eax, %eax",
      "movl $64, %ecx",
      "rep stosb",
      "movl $-1, %eax",
      "movl $-1, %edx",
      "xsave (%rsp)",
      "call __qel_s",
      "movq %rax, -8(%rbp)",
      "movl $-1, %eax",
      "movl $-1, %edx",
      "xrstor (%rsp)",
      "jmp 2f",
      "1:",
      "subq $512, %rsp",
      "andq $-16, %rsp",
      "fxsave (%rsp)",
      "call __qel_s",
      "movq %rax, -8(%rbp)",
      "fxrstor (%rsp)",
      "2:",
      "leaq -80(%rbp), %rsp",
      "popq %r11",
      "popq %r10",
      "popq %r9",
      "popq %r8",
      "popq %rdi",
      "popq %rsi",
      "popq %rdx",
      "popq %rcx",
      "popq %rbx",
      "movq -8(%rbp), %rax",
      "leave",
      ".cfi_def_cfa %rsp, 8",
      "ret",
      ".cfi_endproc",
      ".size __qel_sx, .-__qel_sx",
      ".popsection",
  };
  std::string stub = " __asm__(\"";
  for (const char* line : kStub) stub += std::string(line) + "\\n";
  stub += "\");";
  stub +=
      " static __inline__ __attribute__((always_inline, unused)) __qel_ctr* __qel_e(void) {"
      " __qel_ctr* b; " +
      StubEntryInto("b") + " return b; }";
  return stub;
}

}  // namespace

std::string CounterPrelude(const CounterTarget& target, int nodes) {
  std::string p = QEL_COUNTERS_DECLARATION_TEXT;
#define QELCC_COUNTER_FUNCTION(result, name, params) p += QEL_PROBE_DECL_TEXT(result, name, params);
  QEL_COUNTER_FUNCTIONS(QELCC_COUNTER_FUNCTION)
#undef QELCC_COUNTER_FUNCTION
  if (target.access == CounterTarget::Access::kTable) p += " " QEL_COUNTER_TABLE_DECLARATION_TEXT;
  p += " enum { __qel_N = " + std::to_string(nodes) + " };";
  // The memory every x86 increment names (see IncrementOf); never written.
  if (target.increment == CounterTarget::Increment::kX86_64 ||
      target.increment == CounterTarget::Increment::kI386)
    p += target.no_unused_marks ? " static __qel_ctr __qel_o __attribute__((used));"
                                : " static __qel_ctr __qel_o __attribute__((unused));";
  p += " static struct __qel_reg __qel_r;";
  if (target.access == CounterTarget::Access::kUnitTls)
    p += " static __thread __qel_ctr* __qel_bt __attribute__((tls_model(\"initial-exec\")));";
  // Every function's entry calls __qel_e, which calls __qel_s.
  const std::string helper = target.no_unused_marks
                                 ? " static __inline__ __attribute__((always_inline)) "
                                 : " static __inline__ __attribute__((always_inline, unused)) ";
  // The first call of a thread into the unit asks the runtime, out of line
  // and marked cold: the compiler then keeps the saving of registers that
  // the call needs off the path of every other call.
  p += target.preserve_most && target.no_unused_marks
           ? " static __attribute__((noinline, cold, preserve_most))"
       : target.preserve_most   ? " static __attribute__((noinline, cold, unused, preserve_most))"
       : target.entry_stub      ? " static __attribute__((noinline, cold, used))"
       : target.no_unused_marks ? " static __attribute__((noinline, cold))"
                                : " static __attribute__((noinline, cold, unused))";
  p += " __qel_ctr* __qel_s(void) { return QelCounterBlock(&__qel_r, ";
  p += target.access == CounterTarget::Access::kUnitTls ? "&__qel_bt); }" : "(__qel_ctr**)0); }";
  if (target.entry_stub) {
    p += EntryStub();
    return p;
  }
  p += helper + "__qel_ctr* __qel_e(void) {";
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
  p += " return b; }";
  return p;
}

namespace {

// The tables as C initializers: every target.
std::string TablesInC(int nodes, const std::vector<CounterDecision>& decisions) {
  // Every decision's leaves and transitions in one array each, which the
  // decisions point into: a static array per decision costs gcc as much as
  // a statement of the program (cJSON.c: 664 arrays, 71 M of cc1's
  // instructions at -O0).
  std::string r, leaves, nexts;
  std::vector<size_t> leaf_at, next_at;
  size_t leaf_count = 0, next_count = 0;
  auto add = [](std::string* list, size_t* count, unsigned v) {
    *list += (*count ? (*count % 32 ? ", " : ",\n  ") : "  ") + std::to_string(v);
    ++*count;
  };
  for (const CounterDecision& d : decisions) {
    leaf_at.push_back(leaf_count);
    next_at.push_back(next_count);
    for (const int c : d.leaf_conds) add(&leaves, &leaf_count, static_cast<unsigned>(c));
    for (const unsigned char n : d.next) add(&nexts, &next_count, n);
  }
  if (leaf_count) r += "static const unsigned short __qel_lc[] = {\n" + leaves + "};\n";
  if (next_count) r += "static const unsigned char __qel_nx[] = {\n" + nexts + "};\n";
  r += "static const struct __qel_decision __qel_ds[] = {\n";
  for (size_t i = 0; i < decisions.size(); ++i) {
    const CounterDecision& d = decisions[i];
    const std::string leaf = d.leaf_conds.empty() ? "(const unsigned short*)0"
                                                  : "__qel_lc + " + std::to_string(leaf_at[i]);
    const std::string next =
        d.next.empty() ? "(const unsigned char*)0" : "__qel_nx + " + std::to_string(next_at[i]);
    r += "  {" + std::to_string(d.decision) + ", " + std::to_string(d.cond) + ", " +
         std::to_string(d.leaf_conds.size()) + ", " + std::to_string(d.paths) + ", " +
         std::to_string(nodes + d.first) + "u, " + std::to_string(d.true_node) + ", " +
         std::to_string(d.false_node) + ", " + leaf + ", " + next + "},\n";
  }
  r += "};\n";
  return r;
}

// The same tables as x86-64 ELF assembler data, laid out as the compiler
// lays out the structure (checked where the text is compiled). The labels
// are the assembler's local ones: nothing outside the object sees them, and
// no name of the program can clash with them.
std::string TablesInAssembly(int nodes, const std::vector<CounterDecision>& decisions) {
  std::string leaves, nexts, table;
  size_t leaf_count = 0, next_count = 0;
  auto add = [](std::string* list, size_t* count, const char* directive, unsigned v) {
    *list += (*count % 32 ? std::string(",") : std::string(*count ? "\\n" : "") + directive) +
             std::to_string(v);
    ++*count;
  };
  // The C initializer converts to the fields' types; so does this.
  auto u16 = [](long long v) { return std::to_string(static_cast<unsigned short>(v)); };
  for (const CounterDecision& d : decisions) {
    const std::string leaf =
        d.leaf_conds.empty() ? "0" : ".Lqel_lc+" + std::to_string(2 * leaf_count);
    const std::string next = d.next.empty() ? "0" : ".Lqel_nx+" + std::to_string(next_count);
    for (const int c : d.leaf_conds)
      add(&leaves, &leaf_count, ".short ", static_cast<unsigned short>(c));
    for (const unsigned char n : d.next) add(&nexts, &next_count, ".byte ", n);
    table += ".short " + u16(d.decision) + "," + u16(d.cond) + "," +
             u16(static_cast<long long>(d.leaf_conds.size())) + "," + u16(d.paths) + "\\n.long " +
             std::to_string(nodes + d.first) + "\\n.short " + u16(d.true_node) + "," +
             u16(d.false_node) + "\\n.quad " + leaf + "," + next + "\\n";
  }
  std::string r = "__asm__(\".pushsection .rodata,\\\"a\\\",@progbits\\n";
  if (leaf_count) r += ".p2align 1\\n.Lqel_lc:\\n" + leaves + "\\n";
  if (next_count) r += ".Lqel_nx:\\n" + nexts + "\\n";
  // Addresses in the table: relocated at load time when the object is
  // position-independent, so where the compiler puts such constants.
  r += ".popsection\\n.pushsection .data.rel.ro.local,\\\"aw\\\",@progbits\\n.p2align 3\\n"
       ".Lqel_ds:\\n" +
       table + ".popsection\");\n";
  r += "extern const struct __qel_decision __qel_ds[] __asm__(\".Lqel_ds\");\n";
  // A layout other than the one written above stops the compile, and the
  // unit is then built without probes, its reason recorded.
  r += "typedef char __qel_ds_layout[sizeof(struct __qel_decision) == 32 && "
       "__builtin_offsetof(struct __qel_decision, first) == 8 && "
       "__builtin_offsetof(struct __qel_decision, true_node) == 12 && "
       "__builtin_offsetof(struct __qel_decision, leaf) == 16 && "
       "__builtin_offsetof(struct __qel_decision, next) == 24 ? 1 : -1];\n";
  return r;
}

}  // namespace

std::string CounterRegistration(int unit, int group, unsigned long long identity, int nodes,
                                const std::vector<CounterDecision>& decisions,
                                bool assembly_tables) {
  unsigned counters = static_cast<unsigned>(nodes);
  for (const CounterDecision& d : decisions) counters += d.paths;
  std::string r;
  if (!decisions.empty())
    r += assembly_tables ? TablesInAssembly(nodes, decisions) : TablesInC(nodes, decisions);
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
