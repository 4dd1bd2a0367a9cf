// Source maps written by the instrumenter: what each unit contains, whether
// it ever runs or not (format: docs/map-format.md).
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace qelc {

struct MapRange {
  int line = 0;
  int column = 0;
  int endLine = 0;
  int endColumn = 0;
};

struct MapCondition {
  uint16_t id = 0;
  int index = 0;
  std::string text;
  MapRange range;
};

struct MapDecision {
  uint16_t id = 0;
  uint16_t condId = 0;
  int file = 0;
  std::string function;
  std::string kind;
  std::string text;
  MapRange range;
  bool mcdc = true;
  std::vector<MapCondition> conditions;  // sorted by evaluation index
};

struct MapNode {
  uint16_t id = 0;
  int file = 0;
  int line = 0;
  int column = 0;
  std::string function;
  std::vector<int> lines;
  std::string kind;
};

struct MapFunction {
  std::string name;
  int file = 0;
  int line = 0;
  int column = 0;
  int endLine = 0;
  uint16_t entryNode = 0;
};

struct UnitMap {
  uint16_t unit = 0;
  int group = 0;
  std::string source;
  std::string hash;
  std::string mapFile;               // where it was read from, for messages
  std::map<int, std::string> files;  // file id -> path
  std::vector<MapFunction> functions;
  std::vector<MapNode> nodes;
  std::vector<MapDecision> decisions;
};

struct SourceMap {
  std::map<uint16_t, UnitMap> units;
  bool empty() const { return units.empty(); }
};

// Parses one map document. On failure returns false with a message that
// names `name` and what is wrong; `out` is then unspecified.
bool parseUnitMap(const std::string& text, const std::string& name, UnitMap* out,
                  std::string* error);

// Adds every "*.qelmap.json" of dir. A directory without maps, an
// unreadable or invalid map, or a unit id already present is an error: a
// report against a partial map would silently count too little.
bool loadMapDir(const std::string& dir, SourceMap* map, std::string* error);

}  // namespace qelc
