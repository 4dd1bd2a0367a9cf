// Inserts the probes into one preprocessed translation unit and describes
// what it inserted (the source map's content).
#ifndef QELCC_INSTRUMENT_H
#define QELCC_INSTRUMENT_H

#include <map>
#include <set>
#include <string>
#include <vector>

#include "probe_text.h"

namespace qelcc {

struct MapCondition {
  int id = 0;
  int index = 0;
  std::string text;
  unsigned line = 0, column = 0, end_line = 0, end_column = 0;
};

struct MapDecision {
  int id = 0;
  int cond_id = 0;
  int file = 0;
  std::string function, kind, text;
  unsigned line = 0, column = 0, end_line = 0, end_column = 0;
  bool mcdc = true;
  // In a counted unit, a decision with too many evaluation paths for path
  // counters goes through the call-per-event probes: "events".
  std::string form;
  std::vector<MapCondition> conditions;
};

struct MapNode {
  int id = 0;
  int file = 0;
  unsigned line = 0, column = 0;
  std::string function, kind;
  std::set<unsigned> lines;
};

struct MapFunction {
  std::string name;
  int file = 0;
  unsigned line = 0, column = 0, end_line = 0;
  int entry_node = 0;
};

struct UnitMap {
  int unit = 0;
  int group = 1;
  std::string source;  // the source file as compiled
  std::string object;  // the file it was built into
  // Content identity (docs/map-format.md): the same whenever the same text
  // is built the same way, so a run can be matched with its map.
  unsigned long long identity = 0;
  bool instrumented = true;
  std::string reason;              // why the unit was built without probes
  std::vector<std::string> files;  // index = file id
  std::vector<MapFunction> functions;
  std::vector<MapNode> nodes;
  std::vector<MapDecision> decisions;
};

struct InstrumentResult {
  bool ok = false;
  std::string error;  // why the unit could not be instrumented
  std::string text;   // the instrumented preprocessed text
  UnitMap map;
  // Counters in the program: the decisions counted by paths, for the
  // unit's registration (CounterRegistration), which follows the text once
  // its identity is known; `counted` false when the unit counts nothing.
  bool counted = false;
  int nodes = 0;
  std::vector<CounterDecision> decisions;
};

// What shapes the inserted code besides the unit and group ids.
struct InstrumentOptions {
  bool values = false;  // scalar parameters at function entry (QelPrint)
  bool memory = false;  // malloc, calloc, realloc and free through QelNew...
  // Counters in the program (the default), or the call-per-event probes.
  bool counters = true;
  CounterTarget target;
  // Route calls of the exec family through the runtime (POSIX targets).
  bool exec = true;
};

// `ipath` names the preprocessed text `itext` (for libclang); `cwd` resolves
// the relative paths of the line markers; `args` are extra parse arguments
// (the user's -std=). Positions refer to the files the line markers name.
// `values`: also report scalar parameters at function entry (QelPrint).
// `memory`: direct calls of malloc, calloc, realloc and free go through
// QelNew, QelRenew and QelDelete with the call's file, function and line.
InstrumentResult Instrument(const std::string& ipath, const std::string& itext,
                            const std::string& cwd, const std::vector<std::string>& args, int unit,
                            int group, const InstrumentOptions& options);

// Normalises a path as the map stores it: absolute, no "." or "..".
std::string NormalPath(const std::string& path, const std::string& cwd);

}  // namespace qelcc

#endif
