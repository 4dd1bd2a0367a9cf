#include "mcdc.hpp"

#include <algorithm>

namespace qelc {

DecisionAnalysis analyseDecision(std::vector<McdcVector> vectors) {
  DecisionAnalysis a;
  std::sort(vectors.begin(), vectors.end(), [](const McdcVector& x, const McdcVector& y) {
    const std::string tx = codesText(x.codes), ty = codesText(y.codes);
    return tx != ty ? tx < ty : x.outcome < y.outcome;
  });
  for (const auto& v : vectors)
    for (int i = 0; i < kMaxWideConditions; ++i)
      if (slotCode(v.codes, i) != CondCode::Unset) a.conditions = std::max(a.conditions, i + 1);
  a.vectors = std::move(vectors);
  a.conds.resize(static_cast<std::size_t>(a.conditions));
  const int nv = static_cast<int>(a.vectors.size());
  for (int c = 0; c < a.conditions; ++c) {
    ConditionResult& r = a.conds[static_cast<std::size_t>(c)];
    for (const auto& v : a.vectors) {
      r.trueSeen = r.trueSeen || slotCode(v.codes, c) == CondCode::True;
      r.falseSeen = r.falseSeen || slotCode(v.codes, c) == CondCode::False;
    }
    for (int x = 0; x < nv && !r.pair; ++x) {
      for (int y = x + 1; y < nv && !r.pair; ++y) {
        const McdcVector& u = a.vectors[static_cast<std::size_t>(x)];
        const McdcVector& v = a.vectors[static_cast<std::size_t>(y)];
        const CondCode uc = slotCode(u.codes, c), vc = slotCode(v.codes, c);
        if (!evaluated(uc) || !evaluated(vc) || uc == vc || u.outcome == v.outcome) continue;
        bool others = true;
        for (int j = 0; j < a.conditions && others; ++j) {
          if (j == c) continue;
          const CondCode uj = slotCode(u.codes, j), vj = slotCode(v.codes, j);
          others = !(evaluated(uj) && evaluated(vj) && uj != vj);
        }
        if (others) {
          r.pair = true;
          r.first = x;
          r.second = y;
        }
      }
    }
    if (r.pair) ++a.pairs;
  }
  return a;
}

std::string vectorColumns(const Codes& codes, int width) {
  std::string s;
  for (int i = 0; i < width && i < kMaxWideConditions; ++i) {
    if (i) s += ' ';
    const CondCode c = slotCode(codes, i);
    s += c == CondCode::True ? 'T' : c == CondCode::False ? 'F' : '-';
  }
  return s;
}

}  // namespace qelc
