// Reading test cases in process: keys, conversions, the counting rule, the
// structure builder, and where a bad value is reported.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdio>
#include <sstream>
#include <string>

#include "drivers.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

namespace {

Json::Value Parse(const std::string& text) {
  Json::Value root;
  Json::Reader reader;
  std::istringstream stream(text);
  EXPECT_TRUE(reader.parse(stream, root, true)) << text;
  return root;
}

}  // namespace

TEST(DriverKeys, CaseKeyIsNameAndDecimalIndex) {
  EXPECT_EQ(MakeCaseKey("GetElem", 0), "GetElem0");
  EXPECT_EQ(MakeCaseKey("StructTypeTest4", 0), "StructTypeTest40");
  EXPECT_EQ(MakeCaseKey("x", -3), "x-3");
  std::string text = "stale";
  IntToText(INT_MIN, text);
  EXPECT_EQ(text, "-2147483648");
}

// A float parameter gets the vector's number rounded to the nearest float,
// as C converts it; only what rounds past FLT_MAX is an infinity.
TEST(DriverConversions, FloatsRoundAsCConvertsThemAtTheLimits) {
  EXPECT_EQ(NarrowToFloat(3.4028235e38), FLT_MAX);
  EXPECT_EQ(NarrowToFloat(-3.4028235e38), -FLT_MAX);
  EXPECT_EQ(NarrowToFloat(FLT_MAX), FLT_MAX);
  const double halfway = 0x1.ffffffp+127;  // between FLT_MAX and 2^128
  EXPECT_EQ(NarrowToFloat(std::nextafter(halfway, 0.0)), FLT_MAX);
  EXPECT_TRUE(std::isinf(NarrowToFloat(halfway)));
  EXPECT_TRUE(std::isinf(NarrowToFloat(1e39)));
  EXPECT_EQ(NarrowToFloat(-std::nextafter(halfway, 0.0)), -FLT_MAX);
  EXPECT_EQ(NarrowToFloat(-halfway), -HUGE_VALF);
  EXPECT_EQ(NarrowToFloat(0.1), 0.1f);
  EXPECT_EQ(NarrowToFloat(1e-45), std::nextafter(0.0f, 1.0f));  // the smallest subnormal
  EXPECT_EQ(NarrowToFloat(1e-46), 0.0f);
  EXPECT_TRUE(std::isnan(NarrowToFloat(std::nan(""))));
  EXPECT_EQ(NarrowToFloat(HUGE_VAL), HUGE_VALF);
}

// A double parameter gets the vector's number exactly as C reads the same
// text, the limits included: the largest, the smallest normal and the
// smallest subnormal double survive the reader.
TEST(DriverConversions, DoublesAtTheLimitsReadExactly) {
  Json::Value root;
  Json::Reader reader;
  ASSERT_TRUE(reader.parse(
      R"({"max": 1.7976931348623157e308, "min": 2.2250738585072014e-308,
          "tiny": 4.9e-324, "lowest": -1.7976931348623157e308, "flt": 3.4028235e38})",
      root));
  EXPECT_EQ(root["max"].asDouble(), DBL_MAX);
  EXPECT_EQ(root["lowest"].asDouble(), -DBL_MAX);
  EXPECT_EQ(root["min"].asDouble(), DBL_MIN);
  EXPECT_EQ(root["tiny"].asDouble(), std::nextafter(0.0, 1.0));
  EXPECT_EQ(NarrowToFloat(root["flt"].asDouble()), FLT_MAX);
  // Past the largest double the file is refused with the reader's reason,
  // never read as a different number.
  Json::Value beyond;
  EXPECT_FALSE(reader.parse(R"({"x": 1e400})", beyond));
}

TEST(DriverConversions, MissingMembersReadAsNullInTheTestCasesOwnCopy) {
  Json::Value root = Parse(R"({"c0": {"n": null}, "c1": {"i": 5}})");
  TestCase tc(root, "c", 0);
  EXPECT_EQ(tc["n"].asInt(), 0);
  EXPECT_EQ(tc["missing"]["deeper"][3].asDouble(), 0.0);
  EXPECT_EQ(tc["absent"].asString(), "");
  EXPECT_FALSE(root["c0"].isMember("missing"));
  // Another index is another test case.
  EXPECT_EQ(tc["i"].asInt(), 0);

  // A file that did not open leaves a null root: everything reads as null.
  Json::Value null;
  TestCase none(null, "GetElem", 0);
  EXPECT_EQ(none["L"]["data"].asInt(), 0);
  EXPECT_EQ(none["point"].count(), 0);

  Json::Value huge = Parse(R"({"h0": {"v": -2147483649}})");
  TestCase h(huge, "h", 0);
  try {
    h["v"].asInt();
    ADD_FAILURE() << "no VectorError";
  } catch (const VectorError& e) {
    EXPECT_EQ(e.testCase(), "h0");
    EXPECT_EQ(e.member(), "v");
    EXPECT_EQ(e.problem(), "-2147483649 does not fit a 32-bit int");
  }
}

