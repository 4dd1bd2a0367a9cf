// The launcher's command-line contract: pass-through, dependency files,
// compile/link splits, unit ids, and bad input.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <sstream>

#include "qelcc_support.h"

using namespace qelcc_test;

namespace {

const std::string kQelcc = QELCC_EXE;
// Sanitizer builds: programs that load the runtime link the sanitizer too.
const std::string kSan = QEL_FIXTURE_FLAGS;

class Cli : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = NewDir(::testing::UnitTest::GetInstance()->current_test_info()->name());
    Write("a.c", "#include <stdio.h>\n#include \"a.h\"\nint twice(int v) { return v > 0 && v < 100 ? 2 * v : 0; }\n");
    Write("a.h", "int twice(int v);\n");
    Write("main.c",
          "#include <stdio.h>\n#include \"a.h\"\nint main(void) { printf(\"%d\\n\", twice(21)); "
          "return 0; }\n");
  }
  void TearDown() override {
    if (!HasFailure()) Sh("rm -rf '" + dir_ + "'");
  }
  void Write(const std::string& name, const std::string& text) {
    std::ofstream(dir_ + "/" + name) << text;
  }
  // Runs in the test's directory with the map directory set.
  int Run(const std::string& cmd, std::string* out = nullptr) {
    return Sh("cd '" + dir_ + "' && export QELCC_MAP_DIR=maps && " + cmd, out);
  }
  std::string dir_;
};

TEST_F(Cli, HelpVersionAndUsage) {
  std::string out;
  EXPECT_EQ(Sh(kQelcc + " --help", &out), 0);
  EXPECT_NE(out.find("QELCC_MAP_DIR"), std::string::npos);
  EXPECT_EQ(Sh(kQelcc + " --version", &out), 0);
  EXPECT_EQ(Sh(kQelcc, &out), 2);
  EXPECT_EQ(Sh(kQelcc + " --no-such-option gcc -c x.c", &out), 2);
  EXPECT_NE(out.find("unknown option"), std::string::npos);
}

TEST_F(Cli, PassThroughRunsTheCompilerUntouched) {
  std::string plain, wrapped;
  ASSERT_EQ(Run("gcc -E a.c", &plain), 0);
  ASSERT_EQ(Run(kQelcc + " gcc -E a.c", &wrapped), 0);
  EXPECT_EQ(plain, wrapped);
  ASSERT_EQ(Run("gcc --version", &plain), 0);
  ASSERT_EQ(Run(kQelcc + " gcc --version", &wrapped), 0);
  EXPECT_EQ(plain, wrapped);
  ASSERT_EQ(Run(kQelcc + " gcc -M a.c", &wrapped), 0);
  EXPECT_NE(wrapped.find("a.h"), std::string::npos);
  // Sources outside the scope compile plain, and no map is written.
  ASSERT_EQ(Run("QELCC_SCOPE=/nowhere " + kQelcc + " gcc -c a.c -o a.o", &wrapped), 0);
  EXPECT_NE(Sh("nm '" + dir_ + "/a.o' | grep -c 'QelNode\\|QelCounter'"), 0);
  EXPECT_FALSE(Exists(dir_ + "/maps"));
}

TEST_F(Cli, DependencyFilesAreThePlainCompilersOwn) {
  std::string out;
  ASSERT_EQ(Run("gcc -MD -MT obj/a.o -MF plain.d -c a.c -o a.o", &out), 0) << out;
  ASSERT_EQ(Run(kQelcc + " gcc -MD -MT obj/a.o -MF inst.d -c a.c -o a.o", &out), 0) << out;
  EXPECT_EQ(ReadFile(dir_ + "/plain.d"), ReadFile(dir_ + "/inst.d"));
  // Defaults: -MMD alone names the file and target after the object.
  ASSERT_EQ(Run("mkdir -p p q && gcc -MMD -c a.c -o p/a.o", &out), 0) << out;
  ASSERT_EQ(Run(kQelcc + " gcc -MMD -c a.c -o q/a.o", &out), 0) << out;
  std::string p = ReadFile(dir_ + "/p/a.d"), q = ReadFile(dir_ + "/q/a.d");
  ASSERT_FALSE(p.empty());
  EXPECT_EQ(q.substr(0, 5), "q/a.o");
  EXPECT_EQ(p.substr(p.find(':')), q.substr(q.find(':')));
}

