// orrin_drive run as a program: its whole standard output compared byte for
// byte (NUL bytes and GBK bytes included), its exit status, and its messages
// on standard error for missing and bad test vectors.
#include <gtest/gtest.h>

#include <cfloat>
#include <cstdio>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "program_run.h"

namespace {

namespace fs = std::filesystem;

using Result = qel_test::ProgramResult;

// Runs orrin_drive with `args`, `input` as its whole standard input. The
// driver never releases what it builds for a call (the run ends right
// after), so RunProgram turns a sanitizer build's leak reports off.
Result Drive(const std::vector<std::string>& args, const std::string& input) {
  Result r = qel_test::RunProgram(ORRIN_DRIVE, args, input);
  if (!r.started) ADD_FAILURE() << "cannot start " << ORRIN_DRIVE;
  return r;
}

// A project root of its own, holding the vector files a test writes.
class Project {
 public:
  Project() {
    std::string pattern = (fs::temp_directory_path() / "orrin_drive_XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) ADD_FAILURE() << "mkdtemp failed";
    root_ = pattern;
    fs::create_directories(root_ / "Korvo_Projects" / "Value");
  }
  ~Project() {
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }
  Project(const Project&) = delete;
  Project& operator=(const Project&) = delete;

  // group: "ArrayType", "BuiltinType", ...
  Project& Write(const std::string& group, const std::string& text) {
    std::ofstream(File(group), std::ios::binary) << text;
    return *this;
  }
  std::string File(const std::string& group) const {
    return (root_ / "Korvo_Projects" / "Value" / ("Value_" + group + ".json")).string();
  }
  Result Run(const std::string& input = "") const { return Drive({root_.string()}, input); }

 private:
  fs::path root_;
};

// Output of each group when every test case reads as null.
const std::string kArrayNull(76, '0');  // 2 + 12 + 24 + 38 zeros
const std::string kBuiltinNull =
    std::string(1, '\0') + "0000" + "0.000000" + "0.000000" + "0.000000";
const std::string kEnumLines =
    "0 \n100, d \n193 \nmySeason is winter \nx is equal to summer\n4 bytes\n"
    "sizeof Weekday is: 4 \n";
const std::string kPromptHead = "\xca\xe4\xc8\xeb\xd4\xaa\xcb\xd8\xa3\xba";
const std::string kPromptTail = "\xca\xe4\xc8\xeb\xd4\xaa\xcb\xd8\x3a";
std::string NoNode(const std::string& i) {
  return "\xb5\xda" + i + "\xb8\xf6\xbd\xda\xb5\xe3\xb2\xbb\xb4\xe6\xd4\xda\n";
}
const std::string kListNull = kPromptHead + kPromptTail + NoNode("0");
const std::string kAllNull = kArrayNull + kBuiltinNull + kEnumLines + kListNull;

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

}  // namespace

// ---- missing, unparsable and shipped vector files ------------------------

TEST(DriverRunFiles, AllFilesMissingCallsEveryFunctionWithNulls) {
  Project project;
  const Result r = project.Run();
  EXPECT_EQ(r.out, kAllNull);
  EXPECT_TRUE(r.exited);
  EXPECT_EQ(r.code, 0);
  for (const char* group : {"ArrayType", "BoolType", "BuiltinType", "EnumType", "ListNode",
                            "PointType", "StructorUnionType"})
    EXPECT_TRUE(Contains(r.err, project.File(group) + ": cannot open")) << group << r.err;
}

TEST(DriverRunFiles, UnparsableFileReadsAsNullWithAWarning) {
  Project project;
  project.Write("ArrayType", R"({"ArrayTypeOne0": {"array_one": [1, 2]}, oops)")
      .Write("BuiltinType", "");
  const Result r = project.Run();
  EXPECT_EQ(r.out, kAllNull);
  EXPECT_EQ(r.code, 0);
  EXPECT_TRUE(Contains(r.err, project.File("ArrayType") + ": not valid JSON")) << r.err;
  EXPECT_TRUE(Contains(r.err, project.File("BuiltinType") + ": not valid JSON")) << r.err;
}

TEST(DriverRunFiles, BoolTypeFileMayHoldAnythingParseable) {
  for (const char* text : {"[1, 2, {\"x\": null}]", "7", "{\"BoolTypeTest0\": {\"b\": true}}"}) {
    Project project;
    project.Write("BoolType", text);
    const Result r = project.Run();
    EXPECT_EQ(r.out, kAllNull) << text;
    EXPECT_EQ(r.code, 0) << text;
    EXPECT_FALSE(Contains(r.err, project.File("BoolType"))) << r.err;
  }
}

TEST(DriverRunFiles, ShippedVectorsMatchTheGoldenOutput) {
  // No argument: the project root built into the driver, the sample's.
  const Result r = Drive({}, ReadFile(ORRIN_GOLDEN_DIR "/shipped_vectors.in"));
  EXPECT_EQ(r.out, ReadFile(ORRIN_GOLDEN_DIR "/shipped_vectors.out"));
  EXPECT_EQ(r.code, 0);
  EXPECT_FALSE(Contains(r.err, "warning")) << r.err;
  EXPECT_FALSE(Contains(r.err, "error")) << r.err;
}

TEST(DriverRunFiles, MoreThanOneArgumentIsAUsageError) {
  const Result r = Drive({"a", "b"}, "");
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.code, 2);
  EXPECT_TRUE(Contains(r.err, "usage")) << r.err;
}

