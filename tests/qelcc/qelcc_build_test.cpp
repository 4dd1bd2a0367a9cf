// Maps under real builds: the map travels in the object code (archives,
// shared libraries, --gc-sections, strip), a one-step compile and link
// rebuilt after an edit replaces its map, compiler caches in both orders
// give the same report on a hit as on a miss, a link refuses two units with
// one id, every compile form is instrumented (or stops under --strict), and
// generated code with #line is attributed to the files it names.
#include <gtest/gtest.h>

#include <set>

#include "qelcc_support.h"

using namespace qelcc_test;
namespace elf = qel::elf;

namespace {

const std::string kQelcc = QELCC_EXE;
const std::string kCollect = QELCOLLECT_EXE;
const std::string kSan = QEL_FIXTURE_FLAGS;

bool Have(const std::string& tool) { return Sh("command -v " + tool + " >/dev/null") == 0; }

class Build : public PickProject {
 protected:
  // The coverage model of `prog` run under the collector with `maps`.
  Json::Value Coverage(const std::string& prog, const std::string& maps = "maps") {
    std::string out;
    const std::string json = P(prog + ".cov.json");
    EXPECT_EQ(Run(kCollect + " --map " + maps + " --json " + json +
                      " --no-report --timeout 60 -- ./" + prog,
                  &out),
              0)
        << out;
    return ParseJson(ReadFile(json))["files"];
  }
};

// ---- the runtime at link time ---------------------------------------------

// Programs link against the runtime's stand-in (its symbols, no
// dependencies: the linker reads nothing of libstdc++ for a C program), and
// record and load the runtime itself. The stand-in must offer every symbol
// the runtime exports, of its type, binding and (objects, which programs
// may copy) size, or a link would fail, or bind a program to a symbol the
// runtime lacks.
TEST_F(Build, ProgramsLinkAgainstTheRuntimesStandInAndLoadTheRuntime) {
  const std::string lib = QELMQLIB_FILE;
  const std::string stub = lib.substr(0, lib.rfind('/')) + "/qelcc-link/libQELMQLib.so";
  ASSERT_TRUE(Exists(stub)) << stub;
  auto exported = [](const std::string& file) {
    std::string out;
    EXPECT_EQ(Sh("readelf --dyn-syms -W '" + file +
                     "' | awk 'NR > 3 && $7 != \"UND\" && $8 != \"\" && $4 != \"NOTYPE\" "
                     "{ print $8, $4, $5, ($4 == \"FUNC\" ? \"\" : $3) }' | sort",
                 &out),
              0);
    return out;
  };
  const std::string symbols = exported(lib);
  EXPECT_NE(symbols.find("QelCounterRegister FUNC GLOBAL"), std::string::npos) << symbols;
  EXPECT_NE(symbols.find(" TLS GLOBAL "), std::string::npos) << symbols;
  EXPECT_EQ(exported(stub), symbols);
  std::string dynamic, soname;
  ASSERT_EQ(Sh("readelf -d '" + stub + "'", &dynamic), 0);
  EXPECT_EQ(dynamic.find("(NEEDED)"), std::string::npos) << dynamic;
  ASSERT_EQ(Sh("readelf -d '" + lib + "' | grep SONAME", &soname), 0);
  EXPECT_NE(dynamic.find(soname.substr(soname.find('['))), std::string::npos) << dynamic;

  std::string out;
  ASSERT_EQ(Run(kQelcc + " gcc " + kSan + " -c a.c main.c", &out), 0) << out;
  ASSERT_EQ(Run(kQelcc + " gcc " + kSan + " a.o main.o -Wl,--trace -o prog", &out), 0) << out;
  EXPECT_NE(out.find("qelcc-link/libQELMQLib.so"), std::string::npos) << out;
  if (kSan.empty()) {
    EXPECT_EQ(out.find("libstdc++"), std::string::npos) << out;
  }
  ASSERT_EQ(Run("ldd ./prog | grep libQELMQLib", &out), 0) << out;
  EXPECT_NE(out.find(lib.substr(0, lib.rfind('/')) + "/libQELMQLib.so"), std::string::npos) << out;
  EXPECT_EQ(out.find("qelcc-link"), std::string::npos) << out;
  const Json::Value files = Coverage("prog");
  EXPECT_EQ(files.size(), 2u);
}

// ---- the map in the object code -------------------------------------------

TEST_F(Build, TheMapTravelsWithArchivesGcSectionsStripAndSharedLibraries) {
  for (const char* cc : {"gcc", "clang-19"}) {
    if (!Have(cc)) continue;
    if (kSan != "" && std::string(cc) != "gcc") continue;
    SCOPED_TRACE(cc);
    std::string out, c = std::string(cc) + " " + kSan;
    Run("rm -rf maps *.o *.a *.so prog*");
    ASSERT_EQ(Run(kQelcc + " --strict " + c + " -ffunction-sections -fdata-sections -c a.c && " +
                      kQelcc + " --strict " + c + " -c main.c && ar rcs liba.a a.o",
                  &out),
              0)
        << out;
    std::map<int, Json::Value> maps = MapsIn(P("maps"));
    ASSERT_EQ(maps.size(), 2u);
    std::vector<ObjectMap> in_a = ObjectMaps(P("a.o"));
    ASSERT_EQ(in_a.size(), 1u);
    EXPECT_TRUE(in_a[0].record.instrumented);
    EXPECT_EQ(in_a[0].doc, maps[in_a[0].record.unit]);
    EXPECT_EQ(in_a[0].doc["identity"].asString().substr(0, 8), "fnv1a64:");
    ASSERT_EQ(Run(kQelcc + " " + c + " main.o -L. -la -Wl,--gc-sections -o prog && strip prog -o "
                  "prog.stripped && strip --strip-unneeded prog -o prog.unneeded",
                  &out),
              0)
        << out;
    for (const char* p : {"prog", "prog.stripped", "prog.unneeded"}) {
      std::vector<ObjectMap> linked = ObjectMaps(P(p));
      ASSERT_EQ(linked.size(), 2u) << p;
      std::set<int> units;
      for (const ObjectMap& m : linked) {
        units.insert(m.record.unit);
        EXPECT_EQ(m.doc, maps[m.record.unit]) << p;
      }
      EXPECT_EQ(units.size(), 2u);
    }
    // Removed only when asked for by name.
    ASSERT_EQ(Run("strip -R .qelmap prog -o prog.bare"), 0);
    EXPECT_TRUE(ObjectMaps(P("prog.bare")).empty());
    ASSERT_EQ(Run(kQelcc + " " + c + " -shared -fPIC a.c -o liba.so", &out), 0) << out;
    ASSERT_EQ(Run("strip liba.so"), 0);
    ASSERT_EQ(ObjectMaps(P("liba.so")).size(), 1u);
  }
}

// ---- one-step compile and link --------------------------------------------

TEST_F(Build, OneStepCompileAndLinkRebuiltAfterAnEditKeepsOneMap) {
  Write("s.c",
        "int main(int argc, char **argv) {\n"
        "  (void)argv;\n"
        "  if (argc > 5 || argc < 0) return 1;\n"
        "  return 0;\n"
        "}\n");
  std::string out;
  ASSERT_EQ(Run(kQelcc + " --strict gcc " + kSan + " s.c -o prog", &out), 0) << out;
  std::map<int, Json::Value> before = MapsIn(P("maps"));
  ASSERT_EQ(before.size(), 1u);
  EXPECT_EQ(before.begin()->second["decisions"].size(), 1u);
  EXPECT_EQ(before.begin()->second["object"].asString(), P("prog"));
  Write("s.c",
        "#include <stdio.h>\n"
        "int main(void) {\n"
        "  puts(\"hello\");\n"
        "  return 0;\n"
        "}\n");
  ASSERT_EQ(Run(kQelcc + " --strict gcc " + kSan + " s.c -o prog", &out), 0) << out;
  std::map<int, Json::Value> after = MapsIn(P("maps"));
  ASSERT_EQ(after.size(), 1u);
  EXPECT_EQ(after.begin()->first, before.begin()->first);  // the unit keeps its id
  EXPECT_EQ(after.begin()->second["decisions"].size(), 0u);
  EXPECT_NE(after.begin()->second["identity"], before.begin()->second["identity"]);
  EXPECT_EQ(Sh("ls '" + P("maps") + "' | grep -c qelmap.json", &out), 0);
  EXPECT_EQ(out, "1\n");
  // The report is the new source's, nothing of the old one.
  Json::Value files = Coverage("prog");
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(files[0]["decisions"].size(), 0u);
  EXPECT_EQ(files[0]["totals"]["lines"]["covered"], files[0]["totals"]["lines"]["total"]);
  // Rebuilt unchanged, the identity stays.
  ASSERT_EQ(Run(kQelcc + " --strict gcc " + kSan + " s.c -o prog", &out), 0) << out;
  EXPECT_EQ(MapsIn(P("maps")).begin()->second["identity"], after.begin()->second["identity"]);
}

// ---- the map from a file -------------------------------------------------

// A compile that assembles at once gets the map from a file the assembler
// reads, kept with the text under --keep; the section is byte for byte the
// one the text that spells the map out gives (which -save-temps keeps), on
// both compilers, from a temporary directory of any name.
TEST_F(Build, TheMapFromAFileGivesTheSectionTheTextWouldGive) {
  const std::string tmp = P("tmp \"q\" \\ \xc3\xa9?");
  ASSERT_EQ(Sh("mkdir '" + tmp + "'"), 0);
  for (const char* cc : {"gcc", "clang-14", "clang-19"}) {
    if (!Have(cc)) continue;
    if (kSan != "" && std::string(cc) != "gcc") continue;
    for (const char* flags : {"-O2 -fPIC", "-O0 -g"}) {
      SCOPED_TRACE(std::string(cc) + " " + flags);
      const std::string c = std::string(cc) + " " + kSan + " " + flags;
      std::string out, by_file, by_text, error;
      Run("rm -rf maps *.o");
      ASSERT_EQ(Run("TMPDIR='" + tmp + "' " + kQelcc + " --keep --strict " + c +
                        " -c a.c -o a.o 2>&1",
                    &out),
                0)
          << out;
      const std::string kept = "qelcc: kept ";
      ASSERT_EQ(out.rfind(kept + tmp + "/", 0), 0u) << out;
      const std::string dir = out.substr(kept.size(), out.find('\n') - kept.size());
      const std::string text = ReadFile(dir + "/u0/a.i");
      EXPECT_NE(text.find(".incbin"), std::string::npos);
      EXPECT_EQ(text.find(".ascii"), std::string::npos);
      ASSERT_EQ(elf::FindSectionInFile(P("a.o"), ".qelmap", &by_file, &error),
                elf::Result::kFound)
          << error;
      EXPECT_EQ(ReadFile(dir + "/u0/map.bin"), by_file);
      const std::vector<ObjectMap> maps = ObjectMaps(P("a.o"));
      ASSERT_EQ(maps.size(), 1u);
      EXPECT_EQ(maps[0].doc, MapsIn(P("maps"))[maps[0].record.unit]);
      Sh("rm -rf '" + dir + "'");
      ASSERT_EQ(Run(kQelcc + " --strict " + c + " -save-temps -c a.c -o a.o", &out), 0) << out;
      ASSERT_EQ(elf::FindSectionInFile(P("a.o"), ".qelmap", &by_text, &error),
                elf::Result::kFound)
          << error;
      EXPECT_NE(ReadFile(P("a.s")).find(".ascii"), std::string::npos);
      EXPECT_TRUE(by_file == by_text);
    }
  }
}

// With link-time optimisation the units' text is assembled by the link,
// long after the compiles that wrote it: the program carries every map.
TEST_F(Build, ALinkTimeOptimisedProgramCarriesTheMapsOfUnitsCompiledBefore) {
  for (const char* cc : {"gcc", "clang-14 -fuse-ld=lld", "clang-19"}) {
    const std::string name = std::string(cc).substr(0, std::string(cc).find(' '));
    if (!Have(name) || (std::string(cc).find("lld") != std::string::npos && !Have("ld.lld")))
      continue;
    if (kSan != "" && name != "gcc") continue;
    SCOPED_TRACE(cc);
    const std::string c = kQelcc + " --strict " + cc + " " + kSan + " -O2 -flto ";
    std::string out;
    Run("rm -rf maps *.o prog");
    ASSERT_EQ(Run(c + "-c a.c && " + c + "-c main.c", &out), 0) << out;
    ASSERT_EQ(Run(c + "a.o main.o -o prog", &out), 0) << out;
    const std::map<int, Json::Value> maps = MapsIn(P("maps"));
    const std::vector<ObjectMap> linked = ObjectMaps(P("prog"));
    ASSERT_EQ(linked.size(), 2u);
    for (const ObjectMap& m : linked) {
      ASSERT_EQ(maps.count(m.record.unit), 1u);
      EXPECT_EQ(m.doc, maps.at(m.record.unit));
    }
  }
}

// ---- compiler caches ------------------------------------------------------

TEST_F(Build, CompilerCachesInBothOrdersGiveTheSameReportOnAHit) {
  if (!Have("ccache")) GTEST_SKIP() << "ccache is not installed";
  const std::string cache = "CCACHE_DIR=" + P("ccache") + " CCACHE_NOCOMPRESS=1 ";
  // Also ccache under the compiler's name, as distributions install it.
  ASSERT_EQ(Run("mkdir bin && ln -s \"$(command -v ccache)\" bin/gcc"), 0);
  for (const std::string& cc :
       {"ccache " + kQelcc + " gcc", kQelcc + " ccache gcc", kQelcc + " " + P("bin/gcc")}) {
    SCOPED_TRACE(cc);
    std::string out;
    Run("rm -rf ccache maps *.o prog*");
    auto build = [&]() {
      return Run(cache + cc + " " + kSan + " -c a.c -o a.o && " + cache + cc + " " + kSan +
                     " -c main.c -o main.o && " + cache + cc + " " + kSan +
                     " a.o main.o -o prog",
                 &out);
    };
    ASSERT_EQ(build(), 0) << out;
    Json::Value miss = Coverage("prog");
    ASSERT_EQ(miss.size(), 2u);
    // A fresh tree in the same place: no objects, no maps, a warm cache.
    Run("rm -rf maps *.o prog*");
    ASSERT_EQ(build(), 0) << out;
    ASSERT_EQ(Sh(cache + "ccache --print-stats", &out), 0);
    long hits = 0;
    std::istringstream stats(out);
    std::string key;
    long value = 0;
    while (stats >> key >> value) {
      if (key == "direct_cache_hit" || key == "preprocessed_cache_hit") hits += value;
    }
    EXPECT_GE(hits, 2) << out;
    EXPECT_EQ(MapsIn(P("maps")).size(), 2u);
    EXPECT_EQ(Coverage("prog"), miss);
  }
}

// ---- the link's checks ----------------------------------------------------

TEST_F(Build, ALinkRefusesTwoUnitsWithOneIdAndCompletesTheMapDirectory) {
  std::string out;
  ASSERT_EQ(Run(kQelcc + " gcc " + kSan + " -c a.c -o a.o && " + kQelcc + " gcc " + kSan +
                    " -c main.c -o main.o",
                &out),
            0)
      << out;
  const int unit = ObjectMaps(P("a.o")).at(0).record.unit;
  // Another map directory gives that id to main.c: two units, one id.
  Sh("mkdir -p '" + P("other") + "'");
  Write("other/units.json", "{ \"format\": \"qelunits\", \"version\": 1, \"units\": [ { \"unit\": " +
                                std::to_string(unit) + ", \"source\": \"" + P("main.c") +
                                "\", \"object\": \"" + P("main2.o") + "\" } ] }");
  ASSERT_EQ(Run("QELCC_MAP_DIR=other " + kQelcc + " gcc " + kSan + " -c main.c -o main2.o", &out),
            0)
      << out;
  ASSERT_EQ(ObjectMaps(P("main2.o")).at(0).record.unit, unit);
  EXPECT_EQ(Run(kQelcc + " gcc " + kSan + " a.o main2.o -o prog", &out), 1);
  EXPECT_NE(out.find("were built as the same unit " + std::to_string(unit)), std::string::npos)
      << out;
  EXPECT_NE(out.find(P("a.c")), std::string::npos) << out;
  EXPECT_FALSE(Exists(P("prog")));
  // Linked with an empty map directory: the maps the objects carry are put
  // into it, byte for byte.
  ASSERT_EQ(Run("QELCC_MAP_DIR=fresh " + kQelcc + " gcc " + kSan + " a.o main.o -o prog", &out), 0)
      << out;
  std::map<int, Json::Value> fresh = MapsIn(P("fresh")), maps = MapsIn(P("maps"));
  EXPECT_EQ(fresh, maps);
  for (const auto& m : maps) {
    const std::string name = "/" + std::to_string(m.first) + ".qelmap.json";
    EXPECT_EQ(ReadFile(P("fresh") + name), ReadFile(P("maps") + name));
  }
  // A directory that gives the id to another source: the link says so.
  ASSERT_EQ(Run("QELCC_MAP_DIR=other " + kQelcc + " gcc " + kSan + " a.o main.o -o prog2", &out),
            1);
  EXPECT_NE(out.find("is unit " + std::to_string(unit) + " of " + P("main.c")), std::string::npos)
      << out;
  EXPECT_FALSE(Exists(P("prog2")));
}

// ---- compile forms --------------------------------------------------------

TEST_F(Build, EveryCompileFormIsInstrumentedUnderStrict) {
  Write("r.inc", "int r(int x) { return x > 1 && x < 9; }\n");
  Write("b.S", ".text\n.globl b_sym\nb_sym:\n  ret\n");
  Write("more.rsp", "-o 'rsp.o'\n");
  Write("args.rsp", "-c \"a.c\" @more.rsp -DNAME=\\\"x\\\"\n");
  const std::string strict = kQelcc + " --strict gcc " + kSan + " ";
  struct Form {
    const char* what;
    std::string cmd;
    const char* object;
  };
  const Form forms[] = {
      {"@file", strict + "@args.rsp", "rsp.o"},
      {"-xc joined", strict + "-xc -c r.inc -o xc.o", "xc.o"},
      {"-x c separate", strict + "-x c -c r.inc -o x_c.o", "x_c.o"},
      {"-save-temps", strict + "-save-temps -c a.c -o st.o", "st.o"},
      {"-v", strict + "-v -c a.c -o v.o", "v.o"},
      {"preprocessed input", "gcc -E a.c -o pre.i && " + strict + "-c pre.i -o pre.o", "pre.o"},
      {"-S, then assembled", strict + "-S a.c -o s.s && gcc -c s.s -o s.o", "s.o"},
      {"C beside assembly", strict + "-c a.c b.S", "a.o"},
  };
  for (const Form& f : forms) {
    SCOPED_TRACE(f.what);
    std::string out;
    ASSERT_EQ(Run(f.cmd, &out), 0) << out;
    EXPECT_EQ(Sh("nm '" + P(f.object) + "' | grep -q 'U QelCounterRegister'"), 0);
    std::vector<ObjectMap> m = ObjectMaps(P(f.object));
    ASSERT_EQ(m.size(), 1u);
    EXPECT_TRUE(m[0].record.instrumented);
    EXPECT_EQ(m[0].doc, MapsIn(P("maps"))[m[0].record.unit]);
  }
  EXPECT_TRUE(Exists(P("st.s")));  // what -save-temps keeps
  EXPECT_TRUE(Exists(P("b.o")));
  EXPECT_NE(Sh("nm '" + P("b.o") + "' | grep -q 'QelNode\\|QelCounter'"), 0);
  // Standard input cannot be read twice: --strict stops naming it, without
  // --strict the unit is compiled plain and recorded as such.
  std::string out;
  EXPECT_EQ(Run("echo 'int f(int a) { return a && 1; }' | " + strict + "-x c -c - -o in.o", &out),
            1);
  EXPECT_NE(out.find("qelcc: error: <stdin>: the source is read from standard input"),
            std::string::npos)
      << out;
  ASSERT_EQ(Run("echo 'int f(int a) { return a && 1; }' | " + kQelcc + " gcc " + kSan +
                    " -x c -c - -o in.o",
                &out),
            0)
      << out;
  EXPECT_NE(out.find("qelcc: warning: <stdin>:"), std::string::npos) << out;
  std::vector<ObjectMap> in = ObjectMaps(P("in.o"));
  ASSERT_EQ(in.size(), 1u);
  EXPECT_FALSE(in[0].record.instrumented);
  EXPECT_EQ(in[0].doc["reason"].asString(), "the source is read from standard input");
  EXPECT_FALSE(MapsIn(P("maps"))[in[0].record.unit]["instrumented"].asBool());
}

// _GNU_SOURCE makes glibc's headers give libclang dozens of errors of their
// own; the unit is instrumented all the same, and no compiler says a word
// (clang 18 and later would call every line marker of the preprocessed text
// a GNU extension under -pedantic).
TEST_F(Build, GnuSourceUnitIsInstrumentedQuietly) {
  Write("gnu.c",
        "#define _GNU_SOURCE\n"
        "#include <stdio.h>\n"
        "#include <stdlib.h>\n"
        "int twice(int v) { return v > 0 && v < 100 ? 2 * v : 0; }\n"
        "int main(void) { printf(\"%d\\n\", twice(21)); return 0; }\n");
  for (const char* cc : {"gcc", "clang-14", "clang-19"}) {
    if (!Have(cc)) continue;
    SCOPED_TRACE(cc);
    std::string out;
    ASSERT_EQ(Run(kQelcc + " --strict " + cc + " -Wall -Wextra -pedantic -c gnu.c -o gnu.o", &out), 0)
        << out;
    EXPECT_EQ(out, "");
    EXPECT_EQ(Sh("nm '" + P("gnu.o") + "' | grep -q 'U QelCounterRegister'"), 0);
    ASSERT_EQ(ObjectMaps(P("gnu.o")).size(), 1u);
    EXPECT_TRUE(ObjectMaps(P("gnu.o"))[0].record.instrumented);
  }
}

// The data model chosen on the command line picks the counters' increment:
// a 64-bit add on 32-bit counters (x32) would count into the next counter,
// and a 64-bit add does not assemble for -m32.
TEST_F(Build, CountersFollowTheDataModelOfTheCommandLine) {
  Write("m.c", "int pick(int a, int b) { return a && b ? 1 : 2; }\n");
  for (const char* model : {"-m32", "-mx32", "-m64"}) {
    SCOPED_TRACE(model);
    std::string out;
    ASSERT_EQ(Run(kQelcc + " --strict gcc -O2 " + model + " -S m.c -o m.s", &out), 0) << out;
    const bool wide = std::string(model) == "-m64";
    EXPECT_EQ(Sh("grep -q 'addq *\\$1' '" + P("m.s") + "'"), wide ? 0 : 1);
    EXPECT_EQ(Sh("grep -q 'addl *\\$1' '" + P("m.s") + "'"), wide ? 1 : 0);
  }
}

// ---- generated code -------------------------------------------------------

// A node, decision or condition never spans two files: after a #line the
// code is the named file's.
TEST_F(Build, LineDirectivesSplitNodesByFile) {
  Write("gen.y", std::string(120, '\n'));
  Write("lined.c",
        "int f(int a) {\n"
        "  int x = a + 1;\n"
        "#line 100 \"gen.y\"\n"
        "  x = x * 2;\n"
        "  x += a > 3 ? 1 : 2;\n"
        "#line 6 \"lined.c\"\n"
        "  return x;\n"
        "}\n");
  std::string out;
  ASSERT_EQ(Run(kQelcc + " --strict gcc -c lined.c -o lined.o", &out), 0) << out;
  Json::Value map = OnlyMap(P("maps"));
  std::map<int, std::string> files;
  for (const Json::Value& f : map["files"]) files[f["id"].asInt()] = f["path"].asString();
  std::map<std::string, std::set<unsigned>> lines;
  for (const Json::Value& n : map["nodes"]) {
    for (const Json::Value& l : n["lines"]) lines[files[n["file"].asInt()]].insert(l.asUInt());
  }
  EXPECT_EQ(lines[P("gen.y")], (std::set<unsigned>{100, 101}));
  EXPECT_EQ(lines[P("lined.c")], (std::set<unsigned>{1, 2, 6}));
  ASSERT_EQ(map["decisions"].size(), 1u);
  EXPECT_EQ(files[map["decisions"][0]["file"].asInt()], P("gen.y"));
  EXPECT_EQ(map["decisions"][0]["line"].asUInt(), 101u);
}

// A real grammar: bison's output switches between the grammar and the
// generated parser at every action. Line status agrees with gcov's on every
// line both count, in both files.
TEST_F(Build, BisonGrammarLinesAgreeWithGcov) {
  if (!Have("bison") || !Have("gcov")) GTEST_SKIP() << "bison or gcov is not installed";
  if (kSan != "") GTEST_SKIP() << "sanitizer build";
  std::string out;
  ASSERT_EQ(Run("cp '" + std::string(QELCC_FIXTURES) + "/calc.y' . && bison -o calc.c calc.y && "
                "printf '1+2\\n3*4-2\\n8/0\\n(5)\\n' > in.txt",
                &out),
            0)
      << out;
  ASSERT_EQ(Run("gcc -O0 -w --coverage calc.c -o calc_gcov && ./calc_gcov < in.txt && "
                "gcov -j -o . calc_gcov-calc.gcda && gzip -dc calc_gcov-calc.gcov.json.gz > gcov.json",
                &out),
            0)
      << out;
  ASSERT_EQ(Run(kQelcc + " --strict gcc -O0 -w calc.c -o calc && " + kCollect +
                    " --out run.jsonl --no-report --timeout 60 -- sh -c './calc < in.txt'",
                &out),
            0)
      << out;
  // gcov's lines and counts, per file.
  std::map<std::pair<std::string, unsigned>, long> gcov;
  const Json::Value g = ParseJson(ReadFile(P("gcov.json")));
  for (const Json::Value& f : g["files"]) {
    for (const Json::Value& l : f["lines"]) {
      gcov[{P(f["file"].asString()), l["line_number"].asUInt()}] += l["count"].asInt64();
    }
  }
  // Ours: a line counts as often as its busiest node.
  Counts counts = ReadCounts(P("run.jsonl"));
  Json::Value map = OnlyMap(P("maps"));
  std::map<int, std::string> files;
  for (const Json::Value& f : map["files"]) files[f["id"].asInt()] = f["path"].asString();
  std::map<std::pair<std::string, unsigned>, long> ours;
  for (const Json::Value& n : map["nodes"]) {
    for (const Json::Value& l : n["lines"]) {
      long& c = ours[{files[n["file"].asInt()], l.asUInt()}];
      c = std::max(c, counts.Node(map["unit"].asInt(), n["id"].asInt()));
    }
  }
  std::map<std::string, int> both, agree;
  for (const auto& o : ours) {
    auto it = gcov.find(o.first);
    if (it == gcov.end()) continue;
    ++both[o.first.first];
    if ((it->second > 0) == (o.second > 0)) {
      ++agree[o.first.first];
    } else {
      ADD_FAILURE() << o.first.first << ":" << o.first.second << " gcov " << it->second
                    << ", qelcc " << o.second;
    }
  }
  EXPECT_GE(both[P("calc.y")], 10);
  EXPECT_GE(both[P("calc.c")], 100);
  EXPECT_EQ(agree, both);
}

}  // namespace

