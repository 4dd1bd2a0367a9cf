// What qelcc keeps between runs and what it loads: the compiler's
// predefined macros are asked once per compiler and target, never taken
// from an entry that is stale, damaged or someone else's, and libclang is
// loaded only by runs that instrument a unit.
#include <gtest/gtest.h>

#include "qelcc_support.h"

using namespace qelcc_test;

namespace {

const std::string kQelcc = QELCC_EXE;

class ProbeCache : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = NewDir(::testing::UnitTest::GetInstance()->current_test_info()->name());
    Write("a.c", "int twice(int v) { return v > 0 && v < 100 ? 2 * v : 0; }\n");
    Write("b.c", "int half(int v) { if (v > 1 || v < -1) return v / 2; return 0; }\n");
    // A compiler that notes every question for its predefined macros.
    Write("cc.sh",
          "#!/bin/sh\nfor a in \"$@\"; do [ \"$a\" = -dM ] && echo probe >> \"$PROBE_LOG\"; done\n"
          "exec gcc \"$@\"\n");
    Sh("chmod +x '" + dir_ + "/cc.sh'");
  }
  void TearDown() override {
    if (!HasFailure()) Sh("rm -rf '" + dir_ + "'");
  }
  void Write(const std::string& name, const std::string& text) {
    std::ofstream(dir_ + "/" + name) << text;
  }
  int Run(const std::string& cmd, std::string* out = nullptr) {
    return Sh("cd '" + dir_ + "' && export QELCC_MAP_DIR=maps PROBE_LOG=probes.log && " + cmd,
              out);
  }
  // Compiles `src` into `obj` through the noting compiler; the object must
  // build whatever the cache holds.
  void Compile(const std::string& src, const std::string& obj, const std::string& env = "") {
    std::string out;
    ASSERT_EQ(Run(env + " " + kQelcc + " ./cc.sh -O1 -c " + src + " -o " + obj, &out), 0) << out;
  }
  int Probes() {
    std::string n;
    Sh("cat '" + dir_ + "/probes.log' 2>/dev/null | wc -l", &n);
    return std::atoi(n.c_str());
  }
  std::vector<std::string> Entries() {
    std::string list;
    Sh("cd '" + dir_ + "/maps/probes' 2>/dev/null && ls -A", &list);
    std::vector<std::string> out;
    std::istringstream in(list);
    for (std::string l; std::getline(in, l);) out.push_back(l);
    return out;
  }
  std::string Obj(const std::string& name) { return ReadFile(dir_ + "/" + name); }
  std::string dir_;
};

TEST_F(ProbeCache, AskedOncePerCompilerAndTargetSameObjects) {
  Compile("a.c", "ref_a.o", "QELCC_NO_PROBE_CACHE=1");
  Compile("a.c", "ref_a.o", "QELCC_NO_PROBE_CACHE=1");
  EXPECT_EQ(Probes(), 2);
  EXPECT_TRUE(Entries().empty());
  const std::string ref = Obj("ref_a.o");
  ASSERT_FALSE(ref.empty());

  Compile("a.c", "ref_a.o");
  Compile("b.c", "b.o");
  Compile("a.c", "ref_a.o");
  EXPECT_EQ(Probes(), 3);  // the first cached run asks, the others read
  ASSERT_EQ(Entries().size(), 1u);
  EXPECT_EQ(Obj("ref_a.o"), ref);  // the answer read back builds the same object
  std::string out;
  ASSERT_EQ(Run(kQelcc + " --no-probe-cache ./cc.sh -O1 -c a.c -o ref_a.o", &out), 0) << out;
  EXPECT_EQ(Probes(), 4);

  // Another data model is another question, with its own answer: 32-bit
  // counters in a 32-bit object.
  Write("m.c", "int f(int x) { return x > 2 && x < 9; }\n");
  std::string cls;
  if (Run("./cc.sh -m32 -c m.c -o plain32.o") == 0) {
    Compile("-m32 m.c", "m32.o");
    EXPECT_EQ(Probes(), 5);
    EXPECT_EQ(Entries().size(), 2u);
    Sh("od -An -tx1 -j4 -N1 '" + dir_ + "/m32.o'", &cls);
    EXPECT_NE(cls.find("01"), std::string::npos) << cls;  // ELFCLASS32
    Compile("-m32 m.c", "m32.o");
    EXPECT_EQ(Probes(), 5);
  }
}

