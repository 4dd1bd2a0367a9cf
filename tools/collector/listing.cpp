#include "listing.hpp"

#include <algorithm>
#include <fstream>

namespace qelc {

const std::string& SourceListing::line(int n) const {
  static const std::string kNone;
  return n >= 1 && n <= static_cast<int>(text.size()) ? text[static_cast<std::size_t>(n - 1)]
                                                      : kNone;
}

SourceListing readListing(const FileCov& f) {
  SourceListing s;
  std::ifstream in(f.path);
  for (std::string l; std::getline(in, l);) s.text.push_back(l);
  const int n = static_cast<int>(s.text.size());
  for (int l = 1; l <= n; ++l) s.lines.push_back(l);
  std::vector<int> beyond;
  for (const auto& [l, c] : f.lines)
    if (l > n) beyond.push_back(l);
  for (const auto& d : f.decisions)
    if (d.range.line > n) beyond.push_back(d.range.line);
  std::sort(beyond.begin(), beyond.end());
  beyond.erase(std::unique(beyond.begin(), beyond.end()), beyond.end());
  s.lines.insert(s.lines.end(), beyond.begin(), beyond.end());
  return s;
}

}  // namespace qelc
