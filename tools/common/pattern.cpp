#include "qeltools/pattern.hpp"

#include <cctype>
#include <cstring>

namespace qeltools {
namespace {

constexpr std::size_t kNone = std::string::npos;

// Whether `c` is in the class "[:name:]"; false for a name that is no class.
bool inClass(const std::string& name, unsigned char c) {
  struct Class {
    const char* name;
    int (*test)(int);
  };
  static const Class kClasses[] = {{"alnum", isalnum}, {"alpha", isalpha}, {"blank", isblank},
                                   {"cntrl", iscntrl}, {"digit", isdigit}, {"graph", isgraph},
                                   {"lower", islower}, {"print", isprint}, {"punct", ispunct},
                                   {"space", isspace}, {"upper", isupper}, {"xdigit", isxdigit}};
  for (const Class& k : kClasses)
    if (name == k.name) return k.test(c) != 0;
  return false;
}

// One character of a set at `i`, a backslash quoting the next one.
unsigned char setChar(const std::string& pattern, std::size_t& i) {
  if (pattern[i] == '\\' && i + 1 < pattern.size()) ++i;
  return static_cast<unsigned char>(pattern[i++]);
}

// The bracket expression that opens at pattern[open]: its length, or 0 when
// no ']' closes it (the '[' is then an ordinary character). `matched` tells
// whether `c` is one of its characters.
std::size_t bracket(const std::string& pattern, std::size_t open, unsigned char c, bool& matched) {
  std::size_t i = open + 1;
  const bool negated = i < pattern.size() && (pattern[i] == '!' || pattern[i] == '^');
  if (negated) ++i;
  const std::size_t first = i;
  bool found = false;
  while (i < pattern.size()) {
    if (pattern[i] == ']' && i != first) {
      matched = found != negated;
      return i + 1 - open;
    }
    if (pattern.compare(i, 2, "[:") == 0) {
      const std::size_t end = pattern.find(":]", i + 2);
      if (end != kNone) {
        found = found || inClass(pattern.substr(i + 2, end - i - 2), c);
        i = end + 2;
        continue;
      }
    }
    const unsigned char low = setChar(pattern, i);
    unsigned char high = low;
    if (i + 1 < pattern.size() && pattern[i] == '-' && pattern[i + 1] != ']') {
      ++i;
      high = setChar(pattern, i);
    }
    found = found || (low <= c && c <= high);
  }
  return 0;
}

// Whether the pattern's element at `p` (not a '*') takes the character `c`;
// `width` is the element's length in the pattern.
bool takes(const std::string& pattern, std::size_t p, char c, std::size_t& width) {
  width = 1;
  switch (pattern[p]) {
    case '?':
      return true;
    case '[': {
      bool matched = false;
      const std::size_t length = bracket(pattern, p, static_cast<unsigned char>(c), matched);
      if (length == 0) return c == '[';
      width = length;
      return matched;
    }
    case '\\':
      // A pattern that ends in a lone backslash is unfinished: it matches nothing.
      width = 2;
      return p + 1 < pattern.size() && pattern[p + 1] == c;
    default:
      return pattern[p] == c;
  }
}

}  // namespace

// Every element but '*' takes exactly one character, so on a mismatch it is
// enough to let the last '*' take one character more and go on from there:
// linear for the patterns people write, quadratic at worst, no recursion.
bool matchesPattern(const std::string& pattern, const std::string& name) {
  std::size_t p = 0, n = 0;
  std::size_t afterStar = kNone, starTook = 0;
  while (n < name.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      afterStar = ++p;
      starTook = n;
      continue;
    }
    std::size_t width = 1;
    if (p < pattern.size() && takes(pattern, p, name[n], width)) {
      p += width;
      ++n;
      continue;
    }
    if (afterStar == kNone) return false;
    p = afterStar;
    n = ++starTook;
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

}  // namespace qeltools
