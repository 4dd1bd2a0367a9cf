// Code columns of a line and the block comment it leaves open, whether the
// columns are asked for or only the comment state; the positions a line's
// alignment gives, in the order of their offsets.
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

// The same over long lines of mostly plain characters, where the comment
// state passes over 8 bytes at a time: a '/' or quote at any place in or
// after such a run, and lines ending within one.
TEST(CodeColumns, CommentStateAloneAgreesOnLongLines) {
  const char kPlain[] = "ab (x)+;\t*";
  const char kSpecial[] = "/*\"'\\";
  std::mt19937 rng(11);
  bool full = false, alone = false;
  for (int i = 0; i < 20000; ++i) {
    std::string line(rng() % 40, ' ');
    for (char& c : line) {
      c = rng() % 6 == 0 ? kSpecial[rng() % (sizeof kSpecial - 1)]
                         : kPlain[rng() % (sizeof kPlain - 1)];
    }
    std::vector<unsigned> cols;
    const bool before = full;
    qelcc::CodeColumns(line.data(), line.size(), &full, &cols);
    qelcc::CodeColumns(line.data(), line.size(), &alone, nullptr);
    ASSERT_EQ(full, alone) << "line [" << line << "] starting in a comment: " << before;
  }
}

namespace {

// The preprocessed pieces of one original line, each on a line of its own
// (as line markers leave them), and the text they are offsets into.
struct Pieces {
  std::string text;
  std::vector<qelcc::Piece> pieces;
  Pieces(const std::vector<std::pair<std::string, bool>>& lines) {
    for (const auto& [line, sys] : lines) {
      qelcc::Piece p;
      p.sys = sys;
      bool comment = false;
      qelcc::CodeColumns(line.data(), line.size(), &comment, &p.offsets);
      for (unsigned& off : p.offsets) off += static_cast<unsigned>(text.size());
      pieces.push_back(p);
      text += line + "\n";
    }
  }
};

void ExpectIncreasing(const qelcc::LinePositions& positions) {
  for (size_t i = 1; i < positions.size(); ++i) {
    EXPECT_LT(positions[i - 1].first, positions[i].first) << "entry " << i;
  }
}

}  // namespace

// The positions come out by offset, one per code character, whichever of
// the front, the back or the middle gave them; a system macro's expansion
// stands for its invocation, marked at both ends.
TEST(AlignLine, PositionsByOffsetFromEveryPass) {
  {
    const Pieces p({{"x =", false}, {"", true}, {"( 1+2 )", true}, {";", false}});
    const std::string orig = "x = M;";
    bool comment = false;
    const qelcc::LinePositions got = qelcc::AlignLine(p.text, p.pieces, orig,
                                                      qelcc::CodeColumns(orig, &comment));
    ASSERT_EQ(got.size(), 8u);
    ExpectIncreasing(got);
    EXPECT_EQ(p.text[got[0].first], 'x');
    EXPECT_TRUE(got[0].second.exact && !got[0].second.macro);
    EXPECT_EQ(got[1].second.begin, 2u);
    for (size_t i = 2; i < 7; ++i) {
      const qelcc::CharPos& c = got[i].second;
      EXPECT_TRUE(c.macro && c.exact) << i;
      EXPECT_EQ(c.begin, 4u);
      EXPECT_EQ(c.end, 5u);
      EXPECT_EQ(c.first, i == 2) << i;
      EXPECT_EQ(c.last, i == 6) << i;
    }
    EXPECT_EQ(p.text[got[7].first], ';');
    EXPECT_EQ(got[7].second.begin, 5u);
  }
  {
    // Front and back meet around a character neither matches: the middle,
    // given last, still sits between them.
    const Pieces p({{"a - b;", false}});
    const std::string orig = "a + b;";
    bool comment = false;
    const qelcc::LinePositions got = qelcc::AlignLine(p.text, p.pieces, orig,
                                                      qelcc::CodeColumns(orig, &comment));
    ASSERT_EQ(got.size(), 4u);
    ExpectIncreasing(got);
    EXPECT_EQ(p.text[got[1].first], '-');
    EXPECT_FALSE(got[1].second.exact);
    EXPECT_EQ(got[1].second.begin, 2u);
    EXPECT_EQ(got[1].second.end, 3u);
    EXPECT_TRUE(got[0].second.exact && got[2].second.exact && got[3].second.exact);
  }
  {
    // Nothing to match: no positions.
    const Pieces p({{"", false}});
    bool comment = false;
    EXPECT_TRUE(qelcc::AlignLine(p.text, p.pieces, "x", qelcc::CodeColumns("x", &comment)).empty());
  }
}
