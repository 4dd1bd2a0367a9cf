// The map directory: unit id registry and map files.
#ifndef QELCC_MAPDIR_H
#define QELCC_MAPDIR_H

#include <string>

#include "instrument.h"

namespace qelcc {

// Creates `dir` if needed and checks that maps can be written there.
bool PrepareMapDir(const std::string& dir, std::string* error);

// The unit id of (source, object): the one the registry `dir/units.json`
// already holds, or the next free one. Parallel compiles serialise on an
// exclusive lock of `dir/units.lock`, so two never take the same id.
int UnitId(const std::string& dir, const std::string& source, const std::string& object,
           std::string* error);

// Writes `dir/<unit>.qelmap.json` through a temporary file and a rename.
bool WriteMap(const std::string& dir, const UnitMap& map, const std::string& source,
              const std::string& object, std::string* error);

// Removes a unit's map (its object was built without instrumentation).
void RemoveMap(const std::string& dir, int unit);

// "fnv1a64:<16 hex digits>" of a file's bytes, or "" if unreadable.
std::string FileHash(const std::string& path);

}  // namespace qelcc

#endif
