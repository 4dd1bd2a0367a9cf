// Expectations compared in process: what matches, what is reported, and
// report text that stays valid whatever bytes the functions printed.
#include <gtest/gtest.h>

#include <sstream>

#include "expect.h"
#include "qeltools/xml_writer.hpp"
#include "report.h"

namespace {

Json::Value Parse(const std::string& text) {
  Json::Value value;
  Json::Reader reader;
  std::istringstream stream(text);
  EXPECT_TRUE(reader.parse(stream, value, false)) << text;
  return value;
}

std::vector<std::string> Check(const std::string& expect, const std::string& actual,
                               const std::string* output = nullptr) {
  return CheckExpectation(Parse(expect), Parse(actual), output);
}

}  // namespace

TEST(DriverExpect, OnlyWhatTheExpectationNamesIsCompared) {
  EXPECT_TRUE(Check(R"({"return": 3})", R"({"return": 3, "x": [1, 2]})").empty());
  EXPECT_TRUE(Check(R"({"s": {"a": 1}})", R"({"s": {"a": 1, "b": 2}})").empty());
  EXPECT_TRUE(Check(R"({"s": [{}, {"b": 2}]})", R"({"s": [{"a": 1}, {"a": 1, "b": 2}]})").empty());
  EXPECT_TRUE(Check(R"({})", R"({})").empty());
}

TEST(DriverExpect, DifferencesNameMemberExpectedAndActual) {
  EXPECT_EQ(Check(R"({"return": 3})", R"({"return": 4})"),
            std::vector<std::string>{"return: expected 3, actual 4"});
  EXPECT_EQ(Check(R"({"m": [{"s": {"w": 0}}]})", R"({"m": [{"s": {"w": 1}}]})"),
            std::vector<std::string>{"m[0].s.w: expected 0, actual 1"});
  EXPECT_EQ(Check(R"({"a": [1, 2]})", R"({"a": [1, 2, 3]})"),
            std::vector<std::string>{"a: expected 2 elements, actual 3 ([1,2,3])"});
  EXPECT_EQ(Check(R"({"a": [1]})", R"({"a": 1})"),
            std::vector<std::string>{"a: expected [1], actual 1"});
  EXPECT_EQ(
      Check(R"({"retrun": 3})", R"({"return": 3, "L": {}})"),
      std::vector<std::string>{"retrun: not a value the call leaves behind (it leaves L, return)"});
  EXPECT_EQ(Check(R"({"n": true})", R"({"n": 1})"),
            std::vector<std::string>{"n: expected true, actual 1"});
  EXPECT_EQ(Check(R"({"n": 1})", R"({"n": "1"})"),
            std::vector<std::string>{"n: expected 1, actual \"1\""});
}

TEST(DriverExpect, RealsCompareWithinTheTolerance) {
  EXPECT_TRUE(Check(R"({"r": 0.3})", R"({"r": 0.30000000000000004})").empty());
  EXPECT_TRUE(Check(R"({"r": 1e9})", R"({"r": 1000000100.0})").empty());  // relative
  EXPECT_FALSE(Check(R"({"r": 0.31})", R"({"r": 0.3})").empty());
  EXPECT_TRUE(Check(R"({"r": 0.31, "tolerance": 0.05})", R"({"r": 0.3})").empty());
  EXPECT_FALSE(Check(R"({"r": 0.31, "tolerance": 0})", R"({"r": 0.3100001})").empty());
  // Integers compare exactly, also beyond a double's precision.
  EXPECT_FALSE(Check(R"({"i": 9007199254740993})", R"({"i": 9007199254740992})").empty());
  EXPECT_TRUE(Check(R"({"i": 2})", R"({"i": 2.0})").empty());
}

TEST(DriverExpect, StandardOutputIsComparedByteForByte) {
  const std::string printed = std::string("\xb5\xda", 2) + "1\n";
  const std::string twelve = "12";
  EXPECT_TRUE(Check(R"({"stdout": "12"})", "{}", &twelve).empty());
  const std::vector<std::string> miss = Check(R"({"stdout": "1"})", "{}", &printed);
  ASSERT_EQ(miss.size(), 1u);
  EXPECT_EQ(miss[0], "stdout: expected \"1\", actual \"\\xb5\\xda1\\n\"");
  EXPECT_EQ(Check(R"({"stdout": ""})", "{}"), std::vector<std::string>{"stdout: not captured"});
}

TEST(DriverExpect, BadExpectationObjectsAreNamed) {
  EXPECT_EQ(ExpectationProblem(Parse("[1]")), "\"expect\" must be an object");
  EXPECT_EQ(ExpectationProblem(Parse(R"({"tolerance": -1})")),
            "\"expect.tolerance\" must be a non-negative number");
  EXPECT_EQ(ExpectationProblem(Parse(R"({"tolerance": "1"})")),
            "\"expect.tolerance\" must be a non-negative number");
  EXPECT_EQ(ExpectationProblem(Parse(R"({"stdout": 12})")), "\"expect.stdout\" must be a string");
  EXPECT_EQ(ExpectationProblem(Parse(R"({"stdout": "", "tolerance": 0.5, "x": 1})")), "");
}

TEST(DriverReport, XmlTextIsValidForAnyBytes) {
  // The JUnit writer's rule is the shared one (tools_common_test has it all).
  EXPECT_EQ(qeltools::xmlAttribute("a<b>&\"c'"), "a&lt;b&gt;&amp;&quot;c&apos;");
  EXPECT_EQ(qeltools::xmlAttribute(std::string("x\0y\n\xca", 5)), "x\\x00y&#10;\\xca");
}
