#include "srcmap.hpp"

#include <dirent.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>

#include "elf_sections.h"
#include "map_section.h"
#include "qeltools/json_io.hpp"

namespace qelc {
namespace {

using qeltools::Json;

// Field access that fails with the field's name instead of throwing.
class Reader {
 public:
  explicit Reader(std::string* error) : error_(error) {}

  bool ok() const { return error_->empty(); }

  int integer(const Json& v, const char* key, int lo, int hi, bool required = true) {
    const Json* f = member(v, key);
    if (!f && !required) return 0;
    if (!f || !f->is_number_integer() || f->get<int64_t>() < lo || f->get<int64_t>() > hi) {
      fail(std::string("\"") + key + "\" must be an integer from " + std::to_string(lo) + " to " +
           std::to_string(hi));
      return 0;
    }
    return static_cast<int>(f->get<int64_t>());
  }
  std::string text(const Json& v, const char* key, bool required = true) {
    const Json* f = member(v, key);
    if (!f && !required) return {};
    if (!f || !f->is_string()) {
      fail(std::string("\"") + key + "\" must be a string");
      return {};
    }
    return f->get<std::string>();
  }
  const Json& array(const Json& v, const char* key) {
    static const Json kEmpty = Json::array();
    const Json* f = member(v, key);
    if (!f) return kEmpty;
    if (!f->is_array()) {
      fail(std::string("\"") + key + "\" must be an array");
      return kEmpty;
    }
    return *f;
  }
  MapRange range(const Json& v) {
    MapRange r;
    r.line = integer(v, "line", 1, 1 << 30);
    r.column = integer(v, "column", 0, 1 << 30, false);
    r.endLine = integer(v, "end_line", 0, 1 << 30, false);
    r.endColumn = integer(v, "end_column", 0, 1 << 30, false);
    if (r.endLine == 0) r.endLine = r.line;
    return r;
  }
  void fail(const std::string& what) {
    if (error_->empty()) *error_ = what;
  }

  // The member, or null when it is missing or null.
  static const Json* member(const Json& v, const char* key) {
    if (!v.is_object()) return nullptr;
    const auto it = v.find(key);
    return it == v.end() || it->is_null() ? nullptr : &*it;
  }

