// orrin_drive as a test runner, run as a program: verdicts and the summary,
// every test case in file order, filters, isolation of crashing and hanging
// functions, JUnit and TAP, and the messages of bad input.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "program_run.h"

namespace {

namespace fs = std::filesystem;
using qel_test::ProgramResult;
using qel_test::RunProgram;

const char* const kGroups[] = {"ArrayType", "BoolType",  "BuiltinType",      "EnumType",
                               "ListNode",  "PointType", "StructorUnionType"};

// A project root of its own; every vector file exists (empty) unless a test
// writes it, so that a checked run has no missing files to count.
class Project {
 public:
  explicit Project(const std::string& folder = "Korvo_Projects/Value", bool fill = true) {
    std::string pattern = (fs::temp_directory_path() / "driver_check_XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) ADD_FAILURE() << "mkdtemp failed";
    root_ = pattern;
    folder_ = root_ / folder;
    fs::create_directories(folder_);
    if (fill)
      for (const char* group : kGroups) Write(group, "{}");
  }
  ~Project() {
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }
  Project(const Project&) = delete;
  Project& operator=(const Project&) = delete;

  Project& Write(const std::string& group, const std::string& text) {
    std::ofstream(File(group), std::ios::binary) << text;
    return *this;
  }
  std::string File(const std::string& group) const {
    return (folder_ / ("Value_" + group + ".json")).string();
  }
  std::string Root() const { return root_.string(); }
  std::string Path(const std::string& name) const { return (root_ / name).string(); }

  ProgramResult Drive(std::vector<std::string> args, const std::string& input = "") const {
    args.push_back(root_.string());
    return RunProgram(ORRIN_DRIVE, args, input);
  }
  ProgramResult Fixture(std::vector<std::string> args) const {
    args.push_back(root_.string());
    return RunProgram(FIXTURE_DRIVE, args);
  }

 private:
  fs::path root_;
  fs::path folder_;
};

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

const char* kBuiltinVectors = R"({
  "BuiltinTypeInt1": {"i_int": 7, "expect": {"stdout": "8"}},
  "BuiltinTypeInt0": {"i_int": 42, "expect": {"stdout": "42"}},
  "BuiltinTypeChar0": {"c_char": "A"},
  "BuiltinTypeShort0": {"s_short": 70000, "expect": {"stdout": "4464"}},
  "BuiltinTypeDouble0": {"d_double": 0.1, "expect": {"stdout": "0.100000"}}
})";

}  // namespace

// ---- verdicts and the summary -------------------------------------------

TEST(DriverCheckVerdicts, GoldenVerdictsWithAHiddenWrongExpectation) {
  Project project;
  project.Write("BuiltinType", kBuiltinVectors);
  const ProgramResult r = project.Drive({"--filter", "BuiltinType*"});
  // What the functions print stays on standard output, in calling order.
  EXPECT_EQ(r.out, std::string("A") + "4464" + "7" + "42" + "0" + "0" + "0.000000" + "0.100000" +
                       "0.000000");
  EXPECT_EQ(r.err,
            "[PASS] BuiltinTypeChar0\n"
            "[PASS] BuiltinTypeShort0\n"
            "[FAIL] BuiltinTypeInt1: stdout: expected \"8\", actual \"7\"\n"
            "[PASS] BuiltinTypeInt0\n"
            "[PASS] BuiltinTypeLong0\n"
            "[PASS] BuiltinTypeLongLong0\n"
            "[PASS] BuiltinTypeFloat0\n"
            "[PASS] BuiltinTypeDouble0\n"
            "[PASS] BuiltinTypeLongDouble0\n"
            "8 passed, 1 failed\n");
  EXPECT_EQ(r.code, 1);
}

