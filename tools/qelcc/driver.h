// One compiler invocation under qelcc: which inputs are instrumented, how
// each is built (preprocess, instrument, compile, record the map), and the
// link that follows.
#ifndef QELCC_DRIVER_H
#define QELCC_DRIVER_H

#include <string>
#include <vector>

#include "command_line.h"

namespace qelcc {

struct Options {
  std::string map_dir;
  std::vector<std::string> scope;
  int group = 1;
  bool strict = false;
  bool keep = false;
  bool off = false;
  bool values = false;
  bool memory = false;
  // The call-per-event probes instead of counters in the program.
  bool events = false;
  // Ask the compiler for its predefined macros in every run instead of
  // keeping its answer in the map directory.
  bool no_probe_cache = false;
  // Instrument every unit in this process instead of asking the server
  // that keeps libclang loaded.
  bool no_server = false;
};

// Runs the invocation; returns the exit status qelcc ends with (it may also
// replace itself by the compiler when it has nothing to add).
int Drive(const Options& options, const Invocation& invocation);

}  // namespace qelcc

#endif
