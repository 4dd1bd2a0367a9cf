// The --filter matcher: the same answers as the C library's fnmatch() without
// flags wherever that exists, so a pattern selects the same test cases on
// Windows as on Linux.
#include <fnmatch.h>
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "qeltools/pattern.hpp"

namespace {

using qeltools::matchesPattern;

bool Fnmatch(const std::string& pattern, const std::string& name) {
  return fnmatch(pattern.c_str(), name.c_str(), 0) == 0;
}

TEST(ToolsPattern, WildcardsAndSets) {
  struct Case {
    const char* pattern;
    const char* name;
    bool matches;
  } const cases[] = {
      {"*", "", true},
      {"*", "GetElem0", true},
      {"?", "", false},
      {"GetElem?", "GetElem0", true},
      {"GetElem?", "GetElem10", false},
      {"*Two?", "ArrayTypeTwo0", true},
      {"Builtin?ype*Lo*0", "BuiltinTypeLongDouble0", true},
      {"Builtin?ype*Lo*0", "BuiltinTypeLong1", false},
      {"a*b*c", "aXbYbZc", true},
      {"a*b*c", "aXbYbZ", false},
      {"*a*a*a*b", "aaaaaaaaaaaaaaaaaaaa", false},
      {"Struct*[34]0", "StructTypeTest30", true},
      {"Struct*[34]0", "StructTypeTest20", false},
      {"[!A]*", "ArrayTypeOne0", false},
      {"[^A]*", "PointTypeOne0", true},
      {"[a-c]x", "bx", true},
      {"[a-c]x", "dx", false},
      {"[]]", "]", true},
      {"[!]]", "]", false},
      {"[a-]", "-", true},
      {"[[:digit:]]*", "7up", true},
      {"[[:digit:]]*", "up7", false},
      {"[[:upper:][:digit:]]", "Q", true},
      {"[", "[", true},
      {"[ab", "[ab", true},
      {"\\*", "*", true},
      {"\\*", "x", false},
      {"[\\]]", "]", true},
      {"a\\?", "a?", true},
      {"a\\?", "ab", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(matchesPattern(c.pattern, c.name), c.matches) << c.pattern << " on " << c.name;
    EXPECT_EQ(Fnmatch(c.pattern, c.name), c.matches)
        << "fnmatch: " << c.pattern << " on " << c.name;
  }
}

// Random patterns over a small alphabet that holds every special
// character: wherever the two disagree, the matcher is wrong.
TEST(ToolsPattern, AgreesWithFnmatch) {
  std::mt19937 random(20261208);
  const std::string patternChars = "ab*?[]!^-\\:";
  const std::string nameChars = "ab[]!-\\:";
  for (int round = 0; round < 200000; ++round) {
    std::string pattern, name;
    const int patternLength = static_cast<int>(random() % 8);
    for (int i = 0; i < patternLength; ++i) pattern += patternChars[random() % patternChars.size()];
    const int nameLength = static_cast<int>(random() % 6);
    for (int i = 0; i < nameLength; ++i) name += nameChars[random() % nameChars.size()];
    ASSERT_EQ(matchesPattern(pattern, name), Fnmatch(pattern, name))
        << "pattern \"" << pattern << "\" on \"" << name << "\"";
  }
}

TEST(ToolsPattern, LongStarRunsStayFast) {
  const std::string pattern = std::string(50, '*') + "b";
  EXPECT_FALSE(matchesPattern(pattern, std::string(100000, 'a')));
  EXPECT_TRUE(matchesPattern(pattern, std::string(100000, 'a') + "b"));
}

}  // namespace