TEST(DriverCheckVerdicts, ReturnOutputParametersAndGlobalsAreChecked) {
  Project project;
  project
      .Write("EnumType", R"({
          "EnumTypeTest0": {"cc": 1, "g_glbal": 2, "expect": {"cc": 97, "g_glbal": 999}},
          "UionTypeTest0": {"un_a": {"un_int": 1}, "expect": {"un_a": {"un_int": 10}}}
        })")
      .Write("ListNode", R"({
          "CreateLinkedListTail0": {"n": 3, "stdin": "7 8 9",
                                    "expect": {"return": {"elements": [7, 8, 9]}}},
          "InsertLinkedList0": {"L": {"data": 1}, "i": 1, "x": 4,
                                "expect": {"L": {"data": 1, "elements": [5]}}},
          "getlength0": {"L": {}, "expect": {"return": 0}}
        })")
      .Write("StructorUnionType", R"({
          "StructTypeTest30": {"mm_struct": [{"structone": {"w": 3}}],
                               "expect": {"mm_struct": [{"structone": {"w": 0}}, {}]}}
        })");
  const ProgramResult r = project.Drive(
      {"--filter", "EnumType*", "--filter", "UionType*", "--filter", "CreateLinkedListTail*",
       "--filter", "InsertLinkedList*", "--filter", "getlength*", "--filter", "StructTypeTest3*"});
  EXPECT_EQ(r.err,
            "[FAIL] EnumTypeTest0: g_glbal: expected 999, actual 1000\n"
            "[PASS] UionTypeTest0\n"
            "[PASS] CreateLinkedListTail0\n"
            "[FAIL] InsertLinkedList0: L.elements[0]: expected 5, actual 4\n"
            "[PASS] getlength0\n"
            "[FAIL] StructTypeTest30: mm_struct[0].structone.w: expected 0, actual 1\n"
            "3 passed, 3 failed\n");
  EXPECT_EQ(r.code, 1);
}

TEST(DriverCheckVerdicts, StdinOfATestCaseLeavesTheDriversOwnInputAlone) {
  // The first builder reads the driver's input, which the C library then
  // holds in its buffer; a test case with input of its own must not lose
  // what is left there for the next one.
  Project project;
  project.Write("ListNode", R"({
          "CreateLinkedListHead0": {"n": 1, "expect": {"return": {"elements": [1]}}},
          "CreateLinkedListTail0": {"n": 2, "stdin": "7 8",
                                    "expect": {"return": {"elements": [7, 8]}}},
          "CreateLinkedListTail1": {"n": 2, "expect": {"return": {"elements": [2, 3]}}}
        })");
  const ProgramResult r = project.Drive({"--filter", "CreateLinked*"}, "1 2 3\n");
  EXPECT_EQ(r.err,
            "[PASS] CreateLinkedListHead0\n"
            "[PASS] CreateLinkedListTail0\n"
            "[PASS] CreateLinkedListTail1\n"
            "3 passed, 0 failed\n");
  EXPECT_EQ(r.code, 0);
}

TEST(DriverCheckVerdicts, FloatingValuesUseTheVectorsTolerance) {
  Project project("vectors", false);
  std::ofstream(project.Path("vectors/Value_Fixture.json")) << R"({
      "Scale0": {"x": 0.1, "k": 3, "expect": {"return": 0.3}},
      "Scale1": {"x": 0.1, "k": 3, "expect": {"return": 0.31}},
      "Scale2": {"x": 0.1, "k": 3, "expect": {"return": 0.31, "tolerance": 0.05}}
    })";
  const ProgramResult r = project.Fixture({"--filter", "Scale*"});
  EXPECT_EQ(r.err,
            "[PASS] Scale0\n"
            "[FAIL] Scale1: return: expected 0.31, actual 0.30000000000000004\n"
            "[PASS] Scale2\n"
            "2 passed, 1 failed\n");
  EXPECT_EQ(r.code, 1);
}

TEST(DriverCheckVerdicts, ShippedVectorsPassAndKeepTheirOutput) {
  // The sample's own vectors carry expectations: the default run checks
  // them and prints exactly what it always printed.
  const ProgramResult r =
      RunProgram(ORRIN_DRIVE, {}, ReadFile(ORRIN_GOLDEN_DIR "/shipped_vectors.in"));
  EXPECT_EQ(r.out, ReadFile(ORRIN_GOLDEN_DIR "/shipped_vectors.out"));
  EXPECT_TRUE(Contains(r.err, "[PASS] EnumTypeTest0\n")) << r.err;
  EXPECT_TRUE(Contains(r.err, "\n34 passed, 0 failed, 1 skipped\n")) << r.err;
  EXPECT_EQ(r.code, 0);
}

