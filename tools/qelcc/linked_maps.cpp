#include "linked_maps.h"

#include <cstdio>
#include <map>
#include <vector>

#include "elf_sections.h"
#include "map_section.h"
#include "mapdir.h"
#include "qeltools/json_io.hpp"

namespace qelcc {

namespace {

struct MapWho {
  std::string source, object;
};

// The paths as the registry holds them: byte for byte.
MapWho Who(const qel::mapsection::Record& r) {
  qeltools::Json doc;
  std::string errs;
  MapWho w;
  if (qeltools::parseJson(r.payload, &doc, &errs, qeltools::ByteEscapes::AreBytes) &&
      doc.is_object()) {
    w.source = qeltools::bytesOf(doc.value("source", qeltools::Json()));
    w.object = qeltools::bytesOf(doc.value("object", qeltools::Json()));
  }
  return w;
}

int Fail(const std::string& output, const std::string& message) {
  std::fprintf(stderr, "qelcc: error: %s: %s\n", output.c_str(), message.c_str());
  std::remove(output.c_str());
  return 1;
}

}  // namespace

int CheckLinkedMaps(const std::string& output, const std::string& map_dir) {
  std::string section, error;
  qel::elf::Result found =
      qel::elf::FindSectionInFile(output, qel::mapsection::kSectionName, &section, &error);
  if (found == qel::elf::Result::kNotElf || found == qel::elf::Result::kNoSection) return 0;
  std::vector<qel::mapsection::Record> records;
  if (found != qel::elf::Result::kFound || !qel::mapsection::Decode(section, &records, &error)) {
    // The linker wrote what it was given; a report will say what is missing.
    std::fprintf(stderr, "qelcc: warning: %s: cannot read its source maps: %s\n", output.c_str(),
                 error.c_str());
    return 0;
  }
  std::map<int, const qel::mapsection::Record*> by_unit;
  for (const qel::mapsection::Record& r : records) {
    auto it = by_unit.emplace(r.unit, &r);
    if (it.second) continue;
    const qel::mapsection::Record& other = *it.first->second;
    if (other.identity == r.identity) continue;            // the same unit twice
    if (!other.instrumented && !r.instrumented) continue;  // neither sends anything
    MapWho a = Who(other), b = Who(r);
    return Fail(output, a.source + " (built into " + a.object + ") and " + b.source +
                            " (built into " + b.object + ") were built as the same unit " +
                            std::to_string(r.unit) +
                            ", so their counts could not be told apart: objects of builds with "
                            "different map directories were linked together (a compiler cache "
                            "shared by two trees, or QELCC_MAP_DIR changed between compiles); "
                            "rebuild them with one map directory");
  }
  if (map_dir.empty()) return 0;
  bool prepared = false;
  for (const auto& entry : by_unit) {
    const qel::mapsection::Record& r = *entry.second;
    if (HoldsMap(map_dir, r.unit, r.payload)) continue;  // the common case: nothing to parse
    if (!prepared && !PrepareMapDir(map_dir, &error)) return Fail(output, error);
    prepared = true;
    const MapWho w = Who(r);
    std::string owner;
    const Adopt a = AdoptMap(map_dir, r.unit, w.source, w.object, r.payload, &owner, &error);
    if (a == Adopt::kConflict) {
      if (!owner.empty()) {
        return Fail(output, "unit " + std::to_string(r.unit) + " of " + w.source + " (built into " +
                                w.object + ") is unit " + std::to_string(r.unit) + " of " + owner +
                                " in the map directory " + map_dir +
                                ": a compiler cache handed back an object of another tree; "
                                "rebuild it in this tree (clear the cache, or touch the source)");
      }
      return Fail(output, error);
    }
  }
  return 0;
}

}  // namespace qelcc