// ---- whole runs under the collector ---------------------------------------

namespace {

// The count of line `line` in the coverage JSON's first file.
int64_t LineCount(const Json::Value& files, int line) {
  for (const auto& l : files[0]["lines"])
    if (l[0].asInt() == line) return l[1].asInt64();
  return -1;
}

}  // namespace

// Building and testing in one command (make check, cmake --build && ctest):
// the maps the build writes are read when the report is made.
TEST_F(Build, BuildAndRunInOneCommandReadsTheMapsTheBuildWrote) {
  std::string out;
  ASSERT_EQ(Run(kCollect + " --map maps --json cov.json --no-report --timeout 60 -- sh -c '" +
                    kQelcc + " --strict gcc " + kSan + " a.c main.c -o prog && ./prog'",
                &out),
            0)
      << out;
  const Json::Value doc = ParseJson(ReadFile(P("cov.json")));
  ASSERT_EQ(doc["files"].size(), 2u);  // a.c, main.c
  EXPECT_EQ(doc["files"][0]["path"].asString(), P("a.c"));
  EXPECT_EQ(LineCount(doc["files"], 3), 1);  // return a: pick(1, 2)
  EXPECT_EQ(LineCount(doc["files"], 4), 1);  // return b: pick(0, 3)
  EXPECT_EQ(doc["problems"].size(), 0u);
  // A map directory the command never fills is still a clear error, after
  // the run, which keeps its own report.
  EXPECT_EQ(Run(kCollect + " --map nowhere --timeout 60 -- ./prog", &out), 2) << out;
  EXPECT_NE(out.find("qelcollect: cannot read map directory nowhere"), std::string::npos) << out;
  EXPECT_NE(out.find("Messages: "), std::string::npos) << out;
}

