// How the unit's map reaches its object: as a file the assembler reads
// while the unit is compiled, or spelt out in the compiled text itself.
#ifndef QELCC_MAP_FILE_H
#define QELCC_MAP_FILE_H

#include "command_line.h"
#include "map_section.h"

namespace qelcc {

// True when the compile of `invocation` for a target of `format` assembles
// each unit here and now, so that the assembler may read the map from a
// file in qelcc's temporary directory (which is gone once qelcc ends);
// false when the text must carry the map itself.
bool MapFromFile(const Invocation& invocation, qel::mapsection::ObjectFormat format);

}  // namespace qelcc

#endif
