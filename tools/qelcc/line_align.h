// Where each character of a preprocessed line comes from in the original
// source line. GCC writes one original line as several preprocessed pieces
// when a macro of a system header is expanded on it: the expansion goes
// between line markers with the system-header flag, and the rest of the line
// resumes after a plain marker (a macro argument written by the user resumes
// the same way, inside the expansion). Those pieces, joined, are matched
// with the original line's code characters (no white space, no comments).
#ifndef QELCC_LINE_ALIGN_H
#define QELCC_LINE_ALIGN_H

#include <string>
#include <utility>
#include <vector>

namespace qelcc {

// Where one character of the preprocessed text is in its original line:
// 0-based columns, `end` past what it stands for (a macro's whole invocation
// inside an expansion).
struct CharPos {
  unsigned begin = 0, end = 0;
  bool exact = false;  // the original's own character
  bool macro = false;  // inside a macro expansion: stands for the invocation
  bool first = false;  // the expansion's first character
  bool last = false;   // the expansion's last character
};

// One preprocessed piece of the line: the offsets of its code characters in
// the preprocessed text, and whether it comes from a system header.
struct Piece {
  std::vector<unsigned> offsets;
  bool sys = false;
};

// The columns (0-based) of a line's code characters: neither white space nor
// comment. `comment` carries a block comment left open into the next line.
std::vector<unsigned> CodeColumns(const std::string& line, bool* comment);
// The same over `n` bytes at `line`, appended to `out` (which may be null
// when only the comment state is wanted).
void CodeColumns(const char* line, size_t n, bool* comment, std::vector<unsigned>* out);

bool IdentChar(char c);

// The original position of every code character of `pieces`, by offset in
// `text`: matched from the front, a system piece standing for one macro
// invocation there, and, where a user macro was expanded inline, from the
// back as well; what stays unmatched lies inside a macro expansion.
// `oline` is the original line, `cols` its code columns. The result is in
// increasing order of offset, one entry per offset.
using LinePositions = std::vector<std::pair<unsigned, CharPos>>;
LinePositions AlignLine(const std::string& text, const std::vector<Piece>& pieces,
                        const std::string& oline, const std::vector<unsigned>& cols);

}  // namespace qelcc

#endif