// ---- scalars, enumeration and union -------------------------------------

TEST(DriverRunScalars, ConversionsOfTheBuiltinTypes) {
  Project project;
  project.Write("BuiltinType", R"(// comments are accepted
        {
          /* a block comment */
          "BuiltinTypeChar0": {"c_char": "xyz"},
          "BuiltinTypeShort0": {"s_short": 70000},
          "BuiltinTypeInt0": {"i_int": 2.9},
          "BuiltinTypeLong0": {"l_long": -2.9},
          "BuiltinTypeLongLong0": {"ll_long": -7},
          "BuiltinTypeFloat0": {"f_float": 0.1},
          "BuiltinTypeDouble0": {"d_double": 2.75},
          "BuiltinTypeLongDouble0": {"ld_double": 2.75}, // only the integer part
          "BuiltinTypeInt1": {"i_int": 99}
        })");
  Result r = project.Run();
  EXPECT_EQ(r.out, kArrayNull +
                       "x"
                       "4464"
                       "2"
                       "-2"
                       "-7"
                       "0.100000"
                       "2.750000"
                       "2.000000" +
                       kEnumLines + kListNull);
  EXPECT_EQ(r.code, 0);

  project.Write("BuiltinType", R"({
          "BuiltinTypeChar0": {"c_char": ""},
          "BuiltinTypeShort0": {"s_short": 40000},
          "BuiltinTypeInt0": {"i_int": true},
          "BuiltinTypeLong0": {"l_long": 2147483647},
          "BuiltinTypeLongLong0": {"ll_long": -2147483648},
          "BuiltinTypeFloat0": {"f_float": 1e39},
          "BuiltinTypeDouble0": {"d_double": -0.5},
          "BuiltinTypeLongDouble0": {"ld_double": -2.9}
        })");
  r = project.Run();
  EXPECT_EQ(r.out, kArrayNull + std::string(1, '\0') +
                       "-25536"
                       "1"
                       "2147483647"
                       "-2147483648"
                       "inf"
                       "-0.500000"
                       "-2.000000" +
                       kEnumLines + kListNull);
  EXPECT_EQ(r.code, 0);

  // At float's limits the value is rounded as C converts it: FLT_MAX's own
  // text (the shortest that reads back as FLT_MAX) is FLT_MAX, not inf.
  project.Write("BuiltinType", R"({
          "BuiltinTypeFloat0": {"f_float": -3.4028235e38},
          "BuiltinTypeDouble0": {"d_double": 1.7976931348623157e308}
        })");
  r = project.Run();
  const auto fixed = [](double v) {
    char text[400];
    std::snprintf(text, sizeof text, "%f", v);
    return std::string(text);
  };
  EXPECT_EQ(fixed(FLT_MAX), "340282346638528859811704183484516925440.000000");
  EXPECT_EQ(r.out.substr(kArrayNull.size()), std::string(1, '\0') + "0000" + fixed(-FLT_MAX) +
                                                 fixed(DBL_MAX) + "0.000000" + kEnumLines +
                                                 kListNull);
  EXPECT_EQ(r.code, 0);
}

