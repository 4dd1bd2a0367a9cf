// qelgen on a project of its own: the generated driver meets the vectors'
// expectations (in process and isolated), the functions it cannot drive are
// listed with their reasons, and the vector skeletons name every member.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "program_run.h"

namespace {

namespace fs = std::filesystem;
using qel_test::ProgramResult;
using qel_test::RunProgram;

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

class TempDir {
 public:
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "qelgen_XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) ADD_FAILURE() << "mkdtemp failed";
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

ProgramResult Generate(const std::vector<std::string>& extra) {
  // libclang parses on a thread of its own unless told not to; keep the
  // generator single-threaded under the sanitizers.
  setenv("LIBCLANG_NOTHREADS", "1", 1);
  return RunProgram(QELGEN, extra);
}

}  // namespace

TEST(QelgenDemo, GeneratedDriverMeetsEveryExpectation) {
  for (const char* mode : {"--check", "--isolate"}) {
    const ProgramResult r = RunProgram(DEMO_DRIVE, {mode});
    EXPECT_EQ(r.code, 0) << mode << "\n" << r.err;
    EXPECT_TRUE(Contains(r.err, "\n18 passed, 0 failed\n")) << mode << "\n" << r.err;
    EXPECT_EQ(r.out, "upper_case done\n") << mode;
  }
}

TEST(QelgenDemo, UndrivableFunctionsAreListedWithTheirReason) {
  TempDir dir;
  const std::string driver = (dir.path() / "drive.cpp").string();
  const ProgramResult r =
      Generate({"-o", driver, "--vectors", dir.path().string(), "--include", "demo.h",
                DEMO_DIR "/src/geometry.c", DEMO_DIR "/src/text.c", "--", "-I" DEMO_DIR "/src"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_TRUE(Contains(r.err, "qelgen: not driven: apply (") &&
              Contains(r.err, "): parameter fn is a function pointer\n"))
      << r.err;
  EXPECT_TRUE(Contains(r.err, "qelgen: not driven: buffer_of (") &&
              Contains(r.err, "parameter raw is a pointer to void"))
      << r.err;
  EXPECT_TRUE(Contains(r.err, "qelgen: not driven: log_message (") &&
              Contains(r.err, "): variadic"))
      << r.err;
  EXPECT_TRUE(Contains(r.err, "qelgen: not driven: is_vowel (") &&
              Contains(r.err, "): static (internal linkage"))
      << r.err;
  EXPECT_TRUE(Contains(r.err, "qelgen: 12 functions driven, 4 not driven")) << r.err;

  const std::string code = ReadFile(driver);
  EXPECT_TRUE(
      Contains(code, "int drive_total_cost(Json::Value root, int index, CaseRecord* record)"));
  EXPECT_TRUE(Contains(code, "//   apply (")) << "the driver lists them too";
  EXPECT_FALSE(Contains(code, "drive_apply"));

  // Every member present, nested ones included, with its encoding.
  const std::string text = ReadFile(dir.path() / "Value_text.json");
  for (const char* member : {"\"count_vowels0\"", "\"g_calls\": 0", "\"urgent\": 0", "\"price\": 0",
                             "\"code\": \"\"", "\"real\": 0"})
    EXPECT_TRUE(Contains(text, member)) << member << "\n" << text;
  const std::string geometry = ReadFile(dir.path() / "Value_geometry.json");
  for (const char* member : {"\"anchor\"", "\"values\": []", "\"count\": 0", "\"m\""})
    EXPECT_TRUE(Contains(geometry, member)) << member << "\n" << geometry;

  // Vector files a user has written are never overwritten.
  std::ofstream(dir.path() / "Value_text.json") << "{\"mine\": {}}";
  ASSERT_EQ(Generate({"-o", driver, "--vectors", dir.path().string(), DEMO_DIR "/src/text.c", "--",
                      "-I" DEMO_DIR "/src"})
                .code,
            0);
  EXPECT_EQ(ReadFile(dir.path() / "Value_text.json"), "{\"mine\": {}}");

  // A vector folder that does not exist yet is made; one that cannot be is
  // an error that names it.
  const fs::path fresh = dir.path() / "new" / "Value";
  ASSERT_EQ(Generate({"-o", driver, "--vectors", fresh.string(), DEMO_DIR "/src/text.c", "--",
                      "-I" DEMO_DIR "/src"})
                .code,
            0);
  EXPECT_TRUE(fs::exists(fresh / "Value_text.json"));
  std::ofstream(dir.path() / "plain") << "x";
  const ProgramResult blocked =
      Generate({"-o", driver, "--vectors", (dir.path() / "plain" / "v").string(),
                DEMO_DIR "/src/text.c", "--", "-I" DEMO_DIR "/src"});
  EXPECT_EQ(blocked.code, 1);
  EXPECT_TRUE(Contains(blocked.err, "cannot create " + (dir.path() / "plain" / "v").string()))
      << blocked.err;
}

TEST(QelgenDemo, UsageAndInputErrors) {
  ProgramResult r = Generate({"--help"});
  EXPECT_EQ(r.code, 0);
  EXPECT_TRUE(Contains(r.out, "usage: qelgen")) << r.out;

  r = Generate({DEMO_DIR "/src/text.c"});
  EXPECT_EQ(r.code, 2);
  EXPECT_TRUE(Contains(r.err, "no output file (-o)")) << r.err;

  r = Generate({"-o", "/dev/null", "--frobnicate"});
  EXPECT_EQ(r.code, 2);
  EXPECT_TRUE(Contains(r.err, "unknown option \"--frobnicate\"")) << r.err;

  r = Generate({"-o", "/dev/null", "/nonexistent/x.c"});
  EXPECT_EQ(r.code, 1);
  EXPECT_TRUE(Contains(r.err, "/nonexistent/x.c: no such source file")) << r.err;

  TempDir dir;
  const fs::path broken = dir.path() / "broken.c";
  std::ofstream(broken) << "int f(int x) { return x +; }\n";
  r = Generate({"-o", (dir.path() / "d.cpp").string(), broken.string()});
  EXPECT_EQ(r.code, 1);
  EXPECT_TRUE(Contains(r.err, "broken.c:1:")) << r.err;
  EXPECT_FALSE(fs::exists(dir.path() / "d.cpp"));
}
