// Source maps written by the instrumenter: what each unit contains, whether
// it ever runs or not (format: docs/map-format.md).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
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
  // The content identity of the build (0 with hasIdentity false: a map of
  // a qelcc that wrote none).
  uint64_t identity = 0;
  bool hasIdentity = false;
  // False for a unit built without probes; `reason` says why.
  bool instrumented = true;
  std::string reason;
  std::string mapFile;                    // where it was read from, for messages
  std::map<int, std::string> files;       // file id -> path
  std::map<int, std::string> fileHashes;  // file id -> "fnv1a64:..." when the map has it
  std::vector<MapFunction> functions;
  std::vector<MapNode> nodes;
  std::vector<MapDecision> decisions;
};

// The maps of a report, from map folders and from the programs that ran,
// told apart by unit id and identity: one unit id may have a map per build.
struct SourceMap {
  // The first map of each unit id.
  std::map<uint16_t, UnitMap> units;
  // Further maps of a unit id with other identities (other builds).
  std::multimap<uint16_t, UnitMap> otherBuilds;
  bool empty() const { return units.empty(); }

  // Adds `u`. A map of the same unit and identity as one already present
  // is the same map found twice and is dropped; one with another identity
  // is another build's and is kept beside it. Two maps of one unit id that
  // cannot be told apart (one has no identity) are an error.
  bool add(UnitMap u, std::string* error);
  // The map of `unit` built as `identity`, or null.
  const UnitMap* find(uint16_t unit, uint64_t identity) const;
  // Every map of `unit`, the first first.
  std::vector<const UnitMap*> all(uint16_t unit) const;
};

// "fnv1a64:" and 16 lower-case hexadecimal digits, as maps write hashes
// and identities; false for any other text.
bool parseHashText(const std::string& text, uint64_t* value);
std::string hashText(uint64_t value);
// FNV-1a 64 of a file's bytes, as qelcc hashes sources; false when the file
// cannot be read.
bool hashFile(const std::string& path, uint64_t* value);

// Parses one map document. On failure returns false with a message that
// names `name` and what is wrong; `out` is then unspecified.
bool parseUnitMap(const std::string& text, const std::string& name, UnitMap* out,
                  std::string* error);

// The same through the general JSON reader alone. parseUnitMap first tries
// readUnitMapQuickly, which builds no JSON document and takes on only the
// maps it reads exactly as this one does; false from it means "not taken
// on", never "invalid".
bool parseUnitMapGeneral(const std::string& text, const std::string& name, UnitMap* out,
                         std::string* error);
bool readUnitMapQuickly(const std::string& text, const std::string& name, UnitMap* out);

// Adds every "*.qelmap.json" of dir. A directory without maps, an
// unreadable or invalid map, or a unit id already present is an error: a
// report against a partial map would silently count too little.
bool loadMapDir(const std::string& dir, SourceMap* map, std::string* error);

// How reading the maps of one program or library went.
enum class ModuleMaps {
  kRead,        // its maps were added
  kNone,        // a readable file without maps (not built with qelcc)
  kUnreadable,  // gone, or not a file this collector can read maps from
  kInvalid,     // its section holds something that is not a valid map
};

// Adds the maps in the `.qelmap` section of the ELF file at `path` (the
// records qelcc puts in every object it builds, kept by the link). *error
// says what went wrong for anything but kRead; *added counts the maps
// found (a map found before as well included). It is readModuleMaps, with
// the maps already in `map` left unparsed, then applyModuleMaps.
ModuleMaps loadModuleMaps(const std::string& path, SourceMap* map, std::size_t* added,
                          std::string* error);

// One record of a module's section and what parsing its map gave.
struct ModuleRecord {
  enum class State {
    kUnparsed,  // left alone: the caller said it has this map already
    kParsed,    // `map` holds it
    kInvalid,   // `error` says why it is not a map
  };
  uint16_t unit = 0;
  uint64_t identity = 0;
  bool instrumented = true;
  State state = State::kUnparsed;
  UnitMap map;
  std::string error;
};

// The maps of one program or library as read from its file, before any of
// them is added to a SourceMap: the costly part of loadModuleMaps, which
// needs no shared state.
struct ModuleRead {
  std::string path;
  // kRead once the section's records were decoded (each map may still be
  // invalid); otherwise what loadModuleMaps gives for the file, with `error`.
  ModuleMaps outcome = ModuleMaps::kUnreadable;
  std::string error;
  std::vector<ModuleRecord> records;
};

struct ModuleReadOptions {
  // Records whose map need not be parsed: maps the caller already holds.
  // A later record of the same unit and identity in one file is never
  // parsed either (the first one stands for it).
  std::function<bool(uint16_t unit, uint64_t identity)> skip;
  // Parses on the calling thread alone, not on every core.
  bool oneThread = false;
  // Looked at before each map is parsed; once true the read is given up.
  const std::atomic<bool>* stop = nullptr;
};

// Reads the section of `path`, decodes its records and parses their maps.
// False when `options.stop` gave the read up (`out` is then incomplete).
bool readModuleMaps(const std::string& path, const ModuleReadOptions& options, ModuleRead* out);

// The cheap part: adds what `read` found to `map`, with the outcome, error
// and count loadModuleMaps gives for that file and that map. Should a map
// it has to add have been left unparsed, the file is read again for it.
ModuleMaps applyModuleMaps(ModuleRead read, SourceMap* map, std::size_t* added, std::string* error);

}  // namespace qelc
