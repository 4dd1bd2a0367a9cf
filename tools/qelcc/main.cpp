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
#include "qeltools/command_line.hpp"
#include "server.h"

using qelcc::Env;

namespace {

const char* const kUsage = "usage: qelcc [options] COMPILER [compiler arguments...]\n";

const char* const kDescription =
    "Compiles C sources instrumented with counters (statement nodes, decisions\n"
    "and conditions) that QELMQLib reads and sends, and writes one source map\n"
    "per translation unit.\n"
    "Use it as a compiler launcher:\n"
    "  make CC=\"qelcc gcc\"\n"
    "  cmake -DCMAKE_C_COMPILER_LAUNCHER=qelcc -DCMAKE_C_LINKER_LAUNCHER=qelcc ...\n"
    "\n"
    "COMPILER may be a compiler cache and its compiler (qelcc ccache gcc).\n"
    "Every object also carries its map (section .qelmap).\n";

const char* const kFooter =
    "QELCC_RUNTIME_DIR names the directory of libQELMQLib.so for link steps.\n"
    "\n"
    "Exit status: the compiler's own; 1 for qelcc's errors (message on stderr).";

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::string(argv[1]) == qelcc::kServerArgument) {
    return qelcc::ServerMain(argc, argv);
  }
  qelcc::Options opt;
  opt.map_dir = Env("QELCC_MAP_DIR");
  std::string scope = Env("QELCC_SCOPE");
  opt.strict = Env("QELCC_STRICT") == "1";
  opt.keep = Env("QELCC_KEEP") == "1";
  opt.off = Env("QELCC_OFF") == "1";
  opt.values = Env("QELCC_VALUES") == "1";
  opt.memory = Env("QELCC_MEMORY") == "1";
  opt.events = Env("QELCC_EVENTS") == "1";
  opt.no_probe_cache = Env("QELCC_NO_PROBE_CACHE") == "1";
  opt.no_server = Env("QELCC_NO_SERVER") == "1";
  if (!Env("QELCC_GROUP").empty()) opt.group = std::atoi(Env("QELCC_GROUP").c_str());
  // Our options come first; from the first other word on, the words are
  // the compiler's command line, passed on as they are.
  qeltools::CommandLine cl("qelcc", kUsage, kDescription, kFooter);
  CLI::App& app = cl.app();
  const char* group = "Options (before COMPILER; each has an environment variable)";
  app.add_option("--map-dir", opt.map_dir, "map directory (QELCC_MAP_DIR; default: ./qelmap)")
      ->option_text("DIR")
      ->group(group);
  app.add_option("--scope", scope,
                 "instrument only sources under these path prefixes\n"
                 "(QELCC_SCOPE; default: everything outside system headers)")
      ->option_text("P1:P2")
      ->group(group);
  long groupId = opt.group;
  qeltools::addInteger(app, "--group", &groupId, 0, 65535,
                       "group id passed to QelExp (QELCC_GROUP; default 1)")
      ->group(group);
  app.add_flag("--strict", opt.strict,
               "fail instead of compiling a unit without probes when\n"
               "it cannot be instrumented (QELCC_STRICT=1); without it\n"
               "such a unit is compiled plain, with a warning, and\n"
               "recorded as uninstrumented in its map")
      ->group(group);
  app.add_flag("--keep", opt.keep, "keep the preprocessed and instrumented texts (QELCC_KEEP=1)")
      ->group(group);
  app.add_flag("--off", opt.off, "run the compiler untouched, runtime included (QELCC_OFF=1)")
      ->group(group);
  app.add_flag("--values", opt.values,
               "also send the scalar parameters of every call through\n"
               "QelPrint (QELCC_VALUES=1)")
      ->group(group);
  app.add_flag("--memory", opt.memory,
               "route direct calls of malloc, calloc, realloc and free\n"
               "through the runtime's leak tracking (QELCC_MEMORY=1); every\n"
               "block must then be freed by instrumented code")
      ->group(group);
  app.add_flag("--events", opt.events,
               "call the runtime at every node and condition instead of\n"
               "counting in the program (QELCC_EVENTS=1): slower, for\n"
               "runtimes older than the counters")
      ->group(group);
  app.add_flag("--no-probe-cache", opt.no_probe_cache,
               "ask the compiler for its predefined macros in every run\n"
               "instead of keeping the answer in the map directory's\n"
               "probes/ (QELCC_NO_PROBE_CACHE=1)")
      ->group(group);
  app.add_flag("--no-server", opt.no_server,
               "parse every unit in this run instead of through the\n"
               "server that keeps libclang loaded between runs\n"
               "(QELCC_NO_SERVER=1; Linux)")
      ->group(group);
  app.set_version_flag("--version", std::string("qelcc ") + QELCC_VERSION, "print the version")
      ->group(group);
  cl.addHelp(group);
  cl.passRest();
  if (const int status = cl.parse(argc, argv); status >= 0) return status;
  if (app.get_option("--group")->count() > 0) opt.group = static_cast<int>(groupId);
  if (cl.rest().empty()) return cl.usageError("no compiler given");
  if (opt.group < 0 || opt.group > 65535) {
    std::fprintf(stderr, "qelcc: error: group id must be 0 to 65535\n");
    return 2;
  }
  std::istringstream in(scope);
  std::string part;
  while (std::getline(in, part, ':')) {
    if (!part.empty()) opt.scope.push_back(part);
  }
  const std::vector<std::string>& rest = cl.rest();
  size_t words = qelcc::CompilerWords(rest);
  std::vector<std::string> compiler(rest.begin(), rest.begin() + static_cast<long>(words));
  std::vector<std::string> args(rest.begin() + static_cast<long>(words), rest.end());
  return qelcc::Drive(opt, qelcc::ParseInvocation(compiler, args));
}
