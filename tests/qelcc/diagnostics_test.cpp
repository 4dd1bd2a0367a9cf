// Which of a compile's warnings the user's -Werror would have made errors.
#include "diagnostics.h"

#include <gtest/gtest.h>

using qelcc::HasWarningMadeError;
using qelcc::WarningsAsErrorsOf;

TEST(WarningsAsErrors, TheLastWordOfTheArgumentsHolds) {
  EXPECT_FALSE(WarningsAsErrorsOf({"-Wall", "-O2"}).all);
  EXPECT_TRUE(WarningsAsErrorsOf({"-Wall", "-Werror"}).all);
  EXPECT_FALSE(WarningsAsErrorsOf({"-Werror", "-Wno-error"}).all);
  EXPECT_TRUE(WarningsAsErrorsOf({"-Wno-error", "-Werror"}).all);
  // -Werror=X is not the global switch; a later one takes X back.
  EXPECT_FALSE(WarningsAsErrorsOf({"-Werror=address"}).all);
  auto w = WarningsAsErrorsOf({"-Werror", "-Wno-error=unused-variable", "-Wno-error=format",
                               "-Wno-error=address", "-Werror=address"});
  EXPECT_EQ(w.tolerated, (std::set<std::string>{"unused-variable", "format"}));
}

TEST(WarningsAsErrors, OnlyUntoleratedWarningsCount) {
  const auto w = WarningsAsErrorsOf({"-Werror", "-Wno-error=unused-variable", "-Wno-error=format"});
  const std::string unused =
      "w.c: In function 'f':\n"
      "w.c:3:30: warning: unused variable 'unused' [-Wunused-variable]\n"
      "    3 | int f(void) { int unused; return 0; }\n"
      "      |                   ^~~~~~\n";
  EXPECT_FALSE(HasWarningMadeError(unused, w));
  EXPECT_FALSE(HasWarningMadeError("", w));
  // gcc's leveled options, tolerated by their name.
  EXPECT_FALSE(HasWarningMadeError("a.c:1:2: warning: format '%d' expects [-Wformat=]\n", w));
  // The warning preprocessed text alone gives; notes do not count.
  const std::string address =
      unused +
      "w.c:3:51: warning: the comparison will always evaluate as 'true' for the address of 'x' "
      "will never be NULL [-Waddress]\n"
      "w.c:3:19: note: 'x' declared here\n";
  EXPECT_TRUE(HasWarningMadeError(address, w));
  // clang's groups, and a warning that names no option.
  EXPECT_TRUE(HasWarningMadeError(
      "a.c:2:9: warning: comparison of address of 'x' not equal to a null pointer is always "
      "true [-Wtautological-pointer-compare]\n",
      w));
  EXPECT_FALSE(HasWarningMadeError("a.c:2:9: warning: unused [-Wunused-variable,-Wunused]\n", w));
  EXPECT_TRUE(HasWarningMadeError("cc1: warning: something odd\n", w));
  EXPECT_TRUE(HasWarningMadeError("a.c:1:2: warning: cut off [-Wsome", w));
  // Coloured output reads the same.
  EXPECT_FALSE(HasWarningMadeError(
      "\x1b[01m\x1b[Kw.c:3:30:\x1b[m\x1b[K \x1b[01;35m\x1b[Kwarning: \x1b[m\x1b[Kunused "
      "variable [\x1b[01;35m\x1b[K-Wunused-variable\x1b[m\x1b[K]\n",
      w));
  EXPECT_TRUE(HasWarningMadeError(
      "\x1b[1mw.c:3:48: \x1b[0m\x1b[0;1;35mwarning: \x1b[0m\x1b[1mcomparison of address "
      "[-Wtautological-pointer-compare]\x1b[0m\n",
      w));
  // Output in which no warning can be read: translated, or JSON.
  EXPECT_TRUE(HasWarningMadeError("w.c:3:30: Warnung: unbenutzte Variable [-Waddress]\n", w));
  EXPECT_TRUE(HasWarningMadeError("[{\"kind\": \"warning\", \"option\": \"-Waddress\"}]\n", w));
  EXPECT_FALSE(HasWarningMadeError("\n", w));
  // Without a global -Werror nothing fails by a warning.
  EXPECT_FALSE(HasWarningMadeError(address, WarningsAsErrorsOf({"-Wall"})));
}
