// Code columns of a line and the block comment it leaves open, whether the
// columns are asked for or only the comment state.
#include "line_align.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

TEST(CodeColumns, CommentsQuotesAndEscapes) {
  bool comment = false;
  // An escaped character counts even when it is a space; "//" in a string
  // is no comment.
  EXPECT_EQ(qelcc::CodeColumns("a \"\\ //\" b", &comment), (std::vector<unsigned>{0, 2, 3, 4, 5, 6, 7, 9}));
  EXPECT_FALSE(comment);
  EXPECT_EQ(qelcc::CodeColumns("x /* y", &comment), (std::vector<unsigned>{0}));
  EXPECT_TRUE(comment);
  EXPECT_EQ(qelcc::CodeColumns("**/ z // w", &comment), (std::vector<unsigned>{4}));
  EXPECT_FALSE(comment);
}

// Asked only for the comment state, a line leaves the same state as when
// its columns are asked for, over lines of the characters that matter.
TEST(CodeColumns, CommentStateAloneAgrees) {
  const char kChars[] = "/*\"'\\ a\t";
  std::mt19937 rng(7);
  bool full = false, alone = false;
  for (int i = 0; i < 20000; ++i) {
    std::string line(rng() % 12, ' ');
    for (char& c : line) c = kChars[rng() % (sizeof kChars - 1)];
    std::vector<unsigned> cols;
    const bool before = full;
    qelcc::CodeColumns(line.data(), line.size(), &full, &cols);
    qelcc::CodeColumns(line.data(), line.size(), &alone, nullptr);
    ASSERT_EQ(full, alone) << "line [" << line << "] starting in a comment: " << before;
    bool again = before;
    EXPECT_EQ(qelcc::CodeColumns(line, &again), cols);
  }
}
