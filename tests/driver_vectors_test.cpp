// Reading test cases in process: keys, conversions, the counting rule, the
// structure builder, and where a bad value is reported.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <sstream>
#include <string>

#include "drivers.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

namespace {

Json::Value Parse(const std::string& text)
{
    Json::Value root;
    Json::Reader reader;
    std::istringstream stream(text);
    EXPECT_TRUE(reader.parse(stream, root, true)) << text;
    return root;
}

// Runs `body` expecting a VectorError; returns it for inspection.
template <typename Body>
VectorError Failure(Body body)
{
    try {
        body();
    } catch (const VectorError& e) {
        return e;
    }
    ADD_FAILURE() << "no VectorError";
    return VectorError("", "", "");
}

}  // namespace

TEST(DriverKeys, CaseKeyIsNameAndDecimalIndex)
{
    EXPECT_EQ(MakeCaseKey("GetElem", 0), "GetElem0");
    EXPECT_EQ(MakeCaseKey("StructTypeTest4", 0), "StructTypeTest40");
    EXPECT_EQ(MakeCaseKey("x", -3), "x-3");
    std::string text = "stale";
    IntToText(INT_MIN, text);
    EXPECT_EQ(text, "-2147483648");
}

TEST(DriverConversions, NumbersFollowTheFormatTable)
{
    Json::Value root = Parse(R"({"c0": {"a": 2.9, "b": -2.9, "t": true, "f": false, "n": null,
                                        "big": 2147483647, "s": "xyz", "d": 0.1}})");
    TestCase tc(root, "c", 0);
    EXPECT_EQ(tc["a"].asInt(), 2);
    EXPECT_EQ(tc["b"].asInt(), -2);
    EXPECT_EQ(tc["t"].asInt(), 1);
    EXPECT_EQ(tc["f"].asInt(), 0);
    EXPECT_EQ(tc["n"].asInt(), 0);
    EXPECT_EQ(tc["missing"].asInt(), 0);
    EXPECT_EQ(tc["big"].asInt(), INT_MAX);
    EXPECT_DOUBLE_EQ(tc["d"].asDouble(), 0.1);
    EXPECT_EQ(tc["missing"].asDouble(), 0.0);
    EXPECT_EQ(tc["s"].asString(), "xyz");
    EXPECT_EQ(tc["missing"].asString(), "");
    // Reads of missing members stay in the test case's own copy.
    EXPECT_FALSE(root["c0"].isMember("missing"));
}

TEST(DriverConversions, BadValuesNameTestCaseAndMemberPath)
{
    Json::Value root = Parse(R"({"f0": {"s": "abc", "big": 3000000000, "neg": -2147483649,
                                        "arr": [1, {"k": 2}], "num": 5, "obj": {}}})");
    TestCase tc(root, "f", 0);

    VectorError e = Failure([&] { tc["s"].asInt(); });
    EXPECT_EQ(e.testCase(), "f0");
    EXPECT_EQ(e.member(), "s");
    EXPECT_NE(e.problem().find("expected a number, found a string"), std::string::npos);

    e = Failure([&] { tc["big"].asInt(); });
    EXPECT_EQ(e.member(), "big");
    EXPECT_NE(e.problem().find("3000000000"), std::string::npos) << e.problem();
    e = Failure([&] { tc["neg"].asInt(); });
    EXPECT_NE(e.problem().find("-2147483649"), std::string::npos) << e.problem();

    e = Failure([&] { tc["arr"][1][0].asInt(); });
    EXPECT_EQ(e.member(), "arr[1]");
    EXPECT_NE(e.problem().find("expected an array, found an object"), std::string::npos);
    e = Failure([&] { tc["arr"][1]["k"]["z"].asInt(); });
    EXPECT_EQ(e.member(), "arr[1].k");
    e = Failure([&] { tc["num"].asString(); });
    EXPECT_NE(e.problem().find("expected a string, found a number"), std::string::npos);
    e = Failure([&] { tc["obj"].count(); });
    EXPECT_EQ(e.member(), "obj");
    e = Failure([&] { tc["obj"].asDouble(); });
    EXPECT_NE(e.problem().find("found an object"), std::string::npos);
}

TEST(DriverConversions, RootAndTestCaseMustBeObjectsOrAbsent)
{
    Json::Value array = Parse("[1, 2]");
    VectorError e = Failure([&] { TestCase tc(array, "GetElem", 0); });
    EXPECT_EQ(e.testCase(), "GetElem0");
    EXPECT_EQ(e.member(), "");
    EXPECT_NE(e.problem().find("top-level"), std::string::npos);

    Json::Value wrongCase = Parse(R"({"GetElem0": 3})");
    e = Failure([&] { TestCase tc(wrongCase, "GetElem", 0); });
    EXPECT_NE(e.problem().find("expected an object, found a number"), std::string::npos);

    // A file that did not parse leaves a null root: everything reads as null.
    Json::Value null;
    TestCase tc(null, "GetElem", 0);
    EXPECT_EQ(tc["L"]["data"].asInt(), 0);
    EXPECT_EQ(tc["point"].count(), 0);
    // Another index is another test case.
    Json::Value other = Parse(R"({"ArrayTypeOne1": {"array_one": [1, 2]}})");
    TestCase first(other, "ArrayTypeOne", 0);
    EXPECT_EQ(first["array_one"][0].asInt(), 0);
}

TEST(DriverCounting, LeadingNonNullElementsOnly)
{
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

TEST(DriverStructures, StructOneFromItsObject)
{
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

TEST(DriverGlobals, EnumAndUnionRoutinesWriteTheSampleGlobals)
{
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