// ---- every test case, filters, listing ------------------------------------

TEST(DriverCheckCases, EveryTestCaseRunsInFileOrderAndFiltersSelect) {
  Project project;
  project.Write("ArrayType", R"({
          "ArrayTypeOne2": {"array_one": [2, 2]},
          "ArrayTypeOne0": {"array_one": [0, 0]},
          "ArrayTypeOne1": {"array_one": [1, 1]},
          "ArrayTypeTest10": {}, "ArrayTypeTest11": {}
        })");
  ProgramResult r = project.Drive({"--list", "--filter", "ArrayType[OT]*"});
  EXPECT_EQ(r.out,
            "ArrayTypeOne2\nArrayTypeOne0\nArrayTypeOne1\nArrayTypeTwo0\nArrayTypeThree0\n"
            "ArrayTypeTest10\nArrayTypeTest11\nArrayTypeTest20\n");
  EXPECT_EQ(r.code, 0);

  r = project.Drive({"--filter", "ArrayTypeOne*"});
  EXPECT_EQ(r.out, "220011");
  EXPECT_EQ(r.err,
            "[PASS] ArrayTypeOne2\n[PASS] ArrayTypeOne0\n[PASS] ArrayTypeOne1\n"
            "3 passed, 0 failed\n");
  EXPECT_EQ(r.code, 0);

  // Patterns that select nothing (a typo) fail the run, listed or not.
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"--filter", "ArrayTypeOen*"},
        std::vector<std::string>{"--list", "--filter", "ArrayTypeOen*", "--filter", "[]"}}) {
    r = project.Drive(args);
    EXPECT_EQ(r.code, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.rfind("orrin_drive: error: no test case matches --filter \"ArrayTypeOen*\"", 0),
              0u)
        << r.err;
  }
  EXPECT_TRUE(Contains(r.err, "\"ArrayTypeOen*\" or \"[]\"\n")) << r.err;

  // Without expectations or options the specified run stays: test case 0.
  r = project.Drive({});
  EXPECT_EQ(r.out.substr(0, 3), "000");
  EXPECT_FALSE(Contains(r.err, "[PASS]")) << r.err;
  EXPECT_FALSE(Contains(r.err, "passed")) << r.err;
}

// ---- isolation --------------------------------------------------------------

TEST(DriverCheckIsolation, CrashAndHangFailTheirTestCaseAndTheRunGoesOn) {
  Project project("vectors", false);
  std::ofstream(project.Path("vectors/Value_Fixture.json")) << R"({
      "Twice0": {"x": 2, "expect": {"return": 4}},
      "Crash0": {},
      "Hang0": {},
      "Quit0": {"status": 0},
      "Twice1": {"x": 5, "expect": {"return": 10, "stdout": "10"}}
    })";
  // The limit covers every case: a sanitizer's crash report takes most of a
  // second on a busy machine, and it must still count as a crash.
  const ProgramResult r = project.Fixture({"--isolate", "--timeout", "2"});
  ASSERT_TRUE(r.exited) << r.err;
  EXPECT_EQ(r.code, 1);
  // Functions run in the driver's order, each one's test cases in file order.
  EXPECT_EQ(r.out, "410before the crash");
  EXPECT_TRUE(Contains(r.err, "[PASS] Twice0\n[PASS] Twice1\n[PASS] Scale0\n")) << r.err;
  // A sanitizer build reports the crash itself and ends the child by an
  // abort or with a status of its own; a plain build dies by the signal.
  if (Contains(r.err, "AddressSanitizer") || Contains(r.err, "ThreadSanitizer"))
    EXPECT_TRUE(Contains(r.err, "[ERROR] Crash0: crashed with signal") ||
                Contains(r.err, "[ERROR] Crash0: ended with exit status"))
        << r.err;
  else
    EXPECT_TRUE(Contains(r.err, "[ERROR] Crash0: crashed with signal 11 (Segmentation fault)\n"))
        << r.err;
  EXPECT_TRUE(Contains(r.err, "[ERROR] Hang0: timed out after 2 s\n")) << r.err;
  EXPECT_TRUE(
      Contains(r.err, "[ERROR] Quit0: ended with exit status 0 before the test case finished\n"))
      << r.err;
  EXPECT_TRUE(Contains(r.err, "\n4 passed, 3 failed\n")) << r.err;
}