TEST(DriverRunScalars, EnumLinesAreFixedAndLongUnionTextIsCut) {
  Project project;
  project.Write("EnumType", R"({
          "EnumTypeTest0": {"cc": -5, "g_glbal": 7},
          "UionTypeTest0": {"un_a": {"un_int": 5,
                            "un_char": "this text is far longer than the twenty-eight byte buffer"}}
        })");
  const Result r = project.Run();
  EXPECT_EQ(r.out, kAllNull);
  EXPECT_EQ(r.code, 0);
}

// ---- arrays and pointers -------------------------------------------------

TEST(DriverRunArrays, FixedArraysReadByTheirDeclaredDimensions) {
  Project project;
  project.Write("ArrayType", R"({
          "ArrayTypeOne0": {"array_one": [7]},
          "ArrayTypeOne1": {"array_one": [5, 5]},
          "ArrayTypeTwo0": {"array_two": [[1, 2], [3]]},
          "ArrayTypeThree0": {"array_three": [[[1, 2, 3, 4, 5]], null, [[9]]]},
          "ArrayTypeNoSize0": {"array_one": [7, 8], "array_two": [[1, 2, 3, 4], [5, 5, 5, 5]],
                               "array_three": [[[1, 1, 1, 1], [2, 2, 2, 2], [3, 3, 3, 3]],
                                               [[4, 4, 4, 4]]]},
          "ArrayTypeTest10": {"arrsk": [0, 1, 2, 3, 4, 5, 6, 7, 8, 9]},
          "ArrayTypeTest20": {"uof": [[1, 2, 3, 4], [5, 6, 7, 8], [9, 10, 11, 12]]}
        })");
  Result r = project.Run();
  const std::string one = "70";
  const std::string two =
      "1200"
      "3000"
      "0000";
  const std::string three = "1234" + std::string(20, '0');
  // Only the first row of each unsized array is read; the rows printed
  // beyond it are zeros.
  const std::string noSize =
      "70"
      "1234" +
      std::string(8, '0') + "111122223333" + std::string(12, '0');
  EXPECT_EQ(r.out, one + two + three + noSize + kBuiltinNull + kEnumLines + kListNull);
  EXPECT_EQ(r.code, 0);

  project.Write("ArrayType", R"({"ArrayTypeOne0": {"array_one": [1, 2, 3]}})");
  r = project.Run();
  EXPECT_EQ(r.out, "12" + kAllNull.substr(2));
}

TEST(DriverRunArrays, CountedPointersAndPointTypeOneLength) {
  const std::string prefix = kAllNull;  // the point group is the first to print after it
  struct Case {
    const char* vector;
    const char* printed;
  };
  const Case cases[] = {
      {R"({"PointTypeOne0": {"point_one": [4, 5, null, 6], "length": 2}})", "45"},
      {R"({"PointTypeOne0": {"point_one": [4, 5], "length": 5}})", "45000"},
      {R"({"PointTypeOne0": {"point_one": [4, 5], "length": -1}})", ""},
      {R"({"PointTypeOne0": {"point_one": [], "length": 0}})", ""},
      {R"({"PointTypeOne0": {"length": 3}})", "000"},
      {R"({"PointTypeTwo0": {"point_two": [[1, 2, 3], [4], []]},
             "PointTypeThree0": {"point_three": 9},
             "PointTypeTest10": {"rusks": [1, 2]},
             "PointTypeTest20": {"uuf": [[1, 2, 3, 4]]},
             "point0": {"intArr": [1, null, 3]}})",
       ""},
      {R"({"PointTypeTwo0": {"point_two": [[1], null, [2]]}, "point0": {"intArr": []}})", ""},
  };
  for (const Case& c : cases) {
    Project project;
    project.Write("PointType", c.vector);
    const Result r = project.Run();
    EXPECT_EQ(r.out, prefix + c.printed) << c.vector;
    EXPECT_EQ(r.code, 0) << c.vector << r.err;
  }
}

