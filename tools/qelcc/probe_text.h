// The text qelcc inserts for the coverage probes: every call of QelNode,
// QelExp and the condition string helpers that the rewriter places, and
// every counter it increments, is spelled here; the rewriter decides where
// each piece goes, and declares the probes at the top of the text. (U: unit
// id, G: group id.)
//
// Two forms. Events: each node and condition calls into the runtime
// (QelNode, QelExp), as qelcc --events does. Counters (the default): the
// function finds its thread's block of counters once, at entry
// (`__qel_ctr* const __qel_b = __qel_e();`, then the entry node's
// increment), a node adds 1 to its counter (K = node id - 1: on x86 one
// `add` at __qel_b + 8K, on other targets a relaxed atomic load and store of
// `__qel_b[K]`), and a decision counted by
// paths builds its path index in `__qel_p[slot]` as its conditions are
// evaluated, then adds 1 to the counter of that path.
#ifndef QELCC_PROBE_TEXT_H
#define QELCC_PROBE_TEXT_H

#include <string>
#include <vector>

namespace qelcc {

struct CounterTarget;

class ProbeText {
 public:
  ProbeText(int unit, int group, bool counters = false)
      : unit_(unit), group_(group), counters_(counters) {}

  bool counters() const { return counters_; }
  // Counters are incremented as the target's increment, written out in
  // place: a call of an inline helper at each of them costs gcc several
  // times the increment itself, at -O0 most of all.
  void UseTarget(const CounterTarget& target);

  // At the start of a function's body: its entry node, as a declaration.
  std::string Entry(int node) const;

  // A node passed as a statement: `QelNode(U, N, 0); `.
  std::string NodeStatement(int node) const;
  // A node passed as a declaration, which C90 allows before the other
  // statements of a block: `int __qel_nN __attribute__((unused)) = ...;`.
  std::string NodeDeclaration(int node) const;
  // A node passed inside an expression, before the operand it precedes:
  // `(void)QelNode(U, N, 0), `.
  std::string NodeInExpression(int node) const;

  // One condition string per decision of a function: ` int __qel_cs[K][2];`.
  std::string ConditionStrings(int count) const;
  // The string of decision slot k, or the null string of a decision too wide
  // for one.
  std::string StringOf(int slot) const;

  // Around a decision's controlling expression: its outcome record, its
  // MC/DC record with the string `cs`, and the value 0/1 that C gives && and
  // ||. `node` > 0: that node is passed first (a do-while condition).
  std::string DecisionOpen(int node, const std::string& cs, int cond_id, int decision) const;
  std::string DecisionClose() const;

  // Around a leaf condition with evaluation index `index`: its own condition
  // record and its slot in the string (`cs` null: the record only).
  std::string LeafOpen(const std::string& cs, int index, int cond_id) const;
  std::string LeafClose() const;

  // Around a `?:` decision already wrapped: the node of the arm that runs,
  // leaving both arms' values untouched.
  std::string ArmsOpen() const;
  std::string ArmsClose(int true_arm, int false_arm) const;

  // `c ?: b` (GNU): the condition's value is the result when it holds, so
  // it is kept in a temporary of its own type and recorded from there.
  // `leaf`: the condition is one leaf, recorded as condition `leaf_cond`
  // with index 0; otherwise its leaves record themselves. `plus_zero`: the
  // condition is a bit-field, whose type a temporary cannot take as it is.
  std::string GnuTernaryOpen(int decision, const std::string& cs, bool leaf) const;
  std::string GnuTernaryClose(int decision, const std::string& cs, int cond_id, bool leaf,
                              bool plus_zero, int leaf_cond, int true_arm, int false_arm) const;

  // ---- Decisions counted by paths (the counters form) ----
  // One path index per such decision of a function: ` unsigned __qel_p[K];`.
  std::string PathIndices(int count) const;
  // Around the decision: its index starts at 0; at the end, the counter of
  // path __qel_p[slot] of the decision's counters (`first` past the nodes')
  // adds 1 and the value is the int 0/1 that C gives && and ||. `node` > 0:
  // that node is passed first (a do-while condition).
  std::string PathOpen(int node, int slot, unsigned first) const;
  std::string PathClose(int slot, unsigned first) const;
  // Around a decision of one condition, which needs no index: path counter
  // `taken` (past the nodes') adds 1 when it holds, `not_taken` when not.
  std::string OneLeafOpen(int node, unsigned taken, unsigned not_taken) const;
  std::string OneLeafClose(unsigned taken, unsigned not_taken) const;
  // An `if` at -O0 counts its outcome at the start of the arm that runs
  // (an `else` added for the purpose): each arm is then one increment of a
  // known counter, where a count inside the condition needs a statement
  // expression and a temporary, which -O0 compiles at twice the cost.
  // So does clang at -O0 (volatile increments), for which each `?:`
  // compiles to branches of its own.
  bool CountsIfInArms() const;
  // The arm's increment (`;` included) of counter `counter` (past the
  // nodes'), or of path __qel_p[slot] of the decision's counters.
  std::string ArmIncrement(unsigned counter) const;
  std::string PathArmIncrement(int slot, unsigned first) const;
  // Around such a decision of several leaves: its index starts at 0.
  std::string PathArmsIndexOpen(int slot) const;
  std::string PathArmsIndexClose() const;
  // Around a leaf condition: a false value adds `increment` to the index.
  std::string PathLeafOpen() const;
  std::string PathLeafClose(int slot, unsigned increment) const;
  // Around a `?:` decision whose arms' nodes count themselves (none when the
  // decision counts them).
  std::string PathArmsClose(int true_arm, int false_arm) const;
  // `c ?: b` counted by paths (see GnuTernaryOpen/Close; `leaf`: one leaf,
  // whose two paths are 0 (true) and 1 (false); `arms`: whether the arms'
  // nodes are counted here, rather than by the decision).
  std::string PathGnuTernaryOpen(int decision, int slot, bool leaf) const;
  std::string PathGnuTernaryClose(int decision, int slot, unsigned first, bool leaf, bool plus_zero,
                                  bool arms, int true_arm, int false_arm) const;