 private:
  std::string* error_;
};

// A map's text and the name its messages use.
struct MapText {
  std::string text;
  std::string name;
};

// What parsing one map text gave.
struct Parsed {
  UnitMap unit;
  std::string error;
  bool valid = false;
};

// Parses every text into the result of the same index, on as many threads
// as there are cores (at most 8; one with `oneThread`): a suite's maps are
// megabytes of JSON, and each parses on its own. False when `stop` ended
// the work early (the results are then incomplete).
//
// Design: each worker takes the next index from `next` and writes only
// out[i] of the indices it took; the caller reads them only after joining
// every worker, and join() orders those writes before its reads. So `next`
// needs no order of its own (relaxed): it only hands out each index once.
// `stop` carries no data either (relaxed): it only cuts the work short.
bool parseEach(const std::vector<MapText>& maps, std::vector<Parsed>* out, bool oneThread,
               const std::atomic<bool>* stop) {
  const std::size_t n = maps.size();
  out->assign(n, Parsed());
  std::atomic<std::size_t> next{0};
  std::atomic<bool> stopped{false};
  const auto work = [&] {
    for (std::size_t i; (i = next.fetch_add(1, std::memory_order_relaxed)) < n;) {
      if (stop && stop->load(std::memory_order_relaxed)) {
        stopped.store(true, std::memory_order_relaxed);
        return;
      }
      Parsed& p = (*out)[i];
      // Nothing may leave a worker thread: an exception there ends the process.
      try {
        p.valid = parseUnitMap(maps[i].text, maps[i].name, &p.unit, &p.error);
      } catch (const std::exception& e) {
        p.error = maps[i].name + ": " + e.what();
      }
    }
  };
  const unsigned cores =
      oneThread ? 1u : std::max(1u, std::min(8u, std::thread::hardware_concurrency()));
  std::vector<std::thread> helpers;
  try {
    for (unsigned t = 1; t < cores && t < n; ++t) helpers.emplace_back(work);
  } catch (const std::system_error&) {
    // No thread to be had: the caller's thread reads them all.
  }
  work();
  for (std::thread& t : helpers) t.join();
  return !stopped.load(std::memory_order_relaxed);
}

// The units of every text, in order; false with the error of the first
// map, in order, that is invalid.
bool parseMaps(const std::vector<MapText>& maps, std::vector<UnitMap>* units, std::string* error) {
  std::vector<Parsed> parsed;
  parseEach(maps, &parsed, false, nullptr);
  units->clear();
  for (Parsed& p : parsed) {
    if (!p.valid) {
      *error = p.error;
      return false;
    }
    units->push_back(std::move(p.unit));
  }
  return true;
}

std::string recordName(const std::string& path, uint16_t unit) {
  return path + " (unit " + std::to_string(unit) + ")";
}

// The records of `read` that would be added to `map`: neither in it
// already nor found earlier in the file. Each one met before counts in
// *added. False, with `fresh` incomplete, when one of them was not parsed.
bool freshRecords(ModuleRead& read, const SourceMap& map, std::vector<ModuleRecord*>* fresh,
                  std::size_t* added) {
  *added = 0;
  fresh->clear();
  for (ModuleRecord& rec : read.records) {
    const bool twice = std::any_of(fresh->begin(), fresh->end(), [&](const ModuleRecord* f) {
      return f->unit == rec.unit && f->identity == rec.identity;
    });
    if (map.find(rec.unit, rec.identity) || twice) {
      ++*added;
      continue;
    }
    if (rec.state == ModuleRecord::State::kUnparsed) return false;
    fresh->push_back(&rec);
  }
  return true;
}

}  // namespace

bool parseUnitMap(const std::string& text, const std::string& name, UnitMap* out,
                  std::string* error) {
  return readUnitMapQuickly(text, name, out) || parseUnitMapGeneral(text, name, out, error);
}

bool parseUnitMapGeneral(const std::string& text, const std::string& name, UnitMap* out,
                         std::string* error) {
  Json doc;
  std::string perr;
  if (!qeltools::parseJson(text, &doc, &perr)) {
    *error = name + ": not valid JSON: " + perr;
    return false;
  }
  const Json* format = Reader::member(doc, "format");
  if (!format || *format != "qelmap") {
    *error = name + ": not a source map (\"format\" is not \"qelmap\")";
    return false;
  }
  const Json* version = Reader::member(doc, "version");
  if (!version || *version != 1) {
    *error = name + ": map version " + (version ? version->dump() : "null").substr(0, 20) +
             " is not supported (this collector reads version 1)";
    return false;
  }
  std::string what;
  Reader r(&what);
  UnitMap u;
  u.mapFile = name;
  u.unit = static_cast<uint16_t>(r.integer(doc, "unit", 1, 32767));
  u.group = r.integer(doc, "group", 0, 65535, false);
  u.source = r.text(doc, "source", false);
  u.hash = r.text(doc, "hash", false);
  if (const Json* identity = Reader::member(doc, "identity")) {
    if (!identity->is_string() || !parseHashText(identity->get<std::string>(), &u.identity))
      r.fail("\"identity\" must be \"fnv1a64:\" and 16 hexadecimal digits");
    u.hasIdentity = true;
  }
  if (const Json* instrumented = Reader::member(doc, "instrumented")) {
    if (!instrumented->is_boolean()) r.fail("\"instrumented\" must be true or false");
    u.instrumented = !instrumented->is_boolean() || instrumented->get<bool>();
  }
  u.reason = r.text(doc, "reason", false);
  for (const auto& f : r.array(doc, "files")) {
    const int id = r.integer(f, "id", 0, 1 << 30);
    u.files[id] = r.text(f, "path");
    const std::string hash = r.text(f, "hash", false);
    if (!hash.empty()) u.fileHashes[id] = hash;
  }
  const auto knownFile = [&](int id) {
    if (r.ok() && !u.files.count(id)) r.fail("file id " + std::to_string(id) + " is not listed");
  };
  for (const auto& f : r.array(doc, "functions")) {
    MapFunction fn;
    fn.name = r.text(f, "name");
    fn.file = r.integer(f, "file", 0, 1 << 30);
    fn.line = r.integer(f, "line", 1, 1 << 30);
    fn.column = r.integer(f, "column", 0, 1 << 30, false);
    fn.endLine = r.integer(f, "end_line", 0, 1 << 30, false);
    fn.entryNode = static_cast<uint16_t>(r.integer(f, "entry_node", 0, 65535, false));
    knownFile(fn.file);
    u.functions.push_back(std::move(fn));
  }
  for (const auto& n : r.array(doc, "nodes")) {
    MapNode node;
    node.id = static_cast<uint16_t>(r.integer(n, "id", 1, 65535));
    node.file = r.integer(n, "file", 0, 1 << 30);
    node.line = r.integer(n, "line", 1, 1 << 30);
    node.column = r.integer(n, "column", 0, 1 << 30, false);
    node.function = r.text(n, "function", false);
    node.kind = r.text(n, "kind", false);
    for (const auto& l : r.array(n, "lines")) {
      if (!l.is_number_integer() || l.get<int64_t>() < 1 || l.get<int64_t>() > (1 << 30))
        r.fail("\"lines\" must hold line numbers");
      else
        node.lines.push_back(static_cast<int>(l.get<int64_t>()));
    }
    // A node without lines still stands for the line it sits on.
    if (node.lines.empty()) node.lines.push_back(node.line);
    knownFile(node.file);
    u.nodes.push_back(std::move(node));
  }
  for (const auto& d : r.array(doc, "decisions")) {
    MapDecision dec;
    dec.id = static_cast<uint16_t>(r.integer(d, "id", 1, 32767));
    dec.condId = static_cast<uint16_t>(r.integer(d, "cond_id", 1, 65535));
    dec.file = r.integer(d, "file", 0, 1 << 30);
    dec.function = r.text(d, "function", false);
    dec.kind = r.text(d, "kind", false);
    dec.text = r.text(d, "text", false);
    dec.range = r.range(d);
    const Json* mcdc = Reader::member(d, "mcdc");
    dec.mcdc = mcdc && mcdc->is_boolean() ? mcdc->get<bool>() : true;
    for (const auto& c : r.array(d, "conditions")) {
      MapCondition mc;
      mc.id = static_cast<uint16_t>(r.integer(c, "id", 1, 65535));
      mc.index = r.integer(c, "index", 0, 1 << 20);
      mc.text = r.text(c, "text", false);
      mc.range = Reader::member(c, "line") ? r.range(c) : dec.range;
      dec.conditions.push_back(std::move(mc));
    }
    std::sort(dec.conditions.begin(), dec.conditions.end(),
              [](const MapCondition& a, const MapCondition& b) { return a.index < b.index; });
    for (std::size_t i = 0; i < dec.conditions.size(); ++i)
      if (dec.conditions[i].index != static_cast<int>(i))
        r.fail("decision " + std::to_string(dec.id) + ": condition indices must be 0.." +
               std::to_string(dec.conditions.size() - 1));
    knownFile(dec.file);
    u.decisions.push_back(std::move(dec));
  }
  if (!what.empty()) {
    *error = name + ": " + what;
    return false;
  }
  *out = std::move(u);
  return true;
}

bool loadMapDir(const std::string& dir, SourceMap* map, std::string* error) {
  DIR* d = opendir(dir.c_str());
  if (!d) {
    *error = "cannot read map directory " + dir;
    return false;
  }
  std::vector<std::string> names;
  static const std::string kSuffix = ".qelmap.json";
  while (const dirent* e = readdir(d)) {
    const std::string n = e->d_name;
    if (n.size() > kSuffix.size() &&
        n.compare(n.size() - kSuffix.size(), kSuffix.size(), kSuffix) == 0)
      names.push_back(n);
  }
  closedir(d);
  std::sort(names.begin(), names.end());
  if (names.empty()) {
    *error = "no *.qelmap.json file in " + dir + " (was the program built with qelcc?)";
    return false;
  }
  std::vector<MapText> texts;
  for (const auto& n : names) {
    const std::string path = dir + "/" + n;
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    if (!in) {
      *error = "cannot read " + path;
      return false;
    }
    texts.push_back(MapText{ss.str(), path});
  }
  std::vector<UnitMap> units;
  if (!parseMaps(texts, &units, error)) return false;
  for (UnitMap& u : units)
    if (!map->add(std::move(u), error)) return false;
  return true;
}

bool SourceMap::add(UnitMap u, std::string* error) {
  const auto it = units.find(u.unit);
  if (it == units.end()) {
    units.emplace(u.unit, std::move(u));
    return true;
  }
  for (const UnitMap* other : all(u.unit)) {
    if (!other->hasIdentity || !u.hasIdentity) {
      *error = "unit " + std::to_string(u.unit) + " is mapped twice: " + other->mapFile + " and " +
               u.mapFile;
      return false;
    }
    if (other->identity == u.identity) return true;
  }
  otherBuilds.emplace(u.unit, std::move(u));
  return true;
}

const UnitMap* SourceMap::find(uint16_t unit, uint64_t identity) const {
  for (const UnitMap* u : all(unit))
    if (u->hasIdentity && u->identity == identity) return u;
  return nullptr;
}

std::vector<const UnitMap*> SourceMap::all(uint16_t unit) const {
  std::vector<const UnitMap*> out;
  if (const auto it = units.find(unit); it != units.end()) out.push_back(&it->second);
  const auto [from, to] = otherBuilds.equal_range(unit);
  for (auto it = from; it != to; ++it) out.push_back(&it->second);
  return out;
}

bool parseHashText(const std::string& text, uint64_t* value) {
  static const std::string kPrefix = "fnv1a64:";
  if (text.size() != kPrefix.size() + 16 || text.compare(0, kPrefix.size(), kPrefix) != 0)
    return false;
  uint64_t v = 0;
  for (std::size_t i = kPrefix.size(); i < text.size(); ++i) {
    const char c = text[i];
    const int digit = c >= '0' && c <= '9'   ? c - '0'
                      : c >= 'a' && c <= 'f' ? c - 'a' + 10
                      : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                             : -1;
    if (digit < 0) return false;
    v = v << 4 | static_cast<uint64_t>(digit);
  }
  *value = v;
  return true;
}

std::string hashText(uint64_t value) {
  char out[32];
  std::snprintf(out, sizeof out, "fnv1a64:%016llx", static_cast<unsigned long long>(value));
  return out;
}

bool hashFile(const std::string& path, uint64_t* value) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  uint64_t h = 14695981039346656037ULL;
  char buf[1 << 16];
  while (in.read(buf, sizeof buf) || in.gcount() > 0) {
    for (std::streamsize i = 0; i < in.gcount(); ++i) {
      h ^= static_cast<unsigned char>(buf[i]);
      h *= 1099511628211ULL;
    }
    if (in.eof()) break;
  }
  if (in.bad()) return false;
  *value = h;
  return true;
}