TEST(DriverCounting, LeadingNonNullElementsOnly) {
  Json::Value root = Parse(R"({"c0": {"a": [4, 5, null, 6], "e": [], "z": [0, false],
                                        "rows": [[1, 2, 3], [4], []], "gap": [[1], null, [2]]}})");
  TestCase tc(root, "c", 0);
  int count = -1;
  int* block = ReadCountedInts(tc["a"], &count);
  ASSERT_EQ(count, 2);
  EXPECT_EQ(block[0], 4);
  EXPECT_EQ(block[1], 5);
  delete[] block;
  EXPECT_EQ(tc["e"].count(), 0);
  EXPECT_EQ(tc["missing"].count(), 0);
  EXPECT_EQ(tc["z"].count(), 2);  // 0 and false are values, not nulls

  EXPECT_EQ(tc["rows"].count(), 3);
  EXPECT_EQ(tc["rows"][0].count(), 3);
  EXPECT_EQ(tc["rows"][1].count(), 1);
  EXPECT_EQ(tc["rows"][2].count(), 0);
  EXPECT_EQ(tc["gap"].count(), 1);
  int** rows = ReadCountedRows(tc["rows"]);
  EXPECT_EQ(rows[0][2], 3);
  EXPECT_EQ(rows[1][0], 4);
  for (int r = 0; r < 3; ++r) delete[] rows[r];
  delete[] rows;
}

TEST(DriverStructures, StructOneFromItsObject) {
  Json::Value root = Parse(R"({"s0": {"full": {"i_int": -4, "array_one": [1, 2, 3],
        "array_two": [[1, 2, 3, 4], [5, 6, 7, 8], [9, 10, 11, 12]],
        "point_one": [8, null, 9], "point_two": [[1, 2], [3]], "w": 3},
        "even": {"w": 2}, "empty": {}}})");
  TestCase tc(root, "s", 0);

  StructOne one;
  BuildStructOne(tc["full"], one);
  EXPECT_EQ(one.i_int, -4);
  EXPECT_EQ(one.array_one[1], 2);
  EXPECT_EQ(one.array_two[2][3], 12);
  EXPECT_EQ(one.point_one[0], 8);
  EXPECT_EQ(one.point_two[0][1], 2);
  EXPECT_EQ(one.point_two[1][0], 3);
  EXPECT_EQ(one.w, 1u);
  EXPECT_EQ(one.extra_one, nullptr);
  EXPECT_EQ(one.extra_two, nullptr);
  delete[] one.point_one;
  delete[] one.point_two[0];
  delete[] one.point_two[1];
  delete[] one.point_two;

  StructOne even;
  BuildStructOne(tc["even"], even);
  EXPECT_EQ(even.w, 0u);
  delete[] even.point_one;
  delete[] even.point_two;

  StructOne empty;
  BuildStructOne(tc["empty"], empty);
  EXPECT_EQ(empty.i_int, 0);
  EXPECT_EQ(empty.array_two[1][1], 0);
  EXPECT_NE(empty.point_one, nullptr);  // an empty block, not no block
  delete[] empty.point_one;
  delete[] empty.point_two;
}

TEST(DriverGlobals, EnumAndUnionRoutinesWriteTheSampleGlobals) {
  Json::Value root = Parse(R"({"EnumTypeTest0": {"cc": 5, "g_glbal": 7},
        "UionTypeTest0": {"un_a": {"un_int": 5,
                          "un_char": "a text much longer than twenty-eight characters"}}})");
  // Keep the seven lines off the test's console.
  std::fflush(stdout);
  const int saved = dup(1);
  const int sink = open("/dev/null", O_WRONLY);
  dup2(sink, 1);
  drive_EnumTypeTest(root, 0);
  std::fflush(stdout);
  dup2(saved, 1);
  close(sink);
  close(saved);
  EXPECT_EQ(static_cast<int>(cc), 97);
  EXPECT_EQ(g_glbal, 1000);

  // The routine's text buffer is lost by design once the function stores
  // an int over the pointer.
#if defined(__SANITIZE_ADDRESS__)
  __lsan_disable();
#endif
  EXPECT_EQ(drive_UionTypeTest(root, 0), 0);
#if defined(__SANITIZE_ADDRESS__)
  __lsan_enable();
#endif
  EXPECT_EQ(un_a.un_int, 10);
}
