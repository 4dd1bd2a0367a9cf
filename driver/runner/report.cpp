#include "report.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "expect.h"
#include "qeltools/xml_writer.hpp"

namespace {

std::string Seconds(double s) {
  char text[32];
  std::snprintf(text, sizeof text, "%.6f", s);
  return text;
}

struct Counts {
  int tests = 0, failures = 0, errors = 0, skipped = 0;
  double seconds = 0;
};

Counts Count(const SuiteReport& suite) {
  Counts c;
  for (const CaseReport& r : suite.cases) {
    ++c.tests;
    c.seconds += r.result.seconds;
    if (r.result.verdict == Verdict::kFailed) ++c.failures;
    if (r.result.verdict == Verdict::kError) ++c.errors;
    if (r.result.verdict == Verdict::kSkipped) ++c.skipped;
  }
  if (!suite.fileError.empty()) {
    ++c.tests;
    ++c.errors;
  }
  return c;
}

void SuiteAttributes(qeltools::XmlWriter& xml, const std::string& name, const Counts& c) {
  xml.attribute("name", name)
      .attribute("tests", c.tests)
      .attribute("failures", c.failures)
      .attribute("errors", c.errors)
      .attribute("skipped", c.skipped)
      .attribute("time", Seconds(c.seconds));
}

void WriteCase(qeltools::XmlWriter& xml, const std::string& suite, const CaseReport& c) {
  xml.open("testcase")
      .attribute("name", c.name)
      .attribute("classname", suite)
      .attribute("time", Seconds(c.result.seconds));
  const std::string& message = c.result.message;
  switch (c.result.verdict) {
    case Verdict::kPassed:
      break;
    case Verdict::kFailed:
      xml.open("failure")
          .attribute("message", message)
          .attribute("type", "expectation")
          .text(message)
          .close();
      break;
    case Verdict::kSkipped:
      xml.open("skipped").attribute("message", message).close();
      break;
    case Verdict::kError:
      xml.open("error")
          .attribute("message", message)
          .attribute("type", c.result.badVector ? "vector" : "run")
          .text(message)
          .close();
      break;
  }
  if (c.result.captured) xml.open("system-out").text(c.result.output).close();
  xml.close();
}

}  // namespace

bool WriteJUnit(const std::string& path, const std::vector<SuiteReport>& suites,
                std::string& error) {
  Counts all;
  for (const SuiteReport& suite : suites) {
    const Counts c = Count(suite);
    all.tests += c.tests;
    all.failures += c.failures;
    all.errors += c.errors;
    all.skipped += c.skipped;
    all.seconds += c.seconds;
  }
  std::ostringstream text;
  qeltools::XmlWriter xml(text);
  xml.prolog();
  xml.open("testsuites");
  SuiteAttributes(xml, "orrin_drive", all);
  for (const SuiteReport& suite : suites) {
    xml.open("testsuite");
    SuiteAttributes(xml, suite.name, Count(suite));
    xml.open("properties")
        .open("property")
        .attribute("name", "file")
        .attribute("value", suite.path);
    xml.close().close();
    if (!suite.fileError.empty()) {
      xml.open("testcase")
          .attribute("name", suite.name + ".json")
          .attribute("classname", suite.name)
          .attribute("time", "0");
      xml.open("error").attribute("message", suite.fileError).attribute("type", "vector-file");
      xml.close().close();
    }
    for (const CaseReport& c : suite.cases) WriteCase(xml, suite.name, c);
    xml.close();
  }
  xml.finish();

  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (out.is_open()) out << text.str();
  if (!out.is_open() || !out.flush()) {
    error = std::string("cannot write ") + path + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

void TapStream::Plan(int count) {
  std::fprintf(out_, "TAP version 13\n1..%d\n", count);
  std::fflush(out_);
}

void TapStream::Case(const std::string& name, const CaseResult& result) {
  ++number_;
  const bool ok = result.verdict == Verdict::kPassed || result.verdict == Verdict::kSkipped;
  std::fprintf(out_, "%s %d - %s", ok ? "ok" : "not ok", number_, Escape(name).c_str());
  if (result.verdict == Verdict::kSkipped)
    std::fprintf(out_, " # SKIP %s", Escape(result.message).c_str());
  std::fprintf(out_, "\n");
  if (!ok) {
    std::fprintf(out_, "  ---\n  message: \"%s\"\n  severity: %s\n  ...\n",
                 Escape(result.message).c_str(),
                 result.verdict == Verdict::kFailed ? "fail" : "error");
  }
  if (result.captured && !result.output.empty())
    std::fprintf(out_, "# stdout: \"%s\"\n", Escape(result.output).c_str());
  std::fflush(out_);
}

void TapStream::FileError(const std::string& path, const std::string& problem) {
  ++number_;
  std::fprintf(out_, "not ok %d - %s\n  ---\n  message: \"%s\"\n  severity: error\n  ...\n",
               number_, Escape(path).c_str(), Escape(problem).c_str());
  std::fflush(out_);
}