TEST_F(Cli, CompileThenLinkAndCompileAndLinkBothRun) {
  std::string out;
  ASSERT_EQ(Run(kQelcc + " gcc -Wall -Werror " + kSan + " -c a.c -o a.o", &out), 0) << out;
  ASSERT_EQ(Run(kQelcc + " gcc -Wall -Werror " + kSan + " -c main.c", &out), 0) << out;
  EXPECT_TRUE(Exists(dir_ + "/main.o"));
  EXPECT_EQ(Sh("nm '" + dir_ + "/a.o' | grep -q QelCounterRegister"), 0);
  ASSERT_EQ(Run(kQelcc + " gcc " + kSan + " a.o main.o -o prog", &out), 0) << out;  // link only
  EXPECT_EQ(Sh("'" + dir_ + "/prog' | grep -qx 42"), 0);
  ASSERT_EQ(Run(kQelcc + " gcc -Wall -Werror " + kSan + " a.c main.c -o prog2", &out), 0) << out;
  EXPECT_EQ(Sh("'" + dir_ + "/prog2' | grep -qx 42"), 0);
  // Shared library and a program that uses it.
  ASSERT_EQ(Run(kQelcc + " gcc -shared -fPIC a.c -o liba.so", &out), 0) << out;
  EXPECT_EQ(Sh("nm -D '" + dir_ + "/liba.so' | grep -q 'U QelCounterRegister'"), 0);
}

TEST_F(Cli, UnitIdsUniqueStableAndSafeInParallel) {
  std::string out;
  for (int i = 0; i < 12; ++i) {
    Write("u" + std::to_string(i) + ".c", "int f" + std::to_string(i) + "(int x) { return x && 1; }\n");
  }
  std::string cmd = "for i in 0 1 2 3 4 5 6 7 8 9 10 11; do " + kQelcc +
                    " gcc -c u$i.c -o u$i.o & done; wait";
  ASSERT_EQ(Run(cmd, &out), 0) << out;
  Json::Value reg = ParseJson(ReadFile(dir_ + "/maps/units.json"));
  ASSERT_EQ(reg["units"].size(), 12u) << ReadFile(dir_ + "/maps/units.json");
  std::set<int> ids;
  std::map<std::string, int> by_source;
  for (const Json::Value& u : reg["units"]) {
    ids.insert(u["unit"].asInt());
    by_source[u["source"].asString()] = u["unit"].asInt();
    EXPECT_TRUE(Exists(dir_ + "/maps/" + std::to_string(u["unit"].asInt()) + ".qelmap.json"));
  }
  EXPECT_EQ(ids.size(), 12u);
  EXPECT_GE(*ids.begin(), 1);
  EXPECT_LE(*ids.rbegin(), 32767);
  // A rebuild keeps the id.
  ASSERT_EQ(Run(kQelcc + " gcc -c u5.c -o u5.o", &out), 0) << out;
  reg = ParseJson(ReadFile(dir_ + "/maps/units.json"));
  EXPECT_EQ(reg["units"].size(), 12u);
  Json::Value map =
      ParseJson(ReadFile(dir_ + "/maps/" + std::to_string(by_source[dir_ + "/u5.c"]) + ".qelmap.json"));
  EXPECT_EQ(map["source"].asString(), dir_ + "/u5.c");
  EXPECT_EQ(map["object"].asString(), dir_ + "/u5.o");
  EXPECT_EQ(map["functions"][0]["name"].asString(), "f5");
  EXPECT_EQ(map["hash"].asString().substr(0, 8), "fnv1a64:");
}

