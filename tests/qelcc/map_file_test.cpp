// When the map reaches the object as a file the assembler reads, and when
// the compiled text must carry it: only a compile that assembles each unit
// at once, on this machine, may name a file that goes with qelcc's
// temporary directory.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "map_file.h"

namespace {

using qel::mapsection::ObjectFormat;
using qelcc::MapFromFile;
using qelcc::ParseInvocation;

bool FromFile(const std::vector<std::string>& args,
              const std::vector<std::string>& compiler = {"gcc"},
              ObjectFormat format = ObjectFormat::kElf) {
  return MapFromFile(ParseInvocation(compiler, args), format);
}

std::string Join(const std::vector<std::string>& args) {
  std::string s;
  for (const std::string& a : args) s += a + " ";
  return s;
}

TEST(MapFromFile, CompilesThatAssembleAtOnceReadTheFile) {
  const std::vector<std::vector<std::string>> forms = {
      {"-c", "a.c"},
      {"-O2", "-g", "-fPIC", "-m32", "-c", "a.c", "-o", "a.o"},
      {"a.c", "b.c", "-o", "prog"},  // compiled and linked in one command
      {"-flto", "-fno-lto", "-c", "a.c"},
      {"-fembed-bitcode=off", "-c", "a.c"},
      {"-Wa,--noexecstack,-mrelax-relocations=no", "-c", "a.c"},
      {"-Xassembler", "--noexecstack", "-c", "a.c"},
      {"-MD", "-MF", "a.d", "-c", "a.c"},  // the preprocessor's list, not the assembler's
      {"-pipe", "-masm=intel", "-c", "a.c"},
  };
  for (const auto& args : forms) EXPECT_TRUE(FromFile(args)) << Join(args);
  EXPECT_TRUE(FromFile({"-c", "a.c"}, {"/usr/bin/gcc"}));
}

TEST(MapFromFile, WhatIsAssembledLaterOrElsewhereCarriesTheMapInItsText) {
  const std::vector<std::vector<std::string>> forms = {
      {"-S", "a.c"},
      {"-E", "a.c"},
      {"-fsyntax-only", "a.c"},
      {"-save-temps", "-c", "a.c"},
      {"-save-temps=obj", "-c", "a.c"},
      {"--save-temps", "a.c", "-o", "prog"},
      {"-flto", "-c", "a.c"},
      {"-flto=auto", "a.c", "-o", "prog"},
      {"-flto=thin", "-c", "a.c"},
      {"-fno-lto", "-flto", "-c", "a.c"},
      {"-emit-llvm", "-c", "a.c"},
      {"-Xclang", "-emit-llvm-bc", "-c", "a.c"},
      {"-fembed-bitcode", "-c", "a.c"},
      {"-fembed-bitcode=all", "-c", "a.c"},
      {"-Wa,--MD,a.as.d", "-c", "a.c"},
      {"-Wa,-a,--MD=a.as.d", "-c", "a.c"},
      {"-Xassembler", "--MD", "-Xassembler", "a.as.d", "-c", "a.c"},
  };
  for (const auto& args : forms) EXPECT_FALSE(FromFile(args)) << Join(args);
  // A launcher before the compiler may compile on another machine, or key
  // a cache by the text.
  for (const char* launcher : {"ccache", "/usr/bin/sccache", "distcc", "icecc", "buildcache"})
    EXPECT_FALSE(FromFile({"-c", "a.c"}, {launcher, "gcc"})) << launcher;
  // Other object formats keep their own spelling.
  EXPECT_FALSE(FromFile({"-c", "a.c"}, {"gcc"}, ObjectFormat::kCoff));
  EXPECT_FALSE(FromFile({"-c", "a.c"}, {"gcc"}, ObjectFormat::kOther));
}

// ccache, distcc and icecc are often installed as links named after the
// compilers, in a directory put first in PATH.
TEST(MapFromFile, ACompilerThatIsALauncherUnderTheCompilersNameCarriesTheMapInItsText) {
  const std::string dir = ::testing::TempDir() + "map_file_" + std::to_string(getpid());
  ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
  for (const char* exe : {"ccache", "gcc-12"}) {
    const std::string path = dir + "/" + exe;
    std::ofstream(path) << "#!/bin/sh\n";
    ASSERT_EQ(chmod(path.c_str(), 0755), 0);
  }
  ASSERT_EQ(symlink("ccache", (dir + "/gcc").c_str()), 0);
  ASSERT_EQ(symlink("gcc-12", (dir + "/cc").c_str()), 0);
  EXPECT_FALSE(FromFile({"-c", "a.c"}, {dir + "/gcc"}));
  EXPECT_TRUE(FromFile({"-c", "a.c"}, {dir + "/cc"}));
  // Found in PATH as the compiler would be.
  const std::string path = getenv("PATH") ? getenv("PATH") : "";
  setenv("PATH", (dir + ":" + path).c_str(), 1);
  EXPECT_FALSE(FromFile({"-c", "a.c"}, {"gcc"}));
  EXPECT_TRUE(FromFile({"-c", "a.c"}, {"cc"}));
  setenv("PATH", path.c_str(), 1);
  for (const char* f : {"gcc", "cc", "ccache", "gcc-12"}) unlink((dir + "/" + f).c_str());
  rmdir(dir.c_str());
}

}  // namespace
