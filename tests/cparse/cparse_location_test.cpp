// Positions read from a preprocessed buffer agree with libclang's own
// answer at every byte, whatever the line markers say.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "cparse.h"

namespace cp = qel::cparse;

namespace {

const char kUnit[] =
    "# 0 \"dir/a b.c\"\n"
    "# 0 \"<built-in>\"\n"
    "# 0 \"<command-line>\"\n"
    "# 1 \"/usr/include/sys\\\\hdr.h\" 1 3 4\n"
    "typedef unsigned long size_t;\n"
    "extern int sysf(int);\n"
    "# 0 \"<command-line>\" 2\n"
    "# 1 \"dir/a b.c\"\n"
    "/* a comment kept with -C: # 7 \"no.h\"\n"
    "   # define NOT_A_MACRO 1\n"
    "*/\n"
    "int g\t=\t3; // #x\n"
    "# 5 \"dir/\\\"q\\\"\\101.h\" 1\n"
    "static int\thelper(int x) { return x > 0 ? x : -x; }\n"
    "# 9 \"dir/a b.c\" 2\n"
    "int f(int a, int b) {\n"
    "\tif (a && b) return helper(a);\n"
    "  const char *s = \"# not a marker\"; char c = '#';\n"
    "  return sysf(b) + (int)sizeof(size_t) + s[0] + c;\n"
    "}\n"
    "#\t3 \"dir/a b.c\" 3\n"
    "int h(void) { return 1; }\n"
    "# 20 \"dir/a b.c\"";

struct Parsed {
  std::string dir, path, text;
  std::unique_ptr<cp::TranslationUnit> tu;
  explicit Parsed(const std::string& contents) : text(contents) {
    char tmpl[] = "/tmp/cparse_loc.XXXXXX";
    dir = mkdtemp(tmpl);
    path = dir + "/unit.i";
    std::ofstream(path, std::ios::binary) << text;
    cp::ParseOptions opts;
    opts.preprocessed = true;
    std::string err;
    tu = cp::TranslationUnit::Parse(path, opts, &err, &text);
    EXPECT_TRUE(tu) << err;
  }
  ~Parsed() {
    std::remove(path.c_str());
    rmdir(dir.c_str());
  }
  CXSourceLocation Loc(unsigned offset) const {
    return clang_getLocationForOffset(tu->raw(), clang_getFile(tu->raw(), path.c_str()), offset);
  }
  cp::Position AtText(const std::string& needle) const {
    return tu->At(Loc(static_cast<unsigned>(text.find(needle))));
  }
};

void ExpectSame(const cp::Position& a, const cp::Position& b, const std::string& what) {
  EXPECT_EQ(a.file, b.file) << what;
  EXPECT_EQ(a.line, b.line) << what;
  EXPECT_EQ(a.column, b.column) << what;
  EXPECT_EQ(a.offset, b.offset) << what;
  EXPECT_EQ(a.system, b.system) << what;
  EXPECT_EQ(a.valid, b.valid) << what;
}

// Every byte (asked twice: the second answer may come from what the first
// left behind), and every cursor's extent.
void ExpectAgreesWithLibclang(const Parsed& p) {
  ASSERT_TRUE(p.tu);
  for (int pass = 0; pass < 2; ++pass) {
    for (unsigned off = 0; off <= p.text.size(); ++off) {
      CXSourceLocation loc = p.Loc(off);
      ExpectSame(p.tu->At(loc), p.tu->AtFromLibclang(loc), "offset " + std::to_string(off));
    }
  }
  int cursors = 0;
  cp::Walk(p.tu->Root(), [&](CXCursor c, CXCursor) {
    CXSourceRange r = clang_getCursorExtent(c);
    const cp::Extent e = p.tu->ExtentOf(c);
    ExpectSame(e.begin, p.tu->AtFromLibclang(clang_getRangeStart(r)), cp::Spelling(c));
    ExpectSame(e.end, p.tu->AtFromLibclang(clang_getRangeEnd(r)), cp::Spelling(c));
    ++cursors;
    return true;
  });
  EXPECT_GT(cursors, 20);
}

}  // namespace

TEST(CparseLocations, LineMarkersOfEveryKind) {
  Parsed p(kUnit);
  ExpectAgreesWithLibclang(p);
  const cp::Position sys = p.AtText("sysf(int)");
  EXPECT_EQ(sys.file, "/usr/include/sys\\hdr.h");
  EXPECT_EQ(sys.line, 2u);
  EXPECT_TRUE(sys.system);
  const cp::Position three = p.AtText("3; //");
  EXPECT_EQ(three.file, "dir/a b.c");
  EXPECT_EQ(three.line, 4u);
  EXPECT_EQ(three.column, 9u);  // a tab is one column
  EXPECT_FALSE(three.system);
  const cp::Position helper = p.AtText("helper(int");
  EXPECT_EQ(helper.file, "dir/\"q\"A.h");
  EXPECT_EQ(helper.line, 5u);
  const cp::Position h = p.AtText("h(void)");
  EXPECT_EQ(h.line, 3u);
  EXPECT_TRUE(h.system);
}

// Carriage returns end lines of their own for libclang; a macro definition
// gives locations inside expansions. Both are answered as libclang does.
TEST(CparseLocations, CarriageReturnsAndDefinitions) {
  std::string crlf;
  for (char c : std::string(kUnit)) {
    if (c == '\n') crlf += '\r';
    crlf += c;
  }
  ExpectAgreesWithLibclang(Parsed(crlf));
  std::string lone_cr = kUnit;
  lone_cr.replace(lone_cr.find("int g"), 0, "int k;\rint m;\r");
  ExpectAgreesWithLibclang(Parsed(lone_cr));
  std::string defined = kUnit;
  defined.replace(defined.find("int g"), 0, "#define TWICE(x) ((x) + (x))\nint t = TWICE(2);\n");
  ExpectAgreesWithLibclang(Parsed(defined));
}
