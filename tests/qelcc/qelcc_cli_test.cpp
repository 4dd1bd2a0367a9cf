#include <gtest/gtest.h>
#include "qelcc_support.h"
TEST(Cli, Help) { EXPECT_EQ(qelcc_test::Sh(std::string(QELCC_EXE) + " --help >/dev/null"), 0); }
