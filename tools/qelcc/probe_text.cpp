#include "probe_text.h"

namespace qelcc {

std::string ProbeText::Node(int node) const {
  return "QelNode(" + u() + ", " + std::to_string(node) + ", 0)";
}

std::string ProbeText::NodeStatement(int node) const { return Node(node) + "; "; }

std::string ProbeText::NodeDeclaration(int node) const {
  return "int __qel_n" + std::to_string(node) + " __attribute__((unused)) = " + Node(node) + "; ";
}

std::string ProbeText::NodeInExpression(int node) const { return "(void)" + Node(node) + ", "; }

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
         std::to_string(decision) + ", " + cs + ", " + g() + ", " + value + ") ? (void)" +
         Node(true_arm) + " : (void)" + Node(false_arm) + "; " + t + "; }))";
}

}  // namespace qelcc