TEST_F(Cli, CompilerErrorsAreTheCompilersOwn) {
  Write("bad.c", "int f(void) {\n  return undeclared_name;\n}\n");
  std::string plain, wrapped;
  int prc = Run("gcc -c bad.c -o bad.o", &plain);
  int wrc = Run(kQelcc + " gcc -c bad.c -o bad.o", &wrapped);
  EXPECT_NE(prc, 0);
  EXPECT_EQ(wrc, prc);
  EXPECT_NE(wrapped.find("bad.c:2:"), std::string::npos) << wrapped;
  EXPECT_EQ(wrapped.find("qelcc"), std::string::npos) << wrapped;
  EXPECT_EQ(wrapped.find(".i"), std::string::npos) << wrapped;
  EXPECT_FALSE(Exists(dir_ + "/bad.o"));
  // Warnings keep their place in the user's file too.
  Write("warn.c", "int f(int a) {\n  int unused;\n  return a && 1;\n}\n");
  ASSERT_EQ(Run(kQelcc + " gcc -Wall -c warn.c -o warn.o", &wrapped), 0);
  EXPECT_NE(wrapped.find("warn.c:2:7: warning: unused variable"), std::string::npos) << wrapped;
  // An if's empty body is still the user's to hear of, at every level.
  Write("empty.c", "int g(int a) {\n  if (a > 2);\n  return a;\n}\n");
  for (const char* level : {"-O0", "-O2"}) {
    ASSERT_EQ(Run(kQelcc + " gcc -Wextra " + level + " -c empty.c -o empty.o", &wrapped), 0);
    EXPECT_NE(wrapped.find("empty.c:2:"), std::string::npos) << level << ": " << wrapped;
    EXPECT_NE(wrapped.find("warning: suggest braces around empty body"), std::string::npos)
        << level << ": " << wrapped;
  }
}

// Preprocessed text no longer tells gcc what came from a macro, so it warns
// where the original compile does not (-Waddress on a macro's null check
// given an address). Under -Werror the original compile decides, one compile
// after the counted one, and the unit keeps its counters; a real warning
// still fails, in the compiler's words; a tolerated one costs nothing more.
TEST_F(Cli, WarningsOnlyPreprocessedTextGivesDoNotFailTheBuild) {
  Write("cc.sh", "#!/bin/sh\necho \"$*\" >> compiles.log\nexec gcc \"$@\"\n");
  Sh("chmod +x '" + dir_ + "/cc.sh'");
  auto compiles = [&] {
    std::string log;
    Sh("cd '" + dir_ + "' && grep -v -- ' -E' compiles.log | grep -c -- ' -c '; rm -f compiles.log",
       &log);
    return std::atoi(log.c_str());
  };
  Write("mac.c",
        "#include <stddef.h>\n#define IS_SET(o) ((o) != NULL ? 1 : 0)\n"
        "int f(int v) {\n  int x = v;\n  return v > 2 && IS_SET(&x);\n}\n");
  std::string plain, out;
  ASSERT_EQ(Run("gcc -Wall -Werror -c mac.c -o plain.o", &plain), 0) << plain;
  ASSERT_EQ(Run(kQelcc + " ./cc.sh -Wall -Werror -c mac.c -o mac.o", &out), 0) << out;
  EXPECT_EQ(out, plain);
  EXPECT_EQ(compiles(), 2);
  Json::Value map = OnlyMap(dir_ + "/maps");
  EXPECT_TRUE(map["instrumented"].asBool());
  std::vector<ObjectMap> in_object = ObjectMaps(dir_ + "/mac.o");
  ASSERT_EQ(in_object.size(), 1u);
  EXPECT_TRUE(in_object[0].record.instrumented);

  Write("real.c", "int g(void) {\n  int x = 0;\n  return &x != 0;\n}\n");
  int prc = Run("gcc -Wall -Werror -c real.c -o plain.o", &plain);
  ASSERT_NE(prc, 0);
  EXPECT_EQ(Run(kQelcc + " ./cc.sh -Wall -Werror -c real.c -o real.o", &out), prc);
  EXPECT_EQ(out, plain);
  EXPECT_NE(out.find("[-Werror=address]"), std::string::npos) << out;
  EXPECT_FALSE(Exists(dir_ + "/real.o"));
  // Coloured, as build tools ask for: the same.
  EXPECT_EQ(Run(kQelcc + " ./cc.sh -fdiagnostics-color=always -Wall -Werror -c real.c", &out), prc);
  EXPECT_FALSE(Exists(dir_ + "/real.o"));
  compiles();

  Write("unused.c", "int h(int v) {\n  int unused;\n  return v > 1 || v < -1;\n}\n");
  ASSERT_EQ(Run(kQelcc + " ./cc.sh -Wall -Werror -Wno-error=unused-variable -c unused.c", &out), 0);
  EXPECT_NE(out.find("unused.c:2:7: warning: unused variable"), std::string::npos) << out;
  EXPECT_EQ(compiles(), 1);
  // -Wno-error given by the user stays theirs.
  ASSERT_EQ(Run(kQelcc + " ./cc.sh -Wall -Werror -Wno-error -c real.c", &out), 0) << out;
  EXPECT_NE(out.find("real.c:3:"), std::string::npos) << out;
  EXPECT_EQ(compiles(), 1);
}

