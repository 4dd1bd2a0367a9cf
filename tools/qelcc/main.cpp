// qelcc: compiler launcher that instruments C sources with the probes of
// QELMQLib and writes a source map per translation unit, into the object
// code and into a map directory.
//
//   qelcc [qelcc options] COMPILER ARGS...
//
// This file reads qelcc's own options; driver.cpp does the work.
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "command_line.h"
#include "driver.h"
#include "process.h"

using qelcc::Env;
using qelcc::StartsWith;

namespace {

const char* const kUsage =
    "usage: qelcc [options] COMPILER [compiler arguments...]\n"
    "\n"
    "Compiles C sources instrumented with the QELMQLib probes (statement nodes,\n"
    "decisions and conditions) and writes one source map per translation unit.\n"
    "Use it as a compiler launcher:\n"
    "  make CC=\"qelcc gcc\"\n"
    "  cmake -DCMAKE_C_COMPILER_LAUNCHER=qelcc -DCMAKE_C_LINKER_LAUNCHER=qelcc ...\n"
    "\n"
    "COMPILER may be a compiler cache and its compiler (qelcc ccache gcc).\n"
    "Every object also carries its map (section .qelmap).\n"
    "\n"
    "Options (before COMPILER; each has an environment variable):\n"
    "  --map-dir=DIR    map directory (QELCC_MAP_DIR; default: ./qelmap)\n"
    "  --scope=P1:P2    instrument only sources under these path prefixes\n"
    "                   (QELCC_SCOPE; default: everything outside system headers)\n"
    "  --group=N        group id passed to QelExp (QELCC_GROUP; default 1)\n"
    "  --strict         fail instead of compiling a unit without probes when\n"
    "                   it cannot be instrumented (QELCC_STRICT=1); without it\n"
    "                   such a unit is compiled plain, with a warning, and\n"
    "                   recorded as uninstrumented in its map\n"
    "  --keep           keep the preprocessed and instrumented texts (QELCC_KEEP=1)\n"
    "  --off            run the compiler untouched, runtime included (QELCC_OFF=1)\n"
    "  --values         also send the scalar parameters of every call through\n"
    "                   QelPrint (QELCC_VALUES=1)\n"
    "  --memory         route direct calls of malloc, calloc, realloc and free\n"
    "                   through the runtime's leak tracking (QELCC_MEMORY=1); every\n"
    "                   block must then be freed by instrumented code\n"
    "  --help, --version\n"
    "QELCC_RUNTIME_DIR names the directory of libQELMQLib.so for link steps.\n"
    "\n"
    "Exit status: the compiler's own; 1 for qelcc's errors (message on stderr).\n";

}  // namespace

int main(int argc, char** argv) {
  qelcc::Options opt;
  opt.map_dir = Env("QELCC_MAP_DIR");
  std::string scope = Env("QELCC_SCOPE");
  opt.strict = Env("QELCC_STRICT") == "1";
  opt.keep = Env("QELCC_KEEP") == "1";
  opt.off = Env("QELCC_OFF") == "1";
  opt.values = Env("QELCC_VALUES") == "1";
  opt.memory = Env("QELCC_MEMORY") == "1";
  if (!Env("QELCC_GROUP").empty()) opt.group = std::atoi(Env("QELCC_GROUP").c_str());
  int i = 1;
  for (; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (a == "--version") {
      std::printf("qelcc %s\n", QELCC_VERSION);
      return 0;
    } else if (StartsWith(a, "--map-dir=")) {
      opt.map_dir = a.substr(10);
    } else if (a == "--map-dir" && i + 1 < argc) {
      opt.map_dir = argv[++i];
    } else if (StartsWith(a, "--scope=")) {
      scope = a.substr(8);
    } else if (StartsWith(a, "--group=")) {
      opt.group = std::atoi(a.c_str() + 8);
    } else if (a == "--strict") {
      opt.strict = true;
    } else if (a == "--keep") {
      opt.keep = true;
    } else if (a == "--off") {
      opt.off = true;
    } else if (a == "--values") {
      opt.values = true;
    } else if (a == "--memory") {
      opt.memory = true;
    } else if (StartsWith(a, "--")) {
      std::fprintf(stderr, "qelcc: error: unknown option %s (see qelcc --help)\n", a.c_str());
      return 2;
    } else {
      break;
    }
  }
  if (i >= argc) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  if (opt.group < 0 || opt.group > 65535) {
    std::fprintf(stderr, "qelcc: error: group id must be 0 to 65535\n");
    return 2;
  }
  std::istringstream in(scope);
  std::string part;
  while (std::getline(in, part, ':')) {
    if (!part.empty()) opt.scope.push_back(part);
  }
  std::vector<std::string> rest(argv + i, argv + argc);
  size_t words = qelcc::CompilerWords(rest);
  std::vector<std::string> compiler(rest.begin(), rest.begin() + static_cast<long>(words));
  std::vector<std::string> args(rest.begin() + static_cast<long>(words), rest.end());
  return qelcc::Drive(opt, qelcc::ParseInvocation(compiler, args));
}
