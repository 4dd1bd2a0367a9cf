// The unit's map document, and the map directory: unit id registry and map
// files (format: docs/map-format.md).
#ifndef QELCC_MAPDIR_H
#define QELCC_MAPDIR_H

#include <cstdint>
#include <string>

#include "instrument.h"

namespace qelcc {

// FNV-1a 64 of `bytes`, continuing from `seed`.
std::uint64_t Fnv1a64(const std::string& bytes, std::uint64_t seed = 14695981039346656037ull);

// "fnv1a64:<16 hex digits>".
std::string HashText(std::uint64_t hash);

// "fnv1a64:<16 hex digits>" of a file's bytes, or "" if unreadable.
std::string FileHash(const std::string& path);

// The identity of a unit: its source path, the options that shape the
// inserted code, and the instrumented text (or, for a unit built without
// probes, the text it was built from). Length-prefixed parts, so no two
// different inputs run together into the same bytes.
std::uint64_t UnitIdentity(const std::string& source, const std::string& options,
                           const std::string& text);

// The map document of `map` (its unit, identity, source and object set), as
// written to the map directory and into the object code.
std::string MapDocument(const UnitMap& map);

// Creates `dir` if needed and checks that maps can be written there.
bool PrepareMapDir(const std::string& dir, std::string* error);

// The unit id of (source, output): the one the registry `dir/units.json`
// already holds, or a new one. A new id is derived from the paths (so a tree
// rebuilt from scratch, or objects a compiler cache hands back, get the same
// ids again) and moved to the next free one when taken. Parallel compiles
// serialise on an exclusive lock of `dir/units.lock`, so two never take the
// same id.
int UnitId(const std::string& dir, const std::string& source, const std::string& output,
           std::string* error);

// Writes `dir/<unit>.qelmap.json` through a temporary file and a rename.
bool WriteMapFile(const std::string& dir, int unit, const std::string& document,
                  std::string* error);

// True when `dir/<unit>.qelmap.json` holds exactly `document`.
bool HoldsMap(const std::string& dir, int unit, const std::string& document);

// What became of a map a linked file carries.
enum class Adopt {
  kWritten,   // the map was missing or older: written, unit registered
  kConflict,  // the directory gives the id to another source or object
};

// Puts a map found in linked object code into the directory (a compiler
// cache hands back objects whose compile never ran qelcc). *owner names the
// directory's unit on a conflict.
Adopt AdoptMap(const std::string& dir, int unit, const std::string& source,
               const std::string& object, const std::string& document, std::string* owner,
               std::string* error);

}  // namespace qelcc

#endif