// A process the test case started and left running still holds the result
// pipe: the verdict comes with the end of the test case's own process, not
// at the time limit.
TEST(DriverCheckIsolation, AProcessLeftRunningDoesNotHoldTheVerdict) {
  Project project("vectors", false);
  std::ofstream(project.Path("vectors/Value_Fixture.json")) << R"({
      "Detach0": {"seconds": 60, "expect": {"return": 0}}
    })";
  const ProgramResult r = project.Fixture({"--isolate", "--timeout", "30", "--filter", "Detach*"});
  const long sleeper = std::atol(r.out.c_str());
  if (sleeper > 0) kill(static_cast<pid_t>(sleeper), SIGKILL);
  ASSERT_TRUE(r.exited) << r.err;
  EXPECT_GT(sleeper, 0) << r.out;
  EXPECT_EQ(r.err, "[PASS] Detach0\n1 passed, 0 failed\n");
  EXPECT_EQ(r.code, 0);
}

TEST(DriverCheckIsolation, ShippedVectorsPrintTheSameInChildren) {
  // Each child reads only its vector's "stdin", so no input is needed.
  const ProgramResult r = RunProgram(ORRIN_DRIVE, {"--isolate"}, "");
  EXPECT_EQ(r.out, ReadFile(ORRIN_GOLDEN_DIR "/shipped_vectors.out"));
  EXPECT_TRUE(Contains(r.err, "\n34 passed, 0 failed, 1 skipped\n")) << r.err;
  EXPECT_EQ(r.code, 0);
}

// ---- JUnit and TAP ------------------------------------------------------------

TEST(DriverCheckReports, JUnitIsValidAndCountsEveryOutcome) {
  Project project;
  project.Write("BuiltinType", kBuiltinVectors)
      .Write("ListNode", R"({"GetElem0": {"i": 1, "expect": {"return": 0}},
                                "deleteLinkedList0": {"i": 1}, "GetElemm0": {}})")
      .Write("PointType", "{ broken");
  const std::string junit = project.Path("report.xml");
  const ProgramResult r = project.Drive({"--junit", junit});
  EXPECT_EQ(r.code, 1);
  const std::string xml = ReadFile(junit);
  ASSERT_FALSE(xml.empty()) << r.err;
  EXPECT_TRUE(Contains(xml,
                       "<testsuite name=\"Value_BuiltinType\" tests=\"9\" failures=\"1\" "
                       "errors=\"0\" skipped=\"0\""))
      << xml;
  EXPECT_TRUE(Contains(xml,
                       "<failure message=\"stdout: expected &quot;8&quot;, actual "
                       "&quot;7&quot;\" type=\"expectation\">"))
      << xml;
  EXPECT_TRUE(Contains(xml,
                       "<skipped message=\"the list built from &quot;L&quot; has no "
                       "element 1\"/>"))
      << xml;
  // GBK bytes of GetElem's message, escaped.
  EXPECT_TRUE(Contains(xml, "<system-out>\\xb5\\xda1\\xb8")) << xml;
  EXPECT_TRUE(Contains(xml, "&quot;GetElemm0&quot; is not a test case")) << xml;
  EXPECT_TRUE(Contains(xml, "type=\"vector-file\"")) << xml;
  EXPECT_TRUE(Contains(r.err, "1 error in vector files") || Contains(r.err, "errors in vector"))
      << r.err;

  const std::string xmllint = XMLLINT;
  if (xmllint.empty() || xmllint.find("NOTFOUND") != std::string::npos)
    GTEST_SKIP() << "xmllint is not installed";
  const ProgramResult check = RunProgram(xmllint, {"--noout", "--schema", JUNIT_XSD, junit});
  EXPECT_EQ(check.code, 0) << check.err;
  EXPECT_TRUE(Contains(check.err, "validates")) << check.err;
}