TEST_F(ProbeCache, CompilerChangedUnderTheSamePathIsAskedAgain) {
  Compile("a.c", "a.o");
  Compile("a.c", "a.o");
  EXPECT_EQ(Probes(), 1);
  // New contents (an upgrade): size and time change.
  Sh("echo '# 2' >> '" + dir_ + "/cc.sh'");
  Compile("a.c", "a.o");
  EXPECT_EQ(Probes(), 2);
  Compile("a.c", "a.o");
  EXPECT_EQ(Probes(), 2);
  // Same size, another time (a reinstall, a tree restored from a backup).
  Sh("touch -d '2001-02-03 04:05:06' '" + dir_ + "/cc.sh'");
  Compile("a.c", "a.o");
  EXPECT_EQ(Probes(), 3);
  // The drivers' own environment: where they find their parts.
  Compile("a.c", "a.o", "COMPILER_PATH=/nowhere");
  EXPECT_EQ(Probes(), 4);
  Compile("a.c", "a.o");
  EXPECT_EQ(Probes(), 4);
  // Another compiler reached through the same name on the PATH.
  Sh("mkdir -p '" + dir_ + "/bin' && cp '" + dir_ + "/cc.sh' '" + dir_ + "/bin/cc.sh'");
  std::string out;
  ASSERT_EQ(Run("PATH=\"$PWD/bin:$PATH\" " + kQelcc + " cc.sh -O1 -c a.c -o a.o", &out), 0) << out;
  EXPECT_EQ(Probes(), 5);
}

TEST_F(ProbeCache, DamagedOrForeignEntriesAreNeverUsed) {
  Compile("a.c", "ref.o", "QELCC_NO_PROBE_CACHE=1");
  const std::string ref = Obj("ref.o");
  Compile("a.c", "ref.o");
  ASSERT_EQ(Entries().size(), 1u);
  const std::string entry = dir_ + "/maps/probes/" + Entries()[0];
  const std::string sound = ReadFile(entry);
  // An answer that would change the object: a Windows target's macros.
  std::string foreign = sound;
  const size_t at = foreign.find("#define __x86_64__ 1");
  if (at != std::string::npos) foreign.replace(at, 20, "#define _WIN32 1   1");
  const std::vector<std::pair<std::string, std::string>> damage = {
      {"empty", ""},
      {"cut short", sound.substr(0, sound.size() / 2)},
      {"one byte more", sound + "x"},
      {"answer changed, checksum kept", foreign},
      {"not an entry", "#define __clang__ 1\n"},
      {"length too large", "qelcc probe 1\n99999999:x\n"},
  };
  int probes = Probes();
  for (const auto& d : damage) {
    std::ofstream(entry, std::ios::binary | std::ios::trunc) << d.second;
    Compile("a.c", "ref.o");
    EXPECT_EQ(Probes(), ++probes) << d.first;
    EXPECT_EQ(Obj("ref.o"), ref) << d.first;
    EXPECT_EQ(ReadFile(entry), sound) << d.first << ": the entry is written sound again";
  }
  // A sound entry of another compiler put in this one's place (its key
  // differs, its checksum holds).
  Write("other.sh", "#!/bin/sh\nexec gcc \"$@\"\n");
  Sh("chmod +x '" + dir_ + "/other.sh'");
  std::string out;
  ASSERT_EQ(Run(kQelcc + " ./other.sh -O1 -c b.c -o b.o", &out), 0) << out;
  ASSERT_EQ(Entries().size(), 2u);
  const std::string other = dir_ + "/maps/probes/" +
                            (dir_ + "/maps/probes/" + Entries()[0] == entry ? Entries()[1] : Entries()[0]);
  Sh("cp '" + other + "' '" + entry + "'");
  Compile("a.c", "ref.o");
  EXPECT_EQ(Probes(), ++probes);
  EXPECT_EQ(Obj("ref.o"), ref);
}

TEST_F(ProbeCache, ParallelFirstRunsShareOneSoundEntry) {
  std::string cmd;
  for (int i = 0; i < 8; ++i) {
    Write("p" + std::to_string(i) + ".c",
          "int p" + std::to_string(i) + "(int x) { return x > " + std::to_string(i) + " && x; }\n");
    cmd += kQelcc + " ./cc.sh -O1 -c p" + std::to_string(i) + ".c -o p" + std::to_string(i) +
           ".o & ";
  }
  std::string out;
  ASSERT_EQ(Run("{ " + cmd + "wait; }", &out), 0) << out;
  for (int i = 0; i < 8; ++i) {
    const std::string o = "p" + std::to_string(i) + ".o";
    const std::string parallel = Obj(o);
    ASSERT_FALSE(parallel.empty()) << o << out;
    Compile("p" + std::to_string(i) + ".c", o, "QELCC_NO_PROBE_CACHE=1");
    EXPECT_EQ(Obj(o), parallel) << o;
  }
  // One entry, no temporary left behind, and it is used.
  ASSERT_EQ(Entries().size(), 1u) << out;
  EXPECT_NE(Entries()[0].find(".probe"), std::string::npos);
  const int probes = Probes();
  Compile("p0.c", "p0.o");
  EXPECT_EQ(Probes(), probes);
}

TEST_F(ProbeCache, UnwritableCacheOnlyCostsTheQuestion) {
  Sh("mkdir -p '" + dir_ + "/maps' && touch '" + dir_ + "/maps/probes'");  // a file, not a directory
  Compile("a.c", "a.o");
  Compile("a.c", "a.o");
  EXPECT_EQ(Probes(), 2);
  EXPECT_EQ(Sh("nm '" + dir_ + "/a.o' | grep -q QelCounterRegister"), 0);
}