// A daemon that outlives the program that started it is collected until its
// stream ends; one killed (SIGKILL) never ends its stream: it is named, and
// the run fails with the status of loss unless --loss-warning.
TEST_F(Build, DaemonsAreCollectedToTheirEndAndAKilledProcessIsNamed) {
  // The sanitizers' runtimes cannot fork a multi-threaded program reliably
  // (see FiftyForkedChildrenUnderQelcollectCountExactly).
  if (!kSan.empty()) GTEST_SKIP() << "fork under a sanitizer";
  Write("daemon.c",
        "#include <signal.h>\n"
        "#include <stdlib.h>\n"
        "#include <string.h>\n"
        "#include <unistd.h>\n"
        "int pick(int a, int b);\n"
        "int main(int argc, char **argv) {\n"
        "  int killed = argc > 1 && strcmp(argv[1], \"kill\") == 0;\n"
        "  if (fork() == 0) {\n"
        "    setsid();\n"
        "    pick(1, 2);\n"
        "    usleep(killed ? 400000 : 1500000);\n"
        "    if (killed) kill(getpid(), SIGKILL);\n"
        "    pick(0, 3);\n"
        "    pick(0, 4);\n"
        "    exit(0);\n"
        "  }\n"
        "  usleep(200000); /* a daemon has the quiet period to announce itself */\n"
        "  return pick(5, 5) == 5 ? 0 : 1;\n"
        "}\n");
  std::string out;
  ASSERT_EQ(Run(kQelcc + " --strict gcc " + kSan + " a.c daemon.c -o daemon", &out), 0) << out;

  ASSERT_EQ(Run(kCollect + " --map maps --json d.json --no-report --timeout 60 -- ./daemon", &out),
            0)
      << out;
  EXPECT_NE(out.find("outlived the program"), std::string::npos) << out;
  Json::Value doc = ParseJson(ReadFile(P("d.json")));
  EXPECT_EQ(LineCount(doc["files"], 3), 2) << out;  // pick(1, 2) in the daemon, pick(5, 5)
  EXPECT_EQ(LineCount(doc["files"], 4), 2) << out;  // the daemon's last two calls
  EXPECT_EQ(doc["problems"].size(), 0u);

  EXPECT_EQ(Run(kCollect + " --map maps --json k.json --out k.jsonl --no-report --timeout 60 -- "
                           "./daemon kill",
                &out),
            10)
      << out;
  doc = ParseJson(ReadFile(P("k.json")));
  ASSERT_EQ(doc["problems"].size(), 1u) << out;
  EXPECT_EQ(doc["problems"][0]["kind"].asString(), "unfinished_stream");
  EXPECT_NE(doc["problems"][0]["subject"].asString().find(P("daemon") + ")"), std::string::npos);
  EXPECT_NE(out.find("Processes whose stream never finished: 1 (exit status 10"),
            std::string::npos)
      << out;
  EXPECT_EQ(LineCount(doc["files"], 4), 0);  // killed before its last calls
  // The saved run gives the same list and status; --loss-warning keeps the
  // list and drops the status.
  EXPECT_EQ(Run(kCollect + " report --map maps " + P("k.jsonl"), &out), 10) << out;
  EXPECT_NE(out.find("-- Run problems: 1\n  Processes whose stream never finished"),
            std::string::npos)
      << out;
  EXPECT_EQ(Run(kCollect + " report --loss-warning --map maps " + P("k.jsonl"), &out), 0) << out;
  EXPECT_NE(out.find("(a warning, --loss-warning)"), std::string::npos) << out;
}