TEST(DriverCheckReports, GoldenTapStream) {
  Project project;
  project.Write("BuiltinType", kBuiltinVectors);
  const ProgramResult r =
      project.Drive({"--tap", "--filter", "BuiltinTypeInt*", "--filter", "deleteLinkedList0"});
  EXPECT_EQ(r.out,
            "TAP version 13\n"
            "1..3\n"
            "not ok 1 - BuiltinTypeInt1\n"
            "  ---\n"
            "  message: \"stdout: expected \\\"8\\\", actual \\\"7\\\"\"\n"
            "  severity: fail\n"
            "  ...\n"
            "# stdout: \"7\"\n"
            "ok 2 - BuiltinTypeInt0\n"
            "# stdout: \"42\"\n"
            "ok 3 - deleteLinkedList0 # SKIP the list built from \\\"L\\\" has no element 0\n"
            "# 1 passed, 1 failed, 1 skipped\n");
  EXPECT_EQ(r.code, 1);
}

// ---- errors: a message and status 1 or 2, never an abort --------------------

TEST(DriverCheckErrors, UsageAndProjectRoot) {
  ProgramResult r = RunProgram(ORRIN_DRIVE, {"--help"});
  EXPECT_EQ(r.code, 0);
  EXPECT_TRUE(Contains(r.out, "usage: ")) << r.out;
  EXPECT_TRUE(Contains(r.out, "--isolate")) << r.out;

  r = RunProgram(ORRIN_DRIVE, {"--bogus"});
  EXPECT_EQ(r.code, 2);
  EXPECT_TRUE(Contains(r.err, "orrin_drive: unknown option \"--bogus\"\n")) << r.err;
  EXPECT_EQ(r.out, "");

  r = RunProgram(ORRIN_DRIVE, {"--timeout", "soon"});
  EXPECT_EQ(r.code, 2);
  EXPECT_TRUE(Contains(r.err, "\"soon\" is not a number of seconds")) << r.err;

  r = RunProgram(ORRIN_DRIVE, {"--junit"});
  EXPECT_EQ(r.code, 2);
  EXPECT_TRUE(Contains(r.err, "option --junit needs a file")) << r.err;

  r = RunProgram(ORRIN_DRIVE, {"--filter"});
  EXPECT_EQ(r.code, 2);
  EXPECT_TRUE(Contains(r.err, "orrin_drive: option --filter needs a pattern\n")) << r.err;

  r = RunProgram(ORRIN_DRIVE, {"--list=yes"});
  EXPECT_EQ(r.code, 2);
  EXPECT_TRUE(Contains(r.err, "orrin_drive: option --list takes no value\n")) << r.err;
  EXPECT_EQ(r.out, "");

  // The project root is the one word that is not an option.
  r = RunProgram(ORRIN_DRIVE, {"/a", "/b"});
  EXPECT_EQ(r.code, 2);
  EXPECT_TRUE(Contains(r.err, "orrin_drive: more than one project root\n")) << r.err;
  r = RunProgram(ORRIN_DRIVE, {"--list", "--", "--check"});
  EXPECT_EQ(r.code, 2);
  EXPECT_EQ(r.err, "orrin_drive: error: project root \"--check\" does not exist\n");
  r = RunProgram(ORRIN_DRIVE, {"--timeout=0.5", "--", "/nonexistent/orrin"});
  EXPECT_EQ(r.code, 2);
  EXPECT_EQ(r.err, "orrin_drive: error: project root \"/nonexistent/orrin\" does not exist\n");

  r = RunProgram(ORRIN_DRIVE, {"/nonexistent/orrin"});
  EXPECT_EQ(r.code, 2);
  EXPECT_EQ(r.err, "orrin_drive: error: project root \"/nonexistent/orrin\" does not exist\n");
  EXPECT_EQ(r.out, "");

  Project bare("elsewhere", false);
  r = bare.Drive({});
  EXPECT_EQ(r.code, 2);
  EXPECT_TRUE(Contains(r.err, "has no vector folder")) << r.err;
  EXPECT_EQ(r.out, "");
}