bool readModuleMaps(const std::string& path, const ModuleReadOptions& options, ModuleRead* out) {
  *out = ModuleRead();
  out->path = path;
  std::string section, why;
  switch (qel::elf::FindSectionInFile(path, qel::mapsection::kSectionName, &section, &why)) {
    case qel::elf::Result::kFound:
      break;
    case qel::elf::Result::kNoSection:
      out->outcome = ModuleMaps::kNone;
      out->error = path + " holds no source maps (not built with qelcc)";
      return true;
    case qel::elf::Result::kNotElf:
      out->outcome = ModuleMaps::kUnreadable;
      out->error = "cannot read source maps out of " + path + ": not an ELF file";
      return true;
    case qel::elf::Result::kMalformed:
      out->outcome = ModuleMaps::kInvalid;
      out->error = "cannot read source maps out of " + path + ": " + why;
      return true;
    case qel::elf::Result::kUnreadable:
      out->outcome = ModuleMaps::kUnreadable;
      out->error = "cannot read source maps out of " + path + (why.empty() ? "" : ": " + why);
      return true;
  }
  std::vector<qel::mapsection::Record> records;
  if (!qel::mapsection::Decode(section, &records, &why)) {
    out->outcome = ModuleMaps::kInvalid;
    out->error = path + ": section " + qel::mapsection::kSectionName + ": " + why;
    return true;
  }
  section = std::string();
  if (records.empty()) {
    out->outcome = ModuleMaps::kNone;
    out->error = path + " holds no source maps (its section is empty)";
    return true;
  }
  out->outcome = ModuleMaps::kRead;
  // Every program of a test suite may carry the same library's maps: one
  // the caller has (or met before in this file) is not parsed again.
  std::vector<MapText> texts;
  std::vector<std::size_t> parsedIndex;
  for (qel::mapsection::Record& rec : records) {
    ModuleRecord r;
    r.unit = rec.unit;
    r.identity = rec.identity;
    r.instrumented = rec.instrumented;
    const bool twice = std::any_of(out->records.begin(), out->records.end(), [&](const auto& f) {
      return f.unit == rec.unit && f.identity == rec.identity;
    });
    if (!twice && !(options.skip && options.skip(rec.unit, rec.identity))) {
      parsedIndex.push_back(out->records.size());
      texts.push_back(MapText{std::move(rec.payload), recordName(path, rec.unit)});
    }
    out->records.push_back(std::move(r));
  }
  std::vector<Parsed> parsed;
  if (!parseEach(texts, &parsed, options.oneThread, options.stop)) return false;
  for (std::size_t i = 0; i < parsed.size(); ++i) {
    ModuleRecord& r = out->records[parsedIndex[i]];
    if (parsed[i].valid) {
      r.state = ModuleRecord::State::kParsed;
      r.map = std::move(parsed[i].unit);
    } else {
      r.state = ModuleRecord::State::kInvalid;
      r.error = std::move(parsed[i].error);
    }
  }
  return true;
}

