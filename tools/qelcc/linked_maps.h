// What a link step checks in the file it produced: the maps its objects
// carry (the `.qelmap` section). Two different units with one unit id would
// mix their counts, so the link fails; maps that the map directory lacks
// (objects a compiler cache handed back without running qelcc) are written
// into it.
#ifndef QELCC_LINKED_MAPS_H
#define QELCC_LINKED_MAPS_H

#include <string>

namespace qelcc {

// Returns 0, or 1 after printing "qelcc: error: ..." (the output is then
// removed). `map_dir` empty: no directory to complete.
int CheckLinkedMaps(const std::string& output, const std::string& map_dir);

}  // namespace qelcc

#endif