// The inserted text warns of nothing under the warnings strict projects
// turn on, clang's -Wcomma and -Wused-but-marked-unused among them: what
// qelcc's compile says is what the plain compile says, at -O0 and -O2.
TEST_F(Cli, InsertedTextAddsNoWarning) {
  const std::string common =
      "-Wall -Wextra -Wshadow -Wcast-qual -Wconversion -Wunused -Wdeclaration-after-statement "
      "-Wswitch-enum -Wunused-macros -Wstrict-prototypes";
  const std::string clang_only =
      " -Wcomma -Wused-but-marked-unused -Wmissing-variable-declarations -Wunreachable-code";
  int compilers = 0;
  for (const char* cc : {"gcc", "clang-14", "clang-19"}) {
    if (Sh(std::string("command -v ") + cc + " >/dev/null") != 0) continue;
    ++compilers;
    const bool clang = std::string(cc) != "gcc";
    for (const char* fixture : {"leaves.c", "macros.c", "wide.c", "c89.c", "arms.c"}) {
      for (const char* level : {"-O0", "-O2"}) {
        const std::string flags = std::string(level) + " -std=gnu99 " + common +
                                  (clang ? clang_only : "") + " -c " + QELCC_FIXTURES + "/" +
                                  fixture + " -o x.o";
        std::string plain, counted;
        ASSERT_EQ(Run(std::string(cc) + " " + flags, &plain), 0) << plain;
        ASSERT_EQ(Run(kQelcc + " " + cc + " " + flags, &counted), 0) << counted;
        EXPECT_EQ(counted, plain) << cc << " " << level << " " << fixture;
      }
    }
  }
  if (compilers < 2) GTEST_SKIP() << "no clang here";
}

// Inserted text must not move the user's code: a diagnostic on a line that
// carries counters names the user's column (gcc also shows the user's line
// under it, read from the file, so its whole output is the plain compile's).
// The lines mix tabs, a macro expanded longer than written, characters of
// several bytes (one of two columns), decisions of several leaves and arms
// counted after the code.
TEST_F(Cli, DiagnosticsKeepTheUsersColumns) {
  Write("cols.c",
        "#include <stddef.h>\n"
        "int g(int);\n"
        "int f(int a, unsigned b, int *p) {\n"
        "  int s = 0;\n"
        "  if (a < b) return 1;\n"
        "  if (p == NULL) return a < b;\n"
        "\tif (a > 2 && (b || a < b)) { s += g(a); } else s = a < b;\n"
        "  for (int i = 0; i < b; i++) s += i;\n"
        "  while (a-- && b) s += a < b ? 1 : 2;\n"
        "  switch (a) { case 1: s = a < b; break; default: s = b > a; }\n"
        "  s += *\"\xc3\xa9\xe4\xb8\xad\"; if (p) s = 2; else s = a < b;\n"
        "  return s;\n"
        "}\n");
  // Where each diagnostic is: its "file:line:column:" lines.
  auto places = [](const std::string& err) {
    std::string out;
    std::istringstream in(err);
    for (std::string line; std::getline(in, line);)
      if (line.rfind("cols.c:", 0) == 0 && line.find(": warning:") != std::string::npos)
        out += line.substr(0, line.find(": warning:")) + "\n";
    return out;
  };
  // gcc shows display columns unless told bytes; clang shows bytes.
  for (const char* level : {"-O0", "-O2", "-O0 -fdiagnostics-column-unit=byte"}) {
    SCOPED_TRACE(level);
    std::string plain, wrapped;
    const std::string flags = std::string(" -Wall -Wextra ") + level + " -c cols.c -o cols.o";
    ASSERT_EQ(Run("gcc" + flags, &plain), 0) << plain;
    ASSERT_EQ(Run(kQelcc + " gcc" + flags, &wrapped), 0) << wrapped;
    EXPECT_EQ(std::count(plain.begin(), plain.end(), '^'), 9) << plain;
    EXPECT_EQ(wrapped, plain);
    // clang shows the text it compiled under a diagnostic; the place is the user's.
    if (std::strchr(level, '=') || Sh("command -v clang-19 >/dev/null") != 0) continue;
    ASSERT_EQ(Run("clang-19 -Wsign-compare" + flags, &plain), 0) << plain;
    ASSERT_EQ(Run(kQelcc + " clang-19 -Wsign-compare" + flags, &wrapped), 0) << wrapped;
    EXPECT_NE(places(plain), "");
    EXPECT_EQ(places(wrapped), places(plain));
  }
}