 private:
  std::string Node(int node) const;
  // The node as an expression of type void.
  std::string NodeVoid(int node) const;
  std::string Counter(int node) const;  // `K`, the node's counter
  // The increment of the counter at `offset` (a constant expression) plus
  // `index` (an unsigned expression, or "" for none) of the function's block
  // __qel_b, as a statement (no `;`), and as an expression of type int whose
  // value is `value`.
  std::string Increment(const std::string& offset, const std::string& index) const;
  std::string IncrementValue(const std::string& offset, const std::string& index, int value) const;
  std::string u() const { return std::to_string(unit_); }
  std::string g() const { return std::to_string(group_); }
  int unit_, group_;
  bool counters_;
  // Volatile increments are expressions: no statement expression around
  // them.
  bool ExpressionIncrements() const;
  int increment_ = 2;  // CounterTarget::Increment, kAtomic by default
  bool unoptimized_ = false;
  bool entry_stub_ = false;
  bool no_unused_marks_ = false;
  // Whether a decision counted by paths is counted by one increment, whose
  // index is its path, and not by one on each side of a conditional.
  bool OneIncrement(unsigned taken, unsigned not_taken) const;
};

// How a counted unit reaches its thread's block and increments a counter,
// chosen by the target.
struct CounterTarget {
  enum class Access {
    kUnitTls,  // a thread-local pointer of the unit's own (executables)
    kTable,    // the runtime's exported thread-local table (shared objects)
    kCall,     // QelCounterTable() (Windows: no exported thread-local variable)
  };
  enum class Increment {
    kX86_64,    // one `add` on memory, addressed from the block's register
    kI386,      // the same on 32-bit counters
    kAtomic,    // a relaxed atomic load and store
    kVolatile,  // a volatile load and store (x86, clang at -O0: see IncrementOf)
  };
  Access access = Access::kUnitTls;
  Increment increment = Increment::kAtomic;
  // clang: the runtime's first-call path keeps every general register
  // (preserve_most), so no function saves registers for it; gcc moves that
  // path out of line instead (cold).
  bool preserve_most = false;
  // gcc on x86-64, a program's own pointer: the entry finds the block in one
  // assembly statement whose rare path calls a stub that keeps every
  // register and the vector state. To the compiler the entry is then no
  // call at all: no frame, no saved registers, no cold copy of each
  // function; a third of the time gcc spends on the inserted text goes.
  bool entry_stub = false;
  // gcc at -O0 (its default), no function asking for more: no pass moves a
  // load or a store, so the increments need not name the dummy that keeps
  // them in order with the function's own; and the block's pointer is a
  // register variable, which -O0 keeps in a register instead of loading it
  // from the stack for every increment. On x86-64 the two take what 3,000
  // increments cost cc1 at -O0 from 518 M instructions to 286 M.
  bool unoptimized = false;
  // x86-64 ELF in AT&T syntax, no link-time optimisation: the registration's
  // tables are assembler data, which the compiler passes on as one string,
  // instead of C initializers, which cost gcc about 12,000 instructions an
  // element (cJSON.c's 4,700 elements: 52 M of cc1's at -O0).
  bool assembly_tables = false;
  // clang warns where something marked unused is used
  // (-Wused-but-marked-unused): nothing the inserted code uses is marked so;
  // what a unit may not use is used where nothing can warn.
  bool no_unused_marks = false;
};

// What a counted unit declares at its top: the registration ABI, the helpers
// its inserted code calls, the tables' forward declarations, and `__qel_N`,
// its number of nodes (decisions' counters follow the nodes').
std::string CounterPrelude(const CounterTarget& target, int nodes);

// One decision counted by paths, as the registration describes it.
struct CounterDecision {
  int decision = 0, cond = 0;
  std::vector<int> leaf_conds;
  std::vector<unsigned char> next;  // 2 per leaf
  unsigned paths = 0;
  unsigned first = 0;  // past the nodes'
  int true_node = 0, false_node = 0;
};

// The unit's descriptor and registration, after its text (they carry the
// unit's identity, a hash of that text).
std::string CounterRegistration(int unit, int group, unsigned long long identity, int nodes,
                                const std::vector<CounterDecision>& decisions,
                                bool assembly_tables = false);

}  // namespace qelcc

#endif
