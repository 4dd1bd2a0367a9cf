// Saved runs read count lines by hand (the fast path of readRunFiles): each
// line must read exactly as the JSON reader reads it, and anything not in
// the writer's own layout must go to the JSON reader, errors included.
#include <gtest/gtest.h>

#include "report_fixtures.h"
#include "runfile.hpp"

using namespace qelc;

namespace {

// What readRunFiles makes of one line: the message as written back, or
// "error: ..." ; and the same through fromJson alone.
std::string viaFile(const std::string& line) {
  const std::string path = qeltest::freshDir("lines") + "/run.jsonl";
  qeltest::writeText(path, line + "\n");
  std::string error, out;
  const bool ok = readRunFiles(
      {path}, [&](Message&& m) { out = toJson(m, 0); }, &error);
  return ok ? out : "error: " + error.substr(error.find(": ") + 2);
}

std::string viaJson(const std::string& line) {
  Message m;
  std::string error;
  return fromJson(line, &m, &error) ? toJson(m, 0) : "error: " + error;
}

}  // namespace

TEST(CountLines, ReadAsTheJsonReaderReadsThem) {
  McdcMsg wide{};
  wide.unit = 3;
  wide.decision = 9;
  wide.outcome = true;
  wide.codes = 0x12345678;
  wide.conditions = 20;
  wide.more = {1, 2, 3};
  McdcMsg narrow{};
  narrow.unit = 32767;
  narrow.decision = 32767;
  narrow.codes = 4294967295u;
  narrow.group = 65535;
  narrow.count = 4294967295u;
  narrow.seq = 7;
  std::vector<std::string> lines;
  for (const Body& b :
       {Body{NodeMsg{1, 2, 3, 4, 5}}, Body{NodeMsg{65535, 65535, 65535, 4294967295u, 0}},
        Body{CondMsg{7, 8, true, 9, 10, 11}}, Body{CondMsg{7, 8, false, 0, 1, 2}}, Body{narrow},
        Body{wide}}) {
    Message m;
    m.body = b;
    m.channel = std::holds_alternative<NodeMsg>(b)   ? Channel::Node
                : std::holds_alternative<CondMsg>(b) ? Channel::Cond
                                                     : Channel::Mcdc;
    m.port = 15555;
    lines.push_back(toJson(m, 12.345));
  }
  // Layouts the hand reader does not take: the JSON reader decides.
  lines.push_back(
      R"({"t_ms":1,"port":15555,"channel":"node","kind":"node","node":2,"unit":1,"value":0,"count":1,"seq":1})");
  lines.push_back(
      R"({"t_ms":1, "port":15555,"channel":"node","kind":"node","unit":1,"node":2,"value":0,"count":1,"seq":1})");
  lines.push_back(
      R"({"t_ms":1,"port":15555,"channel":"node","kind":"node","unit":65536,"node":2,"value":0,"count":1,"seq":1})");
  lines.push_back(
      R"({"t_ms":1,"port":15555,"channel":"node","kind":"node","unit":01,"node":2,"value":0,"count":1,"seq":1})");
  lines.push_back(
      R"({"t_ms":1,"port":15555,"channel":"node","kind":"node","unit":1,"node":2,"value":0,"count":4294967296,"seq":1})");
  lines.push_back(
      R"({"t_ms":1,"port":15555,"channel":"node","kind":"node","unit":1,"node":2,"value":0,"count":1,"seq":1}x)");
  lines.push_back(
      R"({"t_ms":1,"port":15556,"channel":"condition","kind":"condition","unit":1,"cond":2,"held":1,"group":0,"count":1,"seq":1})");
  lines.push_back(
      R"({"t_ms":-1e3,"port":15557,"channel":"mcdc","kind":"mcdc","unit":1,"decision":2,"outcome":true,"vector":"T","codes":1,"group":0,"count":1,"seq":1})");
  lines.push_back(
      R"({"t_ms":1,"port":15557,"channel":"mcdc","kind":"mcdc","unit":1,"decision":2,"outcome":true,"vector":"T\u0041","codes":1,"group":0,"count":1,"seq":1})");
  for (const std::string& line : lines) EXPECT_EQ(viaFile(line), viaJson(line)) << line;
  EXPECT_EQ(viaFile(lines[0]).find("error"), std::string::npos) << viaFile(lines[0]);
  EXPECT_NE(viaFile(lines[8]).find("error"), std::string::npos);  // 65536 is no unit
}