// ---- linked lists --------------------------------------------------------

TEST(DriverRunLists, BuildersReadStandardInputAndGetElemReportsMissingNodes) {
  Project project;
  project.Write("ListNode", R"({
          "CreateLinkedListHead0": {"n": 2},
          "CreateLinkedListTail0": {"n": 2},
          "InsertLinkedList0": {"L": {"data": 3}, "i": 1, "x": 5},
          "output0": {"L": {"data": 8}},
          "GetElem0": {"L": {"data": 4}, "i": 1},
          "getlength0": {"L": {"data": 6}},
          "ClearList0": {"L": {"data": 1}}
        })");
  const std::string expected =
      kArrayNull + kBuiltinNull + kEnumLines + kPromptHead + kPromptTail + NoNode("1");
  Result r = project.Run("1 2\n3 4\n");
  EXPECT_EQ(r.out, expected);
  EXPECT_EQ(r.code, 0);
  // Input that runs out early leaves zeros in the nodes; the run goes on.
  r = project.Run("");
  EXPECT_EQ(r.out, expected);
  EXPECT_EQ(r.code, 0);
  r = project.Run("1 x");
  EXPECT_EQ(r.out, expected);
}

TEST(DriverRunLists, PositionsBeyondTheListAreNotCalled) {
  Project project;
  project.Write("ListNode", R"({
          "CreateLinkedListTail0": {"n": -4},
          "InsertLinkedList0": {"L": {"data": 3}, "i": 2, "x": 5},
          "deleteLinkedList0": {"L": {"data": 3}, "i": 1},
          "GetElem0": {"L": {"data": 4}, "i": -3}
        })");
  const Result r = project.Run();
  EXPECT_EQ(r.out,
            kArrayNull + kBuiltinNull + kEnumLines + kPromptHead + kPromptTail + NoNode("-3"));
  EXPECT_EQ(r.code, 0);
  EXPECT_TRUE(Contains(r.err, "test case \"InsertLinkedList0\"")) << r.err;
  EXPECT_TRUE(Contains(r.err, "test case \"deleteLinkedList0\"")) << r.err;
}

// ---- structures ----------------------------------------------------------

TEST(DriverRunStructs, HoldersOfEveryShapeAreBuilt) {
  Project project;
  project.Write("StructorUnionType", R"({
          "StructTypeTest10": {"m_struct": {"structone": {"i_int": 1, "array_one": [1, 2],
              "array_two": [[1, 2, 3, 4]], "point_one": [8, null, 9],
              "point_two": [[1, 2], [3], null, [4]], "w": 3}}},
          "StructTypeTest20": {"mm_struct": {"structone": {"w": 2}}},
          "StructTypeTest30": {"mm_struct": [{"structone": {"point_two": [[]]}}]},
          "StructTypeTest40": {"mm_struct": [[{}, {"structone": {}}],
                                             [{}, {}, {}, {"structone": {"i_int": 1}}], []]}
        })");
  const Result r = project.Run();
  EXPECT_EQ(r.out, kAllNull);
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_TRUE(r.err.find("error") == std::string::npos) << r.err;
}

// ---- bad vectors: exit status 1, a message, what was printed kept --------

struct BadVector {
  const char* name;
  const char* group;
  const char* text;
  std::string printed;  // standard output up to the bad value
  const char* testCase;
  const char* member;  // nullptr: the message names no member
  const char* problem;
};