// An exec ends the image's stream and the program it execs starts a new one
// under the same pid; a crash flush ends the stream of a process that
// crashed. Neither is listed as a loss.
TEST_F(Build, ExecAndCrashEndTheirStreams) {
  Write("image.c",
        "#include <signal.h>\n"
        "#include <string.h>\n"
        "#include <unistd.h>\n"
        "int pick(int a, int b);\n"
        "int main(int argc, char **argv) {\n"
        "  if (argc > 1 && strcmp(argv[1], \"exec\") == 0) {\n"
        "    pick(1, 2);\n"
        "    execl(argv[0], argv[0], \"again\", (char *)0);\n"
        "    return 9;\n"
        "  }\n"
        "  if (argc > 1 && strcmp(argv[1], \"crash\") == 0) {\n"
        "    pick(1, 2);\n"
        "    raise(SIGSEGV);\n"
        "  }\n"
        "  return pick(0, 3) == 3 ? 0 : 1;\n"
        "}\n");
  std::string out;
  ASSERT_EQ(Run(kQelcc + " --strict gcc " + kSan + " a.c image.c -o image", &out), 0) << out;

  ASSERT_EQ(Run(kCollect + " --map maps --json e.json --out e.jsonl --no-report --timeout 60 -- "
                           "./image exec",
                &out),
            0)
      << out;
  Json::Value doc = ParseJson(ReadFile(P("e.json")));
  EXPECT_EQ(LineCount(doc["files"], 3), 1) << out;  // before the exec
  EXPECT_EQ(LineCount(doc["files"], 4), 1) << out;  // the new image
  EXPECT_EQ(doc["problems"].size(), 0u);
  int starts = 0, ends = 0;
  std::set<std::string> pids;
  std::istringstream saved(ReadFile(P("e.jsonl")));
  for (std::string line; std::getline(saved, line);) {
    const std::string text = ParseJson(line).get("text", "").asString();
    starts += text.rfind("process-start ", 0) == 0;
    ends += text.rfind("process-end ", 0) == 0;
    if (text.rfind("process-start ", 0) == 0) pids.insert(text.substr(14, text.find(' ', 14) - 14));
  }
  EXPECT_EQ(starts, 2);
  EXPECT_EQ(ends, 2);
  EXPECT_EQ(pids.size(), 1u);  // one pid, two streams

  EXPECT_EQ(Run(kCollect + " --map maps --json c.json --no-report --timeout 60 -- " +
                    kPlainSignals + "./image crash",
                &out),
            128 + 11)
      << out;
  doc = ParseJson(ReadFile(P("c.json")));
  EXPECT_EQ(LineCount(doc["files"], 3), 1) << out;
  EXPECT_EQ(doc["problems"].size(), 0u) << out;
}