TEST_F(Cli, UnwritableMapDirectoryStopsTheBuild) {
  std::string out;
  Write("file", "");
  int rc = Sh("cd '" + dir_ + "' && QELCC_MAP_DIR=file/maps " + kQelcc + " gcc -c a.c -o a.o", &out);
  EXPECT_EQ(rc, 1);
  EXPECT_NE(out.find("qelcc: error: cannot create the map directory"), std::string::npos) << out;
  EXPECT_FALSE(Exists(dir_ + "/a.o"));
}

TEST_F(Cli, WhatLibclangCannotParseCompilesPlainOrFailsWhenStrict) {
  // A GCC nested function: GCC compiles it, libclang rejects it.
  Write("nested.c",
        "int outer(int x) {\n  int inner(int y) { return y + 1; }\n  return inner(x) > 2 && x;\n}\n");
  std::string out;
  ASSERT_EQ(Run(kQelcc + " gcc -c nested.c -o nested.o", &out), 0) << out;
  EXPECT_NE(out.find("qelcc: warning: nested.c:"), std::string::npos) << out;
  EXPECT_NE(out.find("compiled without instrumentation"), std::string::npos) << out;
  EXPECT_TRUE(Exists(dir_ + "/nested.o"));
  EXPECT_NE(Sh("nm '" + dir_ + "/nested.o' | grep -q 'QelNode\\|QelCounter'"), 0);
  // Recorded as built without probes, with the reason, in the map directory
  // and in the object.
  Json::Value map = OnlyMap(dir_ + "/maps");
  EXPECT_FALSE(map["instrumented"].asBool());
  EXPECT_NE(map["reason"].asString().find("libclang cannot parse it"), std::string::npos);
  std::vector<ObjectMap> in_object = ObjectMaps(dir_ + "/nested.o");
  ASSERT_EQ(in_object.size(), 1u);
  EXPECT_FALSE(in_object[0].record.instrumented);
  EXPECT_EQ(in_object[0].doc, map);
  Sh("rm -f '" + dir_ + "/nested.o'");
  EXPECT_EQ(Run("QELCC_STRICT=1 " + kQelcc + " gcc -c nested.c -o nested.o", &out), 1);
  EXPECT_NE(out.find("qelcc: error: nested.c:"), std::string::npos) << out;
  EXPECT_FALSE(Exists(dir_ + "/nested.o"));
}

// A machine without libclang (the package missing, or broken): every unit
// still builds, plain, and says why, in the map directory and the object,
// through the server or without it; --strict fails instead.
TEST_F(Cli, WithoutLibclangUnitsBuildPlainAndSayWhy) {
  // The library's file made unreadable in a mount namespace of this run only.
  const std::string hide = "unshare -rm sh -c 'mount --bind /dev/null " QEL_LIBCLANG_FILE " && ";
  if (Sh("unshare -rm true") != 0) GTEST_SKIP() << "no user and mount namespaces here";
  for (const char* server : {"", "--no-server "}) {
    SCOPED_TRACE(server);
    Sh("rm -rf '" + dir_ + "/maps' '" + dir_ + "/a.o'");
    std::string out;
    ASSERT_EQ(Run(hide + kQelcc + " " + server + "gcc -c a.c -o a.o'", &out), 0) << out;
    EXPECT_NE(out.find("qelcc: warning: a.c: cannot load libclang ("), std::string::npos) << out;
    EXPECT_NE(out.find("compiled without instrumentation"), std::string::npos) << out;
    Json::Value map = OnlyMap(dir_ + "/maps");
    EXPECT_FALSE(map["instrumented"].asBool());
    EXPECT_NE(map["reason"].asString().find("cannot load libclang"), std::string::npos);
    std::vector<ObjectMap> in_object = ObjectMaps(dir_ + "/a.o");
    ASSERT_EQ(in_object.size(), 1u);
    EXPECT_FALSE(in_object[0].record.instrumented);
  }
  Sh("rm -f '" + dir_ + "/a.o'");
  std::string out;
  EXPECT_EQ(Run(hide + "QELCC_STRICT=1 " + kQelcc + " gcc -c a.c -o a.o'", &out), 1) << out;
  EXPECT_NE(out.find("qelcc: error: a.c: cannot load libclang"), std::string::npos) << out;
  EXPECT_FALSE(Exists(dir_ + "/a.o"));
}

