#include "report.h"

#include <cerrno>
#include <cstring>
#include <fstream>

#include "expect.h"

std::string XmlText(const std::string& bytes) {
  std::string out;
  for (unsigned char c : bytes) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&apos;";
        break;
      case '\n':
        out += "&#10;";
        break;
      case '\t':
        out += "&#9;";
        break;
      default:
        if (c >= 0x20 && c < 0x7f) {
          out.push_back(static_cast<char>(c));
        } else {
          char hex[5];
          std::snprintf(hex, sizeof hex, "\\x%02x", c);
          out += hex;
        }
    }
  }
  return out;
}

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

std::string Attributes(const std::string& name, const Counts& c) {
  return "name=\"" + XmlText(name) + "\" tests=\"" + std::to_string(c.tests) + "\" failures=\"" +
         std::to_string(c.failures) + "\" errors=\"" + std::to_string(c.errors) + "\" skipped=\"" +
         std::to_string(c.skipped) + "\" time=\"" + Seconds(c.seconds) + "\"";
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
  std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
  xml += "<testsuites " + Attributes("orrin_drive", all) + ">\n";
  for (const SuiteReport& suite : suites) {
    xml += "  <testsuite " + Attributes(suite.name, Count(suite)) + ">\n";
    xml += "    <properties>\n      <property name=\"file\" value=\"" + XmlText(suite.path) +
           "\"/>\n    </properties>\n";
    if (!suite.fileError.empty()) {
      xml += "    <testcase name=\"" + XmlText(suite.name + ".json") + "\" classname=\"" +
             XmlText(suite.name) + "\" time=\"0\">\n";
      xml += "      <error message=\"" + XmlText(suite.fileError) +
             "\" type=\"vector-file\"/>\n    </testcase>\n";
    }
    for (const CaseReport& c : suite.cases) {
      xml += "    <testcase name=\"" + XmlText(c.name) + "\" classname=\"" + XmlText(suite.name) +
             "\" time=\"" + Seconds(c.result.seconds) + "\"";
      const std::string message = XmlText(c.result.message);
      switch (c.result.verdict) {
        case Verdict::kPassed:
          xml += ">\n";
          break;
        case Verdict::kFailed:
          xml += ">\n      <failure message=\"" + message + "\" type=\"expectation\">" + message +
                 "</failure>\n";
          break;
        case Verdict::kSkipped:
          xml += ">\n      <skipped message=\"" + message + "\"/>\n";
          break;
        case Verdict::kError:
          xml += ">\n      <error message=\"" + message + "\" type=\"" +
                 (c.result.badVector ? "vector" : "run") + "\">" + message + "</error>\n";
          break;
      }
      if (c.result.captured)
        xml += "      <system-out>" + XmlText(c.result.output) + "</system-out>\n";
      xml += "    </testcase>\n";
    }
    xml += "  </testsuite>\n";
  }
  xml += "</testsuites>\n";

  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (out.is_open()) out << xml;
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
