// Helpers of the qelcc tests: run shell commands, read files, read the
// collector's JSON lines against a source map.
#ifndef QELCC_TEST_SUPPORT_H
#define QELCC_TEST_SUPPORT_H

#include <json/json.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "elf_sections.h"
#include "map_section.h"

namespace qelcc_test {

inline std::string ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

inline bool Exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

// Runs `cmd` through the shell; returns its exit status, output in *out
// (stdout and stderr together unless the command redirects them).
inline int Sh(const std::string& cmd, std::string* out = nullptr) {
  std::string full = "(" + cmd + ") 2>&1";
  FILE* p = popen(full.c_str(), "r");
  if (!p) return -1;
  std::string text;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) text.append(buf, n);
  int rc = pclose(p);
  if (out) *out = text;
  return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

inline std::string NewDir(const std::string& name) {
  std::string d = ::testing::TempDir() + "qelcc_" + name + "_" + std::to_string(getpid());
  Sh("rm -rf '" + d + "' && mkdir -p '" + d + "'");
  return d;
}

// The program's own output: the runtime's start and stop traces and blank
// lines (the collector's) removed.
inline std::string ProgramOutput(const std::string& all) {
  std::istringstream in(all);
  std::string line, out;
  static const char* const kRuntime[] = {"renew thread_ins", "Current EXEPAth", "pthread_create_",
                                         "-pthread_create_", "~", "send "};
  while (std::getline(in, line)) {
    bool runtime = false;
    for (const char* p : kRuntime) runtime = runtime || line.rfind(p, 0) == 0;
    if (!runtime && !line.empty()) out += line + "\n";
  }
  return out;
}

inline Json::Value ParseJson(const std::string& text) {
  Json::CharReaderBuilder b;
  Json::Value v;
  std::string errs;
  std::istringstream in(text);
  Json::parseFromStream(b, in, &v, &errs);
  return v;
}

// The maps of a map directory, by unit id (from its registry).
inline std::map<int, Json::Value> MapsIn(const std::string& dir) {
  std::map<int, Json::Value> out;
  Json::Value reg = ParseJson(ReadFile(dir + "/units.json"));
  for (const Json::Value& u : reg["units"]) {
    const int unit = u["unit"].asInt();
    out[unit] = ParseJson(ReadFile(dir + "/" + std::to_string(unit) + ".qelmap.json"));
  }
  return out;
}

// The one map of a directory that holds a single unit (null otherwise).
inline Json::Value OnlyMap(const std::string& dir) {
  std::map<int, Json::Value> maps = MapsIn(dir);
  return maps.size() == 1 ? maps.begin()->second : Json::Value();
}

// The maps an object, program or library carries in its .qelmap section.
struct ObjectMap {
  qel::mapsection::Record record;
  Json::Value doc;
};
inline std::vector<ObjectMap> ObjectMaps(const std::string& path) {
  std::string section, error;
  std::vector<ObjectMap> out;
  if (qel::elf::FindSectionInFile(path, ".qelmap", &section, &error) != qel::elf::Result::kFound) {
    return out;
  }
  std::vector<qel::mapsection::Record> records;
  if (!qel::mapsection::Decode(section, &records, &error)) return out;
  for (const auto& r : records) out.push_back(ObjectMap{r, ParseJson(r.payload)});
  return out;
}

// Sums of the collector's messages: node hits, condition outcomes, MC/DC
// vectors, per unit.
struct Counts {
  std::map<std::pair<int, int>, long> nodes;                  // (unit, node)
  std::map<std::tuple<int, int, bool>, long> conds;           // (unit, cond, held)
  std::map<std::tuple<int, int, long long>, long> mcdc;       // (unit, decision, codes)
  std::map<std::string, std::vector<Json::Value>> values;     // header -> records
  long Node(int unit, int id) const {
    auto it = nodes.find({unit, id});
    return it == nodes.end() ? 0 : it->second;
  }
  long Cond(int unit, int id, bool held) const {
    auto it = conds.find(std::make_tuple(unit, id, held));
    return it == conds.end() ? 0 : it->second;
  }
  long Vectors(int unit, int decision) const {
    long n = 0;
    for (const auto& m : mcdc) {
      if (std::get<0>(m.first) == unit && std::get<1>(m.first) == decision) n += m.second;
    }
    return n;
  }
};

inline Counts ReadCounts(const std::string& jsonl) {
  Counts c;
  std::istringstream in(ReadFile(jsonl));
  std::string line;
  while (std::getline(in, line)) {
    Json::Value v = ParseJson(line);
    std::string kind = v.get("kind", "").asString();
    int unit = v.get("unit", 0).asInt();
    long count = v.get("count", 0).asInt64();
    if (kind == "node") {
      c.nodes[{unit, v["node"].asInt()}] += count;
    } else if (kind == "condition") {
      c.conds[std::make_tuple(unit, v["cond"].asInt(), v["held"].asBool())] += count;
    } else if (kind == "value") {
      c.values[v["header"].asString()].push_back(v["items"]);
    } else if (kind == "mcdc") {
      c.mcdc[std::make_tuple(unit, v["decision"].asInt(), v["codes"].asInt64())] += count;
    }
  }
  return c;
}

// An `env` prefix under which a program dies of a fatal signal as a plain
// build does: the sanitizers' runtimes would otherwise catch it themselves
// and exit with a status of their own.
inline const char* const kPlainSignals =
    "env ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}handle_segv=0 "
    "TSAN_OPTIONS=${TSAN_OPTIONS:+$TSAN_OPTIONS:}handle_segv=0 "
    "UBSAN_OPTIONS=${UBSAN_OPTIONS:+$UBSAN_OPTIONS:}handle_segv=0 ";

// The two-file project of the build tests: a.c holds pick() with one
// decision, main.c calls it twice. Each test works in a directory of its own,
// removed when the test passes; commands run there with the map folder `maps`
// unless they set another.
inline const char* const kPickSource =
    "int pick(int a, int b) {\n"
    "  if (a > 0 && b > 0)\n"
    "    return a;\n"
    "  return b;\n"
    "}\n";

class PickProject : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = NewDir(::testing::UnitTest::GetInstance()->current_test_info()->name());
    Write("a.c", kPickSource);
    Write("main.c",
          "#include <stdio.h>\n"
          "int pick(int a, int b);\n"
          "int main(void) { printf(\"%d %d\\n\", pick(1, 2), pick(0, 3)); return 0; }\n");
  }
  void TearDown() override {
    if (!HasFailure()) Sh("rm -rf '" + dir_ + "'");
  }
  void Write(const std::string& name, const std::string& text) {
    std::ofstream(dir_ + "/" + name) << text;
  }
  std::string P(const std::string& name) const { return dir_ + "/" + name; }
  int Run(const std::string& cmd, std::string* out = nullptr) {
    return Sh("cd '" + dir_ + "' && export QELCC_MAP_DIR=maps && " + cmd, out);
  }

  std::string dir_;
};

}  // namespace qelcc_test

#endif
