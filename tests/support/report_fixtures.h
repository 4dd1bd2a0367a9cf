// Source maps, sources and saved runs written by hand for the report tests
// (tests/reports/), instantiated for the machine the tests run on.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

namespace qeltest {

inline std::string readText(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

inline void writeText(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

inline std::string replaceAll(std::string s, const std::string& from, const std::string& to) {
  for (std::size_t p = 0; (p = s.find(from, p)) != std::string::npos; p += to.size())
    s.replace(p, from.size(), to);
  return s;
}

// A fresh directory under the test temp dir.
inline std::string freshDir(const std::string& name) {
  static int n = 0;
  const std::string d = ::testing::TempDir() + "qelrep_" + std::to_string(getpid()) + "_" +
                        std::to_string(++n) + "_" + name;
  mkdir(d.c_str(), 0777);
  return d;
}

// Copies a map of tests/reports/<fixture>/ into a fresh directory with the
// "@SRC@" placeholder set to the fixture sources' directory.
inline std::string mapDir(const std::string& fixture, const std::string& unitFile) {
  const std::string dir = freshDir(fixture);
  const std::string src = QEL_REPORT_FIXTURES;
  writeText(dir + "/" + unitFile,
            replaceAll(readText(src + "/" + fixture + "/" + unitFile), "@SRC@", src));
  return dir;
}

inline bool haveTool(const std::string& name) {
  return std::system(("command -v " + name + " >/dev/null 2>&1").c_str()) == 0;
}

// Runs a shell command; its standard output and error go to *out.
inline int runShell(const std::string& cmd, std::string* out) {
  const std::string file = freshDir("out") + "/cmd.txt";
  const int rc = std::system(("(" + cmd + ") >" + file + " 2>&1").c_str());
  *out = readText(file);
  return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

#ifdef QELCOLLECT_EXE
// Runs the collector built beside the tests with `args` (shell words); its
// output and error together.
inline std::string runQelcollect(const std::string& args, int* rc) {
  std::string out;
  *rc = runShell(std::string(QELCOLLECT_EXE) + " " + args, &out);
  return out;
}
#endif

}  // namespace qeltest