ModuleMaps applyModuleMaps(ModuleRead read, SourceMap* map, std::size_t* added,
                           std::string* error) {
  *added = 0;
  if (read.outcome != ModuleMaps::kRead) {
    *error = read.error;
    return read.outcome;
  }
  std::vector<ModuleRecord*> fresh;
  if (!freshRecords(read, *map, &fresh, added)) {
    // A map the read took for known is not in `map` after all: read the
    // file again, leaving out only what `map` holds.
    const std::string path = read.path;
    ModuleReadOptions again;
    again.skip = [map](uint16_t unit, uint64_t identity) {
      return map->find(unit, identity) != nullptr;
    };
    readModuleMaps(path, again, &read);
    if (read.outcome != ModuleMaps::kRead) {
      *error = read.error;
      return read.outcome;
    }
    freshRecords(read, *map, &fresh, added);
  }
  // Every new map is parsed before any is added: an invalid one leaves the
  // SourceMap as it was.
  for (const ModuleRecord* rec : fresh)
    if (rec->state == ModuleRecord::State::kInvalid) {
      *error = rec->error;
      return ModuleMaps::kInvalid;
    }
  for (ModuleRecord* rec : fresh) {
    UnitMap& u = rec->map;
    // The header and the document are written together: a record whose two
    // disagree was damaged, and would be matched against the wrong runs.
    if (u.unit != rec->unit || (u.hasIdentity && u.identity != rec->identity) ||
        u.instrumented != rec->instrumented) {
      *error = recordName(read.path, rec->unit) + ": the record's header and its map disagree";
      return ModuleMaps::kInvalid;
    }
    if (!u.hasIdentity) {
      u.identity = rec->identity;
      u.hasIdentity = true;
    }
    if (!map->add(std::move(u), error)) return ModuleMaps::kInvalid;
    ++*added;
  }
  return ModuleMaps::kRead;
}

ModuleMaps loadModuleMaps(const std::string& path, SourceMap* map, std::size_t* added,
                          std::string* error) {
  ModuleReadOptions options;
  options.skip = [map](uint16_t unit, uint64_t identity) {
    return map->find(unit, identity) != nullptr;
  };
  ModuleRead read;
  readModuleMaps(path, options, &read);
  return applyModuleMaps(std::move(read), map, added, error);
}

}  // namespace qelc
