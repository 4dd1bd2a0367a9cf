// Checking what a call left behind against the test case's "expect" object.
//
// The object names the result ("return"), output parameters and globals by
// the names the test case uses for them, plus optionally the exact standard
// output of the call ("stdout") and the tolerance for floating values
// ("tolerance"). Only what the object names is compared: an object in the
// expectation compares the members it lists, an array compares its length
// and every element.
#ifndef ORRIN_DRIVE_EXPECT_H
#define ORRIN_DRIVE_EXPECT_H

#include <json/json.h>

#include <string>
#include <vector>

constexpr const char* kExpectReturn = "return";
constexpr const char* kExpectStdout = "stdout";
constexpr const char* kExpectTolerance = "tolerance";

// Relative to the expected value's size, and absolute below 1.
constexpr double kDefaultTolerance = 1e-6;

// One line per difference, each naming the member, the expected and the
// actual value; empty when the call met the expectation. `output` is the
// call's standard output, or null when it was not captured.
std::vector<std::string> CheckExpectation(const Json::Value& expect, const Json::Value& actual,
                                          const std::string* output);

// A problem with the "expect" object itself (not an object, a tolerance
// that is not a non-negative number, "stdout" not a string); empty if none.
std::string ExpectationProblem(const Json::Value& expect);

// Text for messages: printable ASCII as it is, everything else as \xNN, so
// GBK bytes and NULs never reach a report unescaped.
std::string Escape(const std::string& bytes);

// A value as compact one-line JSON, for messages.
std::string Show(const Json::Value& value);

#endif  // ORRIN_DRIVE_EXPECT_H
