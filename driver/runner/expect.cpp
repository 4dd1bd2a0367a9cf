#include "expect.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace {

bool IsReal(const Json::Value& v) { return v.type() == Json::realValue; }

bool NumbersMatch(const Json::Value& expected, const Json::Value& actual, double tolerance) {
  if (!IsReal(expected) && !IsReal(actual)) {
    if (expected.isInt64() && actual.isInt64())
      return expected.asLargestInt() == actual.asLargestInt();
    if (expected.isUInt64() && actual.isUInt64())
      return expected.asLargestUInt() == actual.asLargestUInt();
    return false;
  }
  const double e = expected.asDouble();
  const double a = actual.asDouble();
  if (std::isnan(e) || std::isnan(a)) return std::isnan(e) && std::isnan(a);
  if (std::isinf(e) || std::isinf(a)) return e == a;
  return std::fabs(a - e) <= tolerance * std::max(1.0, std::fabs(e));
}

void Compare(const Json::Value& expected, const Json::Value& actual, const std::string& path,
             double tolerance, std::vector<std::string>& out) {
  auto differ = [&]() {
    out.push_back(path + ": expected " + Show(expected) + ", actual " + Show(actual));
  };
  if (expected.isObject()) {
    if (!actual.isObject()) return differ();
    for (const std::string& name : expected.getMemberNames()) {
      const std::string inner = path + "." + name;
      if (!actual.isMember(name))
        out.push_back(inner + ": not a value the call leaves behind");
      else
        Compare(expected[name], actual[name], inner, tolerance, out);
    }
  } else if (expected.isArray()) {
    if (!actual.isArray()) return differ();
    if (expected.size() != actual.size()) {
      out.push_back(path + ": expected " + std::to_string(expected.size()) + " elements, actual " +
                    std::to_string(actual.size()) + " (" + Show(actual) + ")");
      return;
    }
    for (Json::ArrayIndex i = 0; i < expected.size(); ++i)
      Compare(expected[i], actual[i], path + "[" + std::to_string(i) + "]", tolerance, out);
  } else if (expected.isNumeric() && !expected.isBool()) {
    if (!actual.isNumeric() || actual.isBool() || !NumbersMatch(expected, actual, tolerance))
      differ();
  } else if (!(expected == actual)) {
    differ();
  }
}

}  // namespace

std::string Escape(const std::string& bytes) {
  std::string out;
  for (unsigned char c : bytes) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '"') {
      out += "\\\"";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c >= 0x20 && c < 0x7f) {
      out.push_back(static_cast<char>(c));
    } else {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    }
  }
  return out;
}

std::string Show(const Json::Value& value) {
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "";
  builder["emitUTF8"] = false;
  return Json::writeString(builder, value);
}

std::string ExpectationProblem(const Json::Value& expect) {
  if (!expect.isObject()) return "\"expect\" must be an object";
  if (expect.isMember(kExpectTolerance)) {
    const Json::Value& t = expect[kExpectTolerance];
    if (!t.isNumeric() || t.isBool() || !(t.asDouble() >= 0))
      return "\"expect.tolerance\" must be a non-negative number";
  }
  if (expect.isMember(kExpectStdout) && !expect[kExpectStdout].isString())
    return "\"expect.stdout\" must be a string";
  return "";
}

std::vector<std::string> CheckExpectation(const Json::Value& expect, const Json::Value& actual,
                                          const std::string* output) {
  std::vector<std::string> out;
  const double tolerance =
      expect.isMember(kExpectTolerance) ? expect[kExpectTolerance].asDouble() : kDefaultTolerance;
  for (const std::string& name : expect.getMemberNames()) {
    if (name == kExpectTolerance) continue;
    if (name == kExpectStdout) {
      const std::string wanted = expect[name].asString();
      if (output == nullptr)
        out.push_back("stdout: not captured");
      else if (*output != wanted)
        out.push_back("stdout: expected \"" + Escape(wanted) + "\", actual \"" + Escape(*output) +
                      "\"");
      continue;
    }
    if (!actual.isMember(name)) {
      // Most likely a typo: say what could have been meant.
      std::string names;
      for (const std::string& n : actual.getMemberNames()) names += (names.empty() ? "" : ", ") + n;
      out.push_back(name + ": not a value the call leaves behind (it leaves " +
                    (names.empty() ? std::string("none") : names) + ")");
      continue;
    }
    Compare(expect[name], actual[name], name, tolerance, out);
  }
  return out;
}