class DriverRunBadVector : public ::testing::TestWithParam<BadVector> {};

TEST_P(DriverRunBadVector, EndsTheRunWithAMessage) {
  const BadVector& bad = GetParam();
  Project project;
  project.Write(bad.group, bad.text);
  const Result r = project.Run();
  ASSERT_TRUE(r.exited) << "ended by signal " << -r.code << "\n" << r.err;
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.out, bad.printed);
  const std::string where = project.File(bad.group) + ": test case \"" + bad.testCase + "\"";
  EXPECT_TRUE(Contains(r.err, "orrin_drive: error: " + where)) << r.err;
  if (bad.member != nullptr)
    EXPECT_TRUE(Contains(r.err, where + ", member \"" + bad.member + "\": ")) << r.err;
  else
    EXPECT_TRUE(Contains(r.err, where + ": ")) << r.err;
  EXPECT_TRUE(Contains(r.err, bad.problem)) << r.err;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DriverRunBadVector,
    ::testing::Values(
        BadVector{"TextForAnInt", "BuiltinType", R"({"BuiltinTypeInt0": {"i_int": "12"}})",
                  kArrayNull + std::string(1, '\0') + "0", "BuiltinTypeInt0", "i_int",
                  "expected a number, found a string"},
        BadVector{"NumberForAChar", "BuiltinType", R"({"BuiltinTypeChar0": {"c_char": 65}})",
                  kArrayNull, "BuiltinTypeChar0", "c_char", "expected a string, found a number"},
        BadVector{"LongLongBeyondInt", "BuiltinType",
                  R"({"BuiltinTypeLongLong0": {"ll_long": 3000000000}})",
                  kArrayNull + std::string(1, '\0') + "000", "BuiltinTypeLongLong0", "ll_long",
                  "3000000000 does not fit a 32-bit int"},
        BadVector{"ObjectForAnArray", "ArrayType", R"({"ArrayTypeOne0": {"array_one": {"a": 1}}})",
                  "", "ArrayTypeOne0", "array_one", "expected an array, found an object"},
        BadVector{"TopLevelArray", "ArrayType", R"([{"ArrayTypeOne0": {}}])", "", "ArrayTypeOne0",
                  nullptr, "top-level value is an array"},
        BadVector{"TestCaseNotAnObject", "ListNode", R"({"GetElem0": [1]})",
                  kArrayNull + kBuiltinNull + kEnumLines + kPromptHead + kPromptTail, "GetElem0",
                  nullptr, "expected an object, found an array"},
        BadVector{"UnionIntTooLarge", "EnumType",
                  R"({"UionTypeTest0": {"un_a": {"un_int": 1.5e10}}})",
                  kArrayNull + kBuiltinNull + kEnumLines, "UionTypeTest0", "un_a.un_int",
                  "does not fit a 32-bit int"},
        BadVector{"ArrayForAStructure", "StructorUnionType",
                  R"({"StructTypeTest10": {"m_struct": []}})", kAllNull, "StructTypeTest10",
                  "m_struct", "expected an object, found an array"},
        BadVector{"DeepTextInARow", "StructorUnionType",
                  R"({"StructTypeTest30": {"mm_struct": [{}, {"structone":
                      {"point_two": [[1, "x"]]}}]}})",
                  kAllNull, "StructTypeTest30", "mm_struct[1].structone.point_two[0][1]",
                  "expected a number, found a string"},
        BadVector{"HugePointLength", "PointType",
                  R"({"PointTypeOne0": {"point_one": [1], "length": 2000000000}})", kAllNull,
                  "PointTypeOne0", "length", "driver's limit"},
        BadVector{"NumberForAHead", "ListNode",
                  R"({"CreateLinkedListHead0": {"n": 1}, "output0": {"L": 4}})",
                  kArrayNull + kBuiltinNull + kEnumLines + kPromptHead + kPromptTail, "output0",
                  "L", "expected an object, found a number"}),
    [](const ::testing::TestParamInfo<BadVector>& info) { return std::string(info.param.name); });