// A configuration or specs file can change the target as much as a flag on
// the command line: it is part of the question, and so is what it holds.
TEST_F(ProbeCache, ConfigurationAndSpecsFilesArePartOfTheQuestion) {
  Write("s.specs", "*qeltest:\n1\n\n");
  Compile("-specs=s.specs a.c", "a.o");
  Compile("-specs=s.specs a.c", "a.o");
  EXPECT_EQ(Probes(), 1);
  Write("s.specs", "*qeltest:\n2\n\n");  // same name, another file
  Compile("-specs=s.specs a.c", "a.o");
  EXPECT_EQ(Probes(), 2);
  Compile("--specs s.specs a.c", "a.o");  // the value is not a source
  EXPECT_EQ(Probes(), 3);
  Compile("--specs s.specs a.c", "a.o");
  EXPECT_EQ(Probes(), 3);
  // Files the named one includes are not followed: asked every time.
  Write("i.specs", "%include <s.specs>\n");
  Compile("-specs=i.specs a.c", "a.o");
  Compile("-specs=i.specs a.c", "a.o");
  EXPECT_EQ(Probes(), 5);
  // A configuration file appearing beside the compiler (clang reads those
  // by default) is a new question.
  Compile("a.c", "a.o");
  EXPECT_EQ(Probes(), 6);
  Write("x86_64-linux-gnu-cc.cfg", "-m64\n");
  Compile("a.c", "a.o");
  Compile("a.c", "a.o");
  EXPECT_EQ(Probes(), 7);

  // clang's --config naming a data model: the probe asks with it, so the
  // counters are the target's and the unit is instrumented.
  if (Sh("command -v clang-19 >/dev/null") != 0) return;
  Write("clang.sh", "#!/bin/sh\nfor a in \"$@\"; do [ \"$a\" = -dM ] && echo probe >> \"$PROBE_LOG\"; done\n"
                    "exec clang-19 \"$@\"\n");
  Sh("chmod +x '" + dir_ + "/clang.sh'");
  Write("m.c", "int f(int x) { return x > 2 && x < 9; }\n");
  for (const char* model : {"-m32", "-m64", "-m32"}) {
    Write("model.cfg", std::string(model) + "\n");
    for (const char* form : {"--config=./model.cfg", "--config ./model.cfg"}) {
      std::string out, cls;
      ASSERT_EQ(Run(kQelcc + " --strict ./clang.sh " + form + " -O1 -c m.c -o m.o", &out), 0)
          << model << " " << form << "\n" << out;
      Sh("od -An -tx1 -j4 -N1 '" + dir_ + "/m.o'", &cls);
      EXPECT_NE(cls.find(model == std::string("-m32") ? "01" : "02"), std::string::npos)
          << model << " " << form << ": " << cls;
      EXPECT_EQ(Sh("nm '" + dir_ + "/m.o' | grep -q QelCounterRegister"), 0) << model << " " << form;
    }
  }
}

// LD_DEBUG=files names every library the dynamic loader opens.
TEST(LibclangLoading, OnlyRunsThatInstrumentLoadIt) {
  const std::string dir = NewDir("libclang_loading");
  std::ofstream(dir + "/a.c") << "int main(int c, char** v) { (void)v; return c > 5 && c < 9; }\n";
  std::ofstream(dir + "/x.cc") << "int g() { return 1; }\n";
  // Without the server: a run that instruments would otherwise leave the
  // loading to it.
  const std::string in =
      "cd '" + dir + "' && export QELCC_MAP_DIR=maps QELCC_NO_SERVER=1 && LD_DEBUG=files ";
  std::string out;
  ASSERT_EQ(Sh(in + kQelcc + " --version", &out), 0) << out;
  EXPECT_EQ(out.find("libclang"), std::string::npos) << out;
  ASSERT_EQ(Sh(in + kQelcc + " gcc -c a.c -o a.o", &out), 0) << out;
  EXPECT_NE(out.find("libclang"), std::string::npos) << "the check sees the library when it loads";
  ASSERT_EQ(Sh(in + kQelcc + " gcc a.o -o prog", &out), 0) << out;
  EXPECT_EQ(out.find("libclang"), std::string::npos) << "link step";
  ASSERT_EQ(Sh(in + kQelcc + " gcc -E a.c -o a.i", &out), 0) << out;
  EXPECT_EQ(out.find("libclang"), std::string::npos) << "preprocessing only";
  ASSERT_EQ(Sh(in + "QELCC_SCOPE=/nowhere " + kQelcc + " gcc -c a.c -o b.o", &out), 0) << out;
  EXPECT_EQ(out.find("libclang"), std::string::npos) << "out of scope";
  if (Sh("command -v g++") == 0) {
    ASSERT_EQ(Sh(in + kQelcc + " g++ -c x.cc -o x.o", &out), 0) << out;
    EXPECT_EQ(out.find("libclang"), std::string::npos) << "not C";
  }
  Sh("rm -rf '" + dir + "'");
}

}  // namespace
