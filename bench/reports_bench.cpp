// How long the coverage reports take for a project the size of cJSON
// (about 3000 code lines, 300 decisions, 150 functions in 10 files): the
// model from maps and messages, every output format, and reading a saved
// run back (JSON lines and the binary form). The target is well under a second for everything
// together.
#include <benchmark/benchmark.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "coverage.hpp"
#include "outputs.hpp"
#include "runfile.hpp"
#include "text_report.hpp"

namespace {

constexpr int kFiles = 10;
constexpr int kFunctionsPerFile = 15;
constexpr int kLinesPerFunction = 20;  // code lines; every third line is blank
constexpr int kDecisionsPerFunction = 2;

struct Project {
  std::string dir;
  qelc::SourceMap map;
  std::vector<qelc::Message> messages;
  ~Project() {
    if (!dir.empty()) std::system(("rm -rf '" + dir + "'").c_str());
  }
};

// Built field by field: brace-initialising a Message in place makes GCC 12
// warn about the variant's inactive members.
void add(std::vector<qelc::Message>& v, qelc::Channel channel, qelc::Body body) {
  qelc::Message m;
  m.channel = channel;
  m.port = qelc::channelInfo(channel).port;
  m.body = std::move(body);
  v.push_back(std::move(m));
}

// Sources on disk (the HTML and annotated outputs read them), one map per
// file, and the messages of a run that reaches about two thirds of it.
const Project& project() {
  static Project pr;
  if (!pr.dir.empty()) return pr;
  pr.dir = "/tmp/qel_reports_bench_" + std::to_string(getpid());
  mkdir(pr.dir.c_str(), 0777);
  for (uint16_t unit = 1; unit <= kFiles; ++unit) {
    qelc::UnitMap u;
    u.unit = unit;
    const std::string path = pr.dir + "/file" + std::to_string(unit) + ".c";
    u.files[0] = path;
    std::ofstream src(path);
    int line = 1;
    uint16_t nodeId = 1, condId = 1, decisionId = 1;
    for (int f = 0; f < kFunctionsPerFile; ++f) {
      const std::string name = "fn" + std::to_string(unit) + "_" + std::to_string(f);
      src << "int " << name << "(int a, int b, int c) {\n";
      qelc::MapFunction fn{name, 0, line++, 1, 0, nodeId};
      for (int l = 0; l < kLinesPerFunction; ++l, ++line) {
        if (l % 7 == 3) {
          const int width = 1 + l % 4;
          qelc::MapDecision d;
          d.id = decisionId++;
          d.file = 0;
          d.function = name;
          d.kind = "if";
          d.range = {line, 7, line, 30};
          d.text = "a && (b || c)";
          for (int c = 0; c < width; ++c)
            d.conditions.push_back(
                qelc::MapCondition{condId++, c, "x" + std::to_string(c), d.range});
          d.condId = condId++;
          src << "  if (a && (b || c)) {\n";
          u.decisions.push_back(d);
          if (f % 3 != 2) {
            const uint16_t du = d.id;
            auto vector = [&](const std::string& v, bool out, uint32_t n) {
              add(pr.messages, qelc::Channel::Mcdc,
                  qelc::McdcMsg{unit, du, out, qelc::codesFromText(v), 1, n, 0});
            };
            vector(std::string(static_cast<std::size_t>(width), 'T'), true, 5);
            vector("F", false, 3);
            for (const auto& c : d.conditions)
              add(pr.messages, qelc::Channel::Cond, qelc::CondMsg{unit, c.id, true, 1, 5, 0});
            add(pr.messages, qelc::Channel::Cond, qelc::CondMsg{unit, d.condId, true, 1, 5, 0});
            add(pr.messages, qelc::Channel::Cond, qelc::CondMsg{unit, d.condId, false, 1, 3, 0});
          }
        } else {
          src << "  a = b + c;  /* line " << line << " */\n";
        }
        qelc::MapNode n{nodeId, 0, line, 3, name, {line}, l ? "stmt" : "entry"};
        if (f % 3 != 2 && l % 5 != 4)
          add(pr.messages, qelc::Channel::Node,
              qelc::NodeMsg{unit, nodeId, 0, static_cast<uint32_t>(7 + l), 0});
        ++nodeId;
        u.nodes.push_back(n);
      }
      src << "}\n\n";
      fn.endLine = line;
      line += 2;
      u.functions.push_back(fn);
    }
    pr.map.units[unit] = std::move(u);
  }
  return pr;
}

qelc::Collection collection() {
  qelc::Collection c;
  for (const auto& m : project().messages) c.add(m);
  return c;
}

void BM_ModelAndEveryOutput(benchmark::State& state) {
  const Project& p = project();
  const qelc::Collection run = collection();
  std::size_t bytes = 0;
  for (auto _ : state) {
    const qelc::CoverageModel m = qelc::buildCoverage(p.map, run);
    std::ostringstream text, lcov, cob, json;
    qelc::writeCoverageSummary(text, m, true);
    qelc::writeAnnotated(text, m);
    qelc::writeLcov(lcov, m);
    qelc::writeCobertura(cob, m, 0);
    qelc::writeCoverageJson(json, m);
    std::string error;
    if (!qelc::writeHtml(p.dir + "/html", m, &error)) state.SkipWithError(error.c_str());
    bytes = text.str().size() + lcov.str().size() + cob.str().size() + json.str().size();
  }
  const qelc::Totals t = qelc::buildCoverage(p.map, run).totals;
  state.counters["lines"] = static_cast<double>(t.lines.total);
  state.counters["decisions"] = static_cast<double>(t.decisions.total);
  state.counters["text_bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_ModelAndEveryOutput)->Unit(benchmark::kMillisecond);

// Reading a saved run back: the project's run (Arg 1), and the same run
// forty times over, about 150,000 messages, the size of a suite of a few
// hundred test processes (Arg 40).
void BM_ReadSavedRun(benchmark::State& state) {
  std::vector<std::string> lines;
  for (int64_t copy = 0; copy < state.range(0); ++copy)
    for (const auto& m : project().messages)
      lines.push_back(qelc::toJson(m, 1.0 + static_cast<double>(lines.size()) * 0.37));
  for (auto _ : state) {
    qelc::Collection c;
    std::string error;
    for (const auto& l : lines) {
      qelc::Message m;
      qelc::fromJson(l, &m, &error);
      c.add(m);
    }
    benchmark::DoNotOptimize(c.total());
  }
  state.counters["messages"] = static_cast<double>(lines.size());
}
BENCHMARK(BM_ReadSavedRun)->Arg(1)->Arg(40)->Unit(benchmark::kMillisecond);

// The same runs saved in the binary form (.qelrun), read back from memory.
void BM_ReadSavedBinaryRun(benchmark::State& state) {
  qelc::BinaryRunEncoder enc;
  std::string file = qelc::BinaryRunEncoder::header();
  std::size_t messages = 0;
  for (int64_t copy = 0; copy < state.range(0); ++copy)
    for (const auto& m : project().messages)
      enc.add(m, 1.0 + static_cast<double>(messages++) * 0.37, &file);
  for (auto _ : state) {
    qelc::Collection c;
    std::string error;
    if (!qelc::readBinaryRun(
            reinterpret_cast<const uint8_t*>(file.data()), file.size(),
            [&](qelc::Message&& m, double) { c.add(m); }, &error))
      state.SkipWithError(error.c_str());
    benchmark::DoNotOptimize(c.total());
  }
  state.counters["messages"] = static_cast<double>(messages);
  state.counters["bytes"] = static_cast<double>(file.size());
}
BENCHMARK(BM_ReadSavedBinaryRun)->Arg(1)->Arg(40)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