// The Windows targets' counters assemble: a decision's path counter is
// addressed with an index register as wide as the block's (64 bits on
// 64-bit Windows, where long is 32), in both assembler dialects.
TEST_F(Cli, WindowsTargetsGetCountersForEveryDecision) {
  Write("w.c", "int f(int a, int b, int c) {\n  if (a && (b || c)) return 1;\n  return a ? b : c;\n}\n");
  int compilers = 0;
  for (const char* cc : {"x86_64-w64-mingw32-gcc", "i686-w64-mingw32-gcc"}) {
    if (Sh(std::string("command -v ") + cc + " >/dev/null") != 0) continue;
    ++compilers;
    for (const char* flags : {"-O0", "-O2", "-O2 -masm=intel"}) {
      SCOPED_TRACE(std::string(cc) + " " + flags);
      Sh("rm -rf '" + dir_ + "/maps' '" + dir_ + "/w.o'");
      std::string out;
      ASSERT_EQ(Run(kQelcc + " --strict " + cc + " " + flags + " -c w.c -o w.o", &out), 0) << out;
      EXPECT_TRUE(OnlyMap(dir_ + "/maps")["instrumented"].asBool());
    }
  }
  if (compilers == 0) GTEST_SKIP() << "no Windows cross compiler here";
}

TEST_F(Cli, InlineFunctionsOfEveryLinkageStayValidC99) {
  // An inline definition with external linkage may not refer to anything
  // static: the probes' helper must not be static.
  Write("inl.h", "static inline int lo(int a) { return a > 0 && a < 5; }\n"
                 "inline int hi(int a) { return a > 5 || a < -5; }\n");
  Write("inl.c", "#include \"inl.h\"\nint hi(int a);\nint use(int a);\n"
                 "int use(int a) { return lo(a) + hi(a); }\n");
  std::string out;
  ASSERT_EQ(Run("QELCC_STRICT=1 " + kQelcc +
                    " gcc -std=c99 -pedantic -Wall -Wextra -Werror -Wmissing-prototypes -c inl.c",
                &out),
            0)
      << out;
  EXPECT_EQ(out, "");
  Json::Value map = OnlyMap(dir_ + "/maps");
  ASSERT_EQ(map["functions"].size(), 3u);
  EXPECT_EQ(map["files"].size(), 2u);  // the header's functions are listed under the header
}

TEST_F(Cli, MapNamesOriginalTextAndColumnsAlsoThroughMacros) {
  Write("m.c",
        "#define IN(v, lo, hi) ((v) >= (lo) && (v) <= (hi))\n"
        "int f(int v, int w) {\n"
        "  if (IN(v, 1, 10))\n"
        "    return 1;\n"
        "  return v > 0 &&   /* c */ w < 3;\n"
        "}\n");
  std::string out;
  ASSERT_EQ(Run(kQelcc + " gcc -c m.c -o m.o", &out), 0) << out;
  Json::Value map = OnlyMap(dir_ + "/maps");
  ASSERT_EQ(map["decisions"].size(), 2u);
  const Json::Value& in = map["decisions"][0];
  EXPECT_EQ(in["text"].asString(), "IN(v, 1, 10)");
  EXPECT_EQ(in["kind"].asString(), "if");
  EXPECT_EQ(in["line"].asInt(), 3);
  EXPECT_EQ(in["column"].asInt(), 7);
  EXPECT_EQ(in["end_column"].asInt(), 19);
  ASSERT_EQ(in["conditions"].size(), 2u);
  EXPECT_EQ(in["conditions"][1]["text"].asString(), "(v) <= (10)");
  EXPECT_EQ(in["conditions"][1]["index"].asInt(), 1);
  const Json::Value& ret = map["decisions"][1];
  EXPECT_EQ(ret["kind"].asString(), "logical");
  EXPECT_EQ(ret["text"].asString(), "v > 0 &&   /* c */ w < 3");
  EXPECT_EQ(ret["conditions"][1]["text"].asString(), "w < 3");
  EXPECT_EQ(ret["conditions"][1]["column"].asInt(), 29);
  EXPECT_EQ(ret["conditions"][1]["end_column"].asInt(), 34);
  EXPECT_EQ(map["functions"][0]["name"].asString(), "f");
  EXPECT_EQ(map["functions"][0]["line"].asInt(), 2);
}

}  // namespace
