// The text qelcc inserts for the coverage probes: every call of QelNode,
// QelExp and the condition string helpers that the rewriter places is
// spelled here; the rewriter decides where each piece goes, and declares the
// probes at the top of the text. (U: unit id, G: group id.)
#ifndef QELCC_PROBE_TEXT_H
#define QELCC_PROBE_TEXT_H

#include <string>

namespace qelcc {

class ProbeText {
 public:
  ProbeText(int unit, int group) : unit_(unit), group_(group) {}

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

 private:
  std::string Node(int node) const;
  std::string u() const { return std::to_string(unit_); }
  std::string g() const { return std::to_string(group_); }
  int unit_, group_;
};

}  // namespace qelcc

#endif