TEST(DriverCheckErrors, TyposInTestCaseAndMemberNamesAreNamed) {
  Project project;
  project.Write("BuiltinType", R"({"BuiltinTypeIntt0": {"i_int": 1},
                                     "BuiltinTypeInt0": {"i_intt": 5}})");
  ProgramResult r = project.Drive({});
  EXPECT_EQ(r.code, 0);  // the specified run: reported, not fatal
  EXPECT_TRUE(Contains(r.err, project.File("BuiltinType") +
                                  ": \"BuiltinTypeIntt0\" is not a test case of any function"))
      << r.err;
  EXPECT_TRUE(Contains(r.err, project.File("BuiltinType") + ": test case \"BuiltinTypeInt0\": "
                                                            "member \"i_intt\" is not read"))
      << r.err;

  r = project.Drive({"--check"});
  EXPECT_EQ(r.code, 1);
  EXPECT_TRUE(Contains(r.err,
                       "[FAIL] BuiltinTypeInt0: member \"i_intt\" is not read by the "
                       "driver\n"))
      << r.err;
  EXPECT_TRUE(Contains(r.err, "\"BuiltinTypeIntt0\" is not a test case")) << r.err;
  EXPECT_TRUE(Contains(r.err, ", 1 error in vector files\n")) << r.err;

  project.Write("BuiltinType", R"({"BuiltinTypeInt0": {"i_int": 5, "expect": {"retrun": 1}}})");
  r = project.Drive({"--filter", "BuiltinTypeInt0"});
  EXPECT_TRUE(Contains(r.err,
                       "[FAIL] BuiltinTypeInt0: retrun: not a value the call leaves "
                       "behind (it leaves none)\n"))
      << r.err;
}

TEST(DriverCheckErrors, InputThatUsedToAbortEndsWithAMessage) {
  struct Case {
    const char* group;
    std::string text;  // empty: make the vector path a directory
    const char* message;
  };
  const Case cases[] = {
      {"BoolType", std::string(1200, '[') + std::string(1200, ']'), "cannot be read"},
      {"ArrayType", std::string(1100, '{').replace(0, 1, "{\"a\":"), "not valid JSON"},
      {"EnumType", "", "is a directory, not a test-vector file"},
      {"ListNode", R"({"CreateLinkedListHead0": {"n": 2147483647}})",
       "member \"n\": list length 2147483647 exceeds the driver's limit"},
      {"PointType", R"({"PointTypeOne0": {"length": 2147483647}})",
       "member \"length\": length 2147483647 exceeds"},
  };
  for (const Case& c : cases) {
    Project project;
    if (c.text.empty()) {
      fs::remove(project.File(c.group));
      fs::create_directory(project.File(c.group));
    } else {
      project.Write(c.group, c.text);
    }
    const ProgramResult r = project.Drive({});
    ASSERT_TRUE(r.exited) << c.group << " ended by signal " << -r.code;
    EXPECT_TRUE(Contains(r.err, c.message)) << c.group << ": " << r.err;
    if (std::string(c.message) == "not valid JSON")
      EXPECT_EQ(r.code, 0) << r.err;  // unparsable: the warning of old
    else
      EXPECT_EQ(r.code, 1) << c.group << ": " << r.err;
  }
}

TEST(DriverCheckErrors, UnparsableFileCountsOnceARunChecks) {
  Project project;
  project.Write("PointType", "{ oops").Write("BuiltinType", kBuiltinVectors);
  ProgramResult r = project.Drive({"--filter", "BuiltinTypeInt0"});
  EXPECT_TRUE(Contains(r.err, project.File("PointType") + ": not valid JSON")) << r.err;
  EXPECT_TRUE(Contains(r.err, "1 passed, 0 failed, 1 error in vector files\n")) << r.err;
  EXPECT_EQ(r.code, 1);

  r = project.Drive({"--filter", "BuiltinTypeInt0", "--junit", "/nonexistent/dir/report.xml"});
  EXPECT_TRUE(Contains(r.err, "orrin_drive: error: cannot write /nonexistent/dir/report.xml"))
      << r.err;
  EXPECT_EQ(r.code, 1);
}
