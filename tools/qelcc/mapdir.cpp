#include "mapdir.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

#include "qeltools/json_io.hpp"

namespace qelcc {

namespace {

const int kMaxUnit = 32767;  // 15 bits reach the collector

bool MakeDirs(const std::string& dir) {
  std::string path;
  std::istringstream in(dir);
  std::string part;
  if (!dir.empty() && dir[0] == '/') path = "";
  bool first = true;
  while (std::getline(in, part, '/')) {
    if (part.empty()) {
      if (first) path = "";
      first = false;
      continue;
    }
    path += (path.empty() && dir[0] != '/') ? part : "/" + part;
    first = false;
    if (mkdir(path.c_str(), 0777) != 0 && errno != EEXIST) return false;
  }
  struct stat st;
  return stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool WriteAtomically(const std::string& path, const std::string& content, std::string* error) {
  std::string tmp = path + ".tmp." + std::to_string(getpid());
  FILE* f = std::fopen(tmp.c_str(), "wb");
  if (!f) {
    *error = "cannot write " + tmp + ": " + std::strerror(errno);
    return false;
  }
  bool ok = std::fwrite(content.data(), 1, content.size(), f) == content.size();
  ok = std::fflush(f) == 0 && ok;
  ok = std::fclose(f) == 0 && ok;
  if (!ok || std::rename(tmp.c_str(), path.c_str()) != 0) {
    *error = "cannot write " + path + ": " + std::strerror(errno);
    std::remove(tmp.c_str());
    return false;
  }
  return true;
}

using qeltools::Json;
using qeltools::jsonBytes;

std::string Dump(const Json& v) { return qeltools::dumpJson(v, 1) + "\n"; }

// A registry entry's id and texts; anything missing or of another type
// reads as 0 or "".
int UnitOf(const Json& u) {
  const auto it = u.find("unit");
  return it != u.end() && it->is_number_integer() ? it->get<int>() : 0;
}
std::string TextOf(const Json& u, const char* key) {
  const auto it = u.find(key);
  return it == u.end() ? std::string() : qeltools::bytesOf(*it);
}

}  // namespace

std::uint64_t Fnv1a64(const std::string& bytes, std::uint64_t seed) {
  std::uint64_t h = seed;
  for (unsigned char c : bytes) {
    h ^= c;
    h *= 1099511628211ULL;
  }
  return h;
}

std::string HashText(std::uint64_t hash) {
  char out[32];
  std::snprintf(out, sizeof out, "fnv1a64:%016" PRIx64, hash);
  return out;
}

std::string FileHash(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return "";
  std::uint64_t h = Fnv1a64("");
  std::string buf(65536, '\0');
  while (in) {
    in.read(&buf[0], static_cast<std::streamsize>(buf.size()));
    h = Fnv1a64(buf.substr(0, static_cast<std::size_t>(in.gcount())), h);
  }
  return HashText(h);
}

std::uint64_t UnitIdentity(const std::string& source, const std::string& options,
                           const std::string& text) {
  std::uint64_t h = Fnv1a64("qelcc unit identity 1");
  for (const std::string* part : {&source, &options, &text}) {
    h = Fnv1a64(std::to_string(part->size()) + ":", h);
    h = Fnv1a64(*part, h);
  }
  return h;
}

bool PrepareMapDir(const std::string& dir, std::string* error) {
  if (!MakeDirs(dir)) {
    *error = "cannot create the map directory " + dir + ": " + std::strerror(errno);
    return false;
  }
  if (access(dir.c_str(), W_OK | X_OK) != 0) {
    *error = "the map directory " + dir + " is not writable: " + std::strerror(errno);
    return false;
  }
  return true;
}

namespace {

// The registry `units.json`, read and written under the exclusive lock of
// `units.lock` (released when the object goes).
class Registry {
 public:
  explicit Registry(const std::string& dir) : dir_(dir) {}
  ~Registry() {
    if (fd_ >= 0) close(fd_);
  }
  Registry(const Registry&) = delete;
  Registry& operator=(const Registry&) = delete;

  bool Open(std::string* error) {
    const std::string lock_path = dir_ + "/units.lock";
    fd_ = open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd_ < 0) {
      *error = "cannot open " + lock_path + ": " + std::strerror(errno);
      return false;
    }
    while (flock(fd_, LOCK_EX) != 0) {
      if (errno != EINTR) {
        *error = "cannot lock " + lock_path + ": " + std::strerror(errno);
        return false;
      }
    }
    // The registry carries paths byte for byte (qeltools/json_io.hpp).
    std::ifstream in(Path(), std::ios::binary);
    if (in) {
      std::ostringstream text;
      text << in.rdbuf();
      std::string errs;
      if (!qeltools::parseJson(text.str(), &reg_, &errs, qeltools::ByteEscapes::AreBytes) ||
          !reg_.is_object()) {
        *error = Path() + " is not a unit registry (" + errs + "); remove the map directory";
        return false;
      }
    }
    if (!reg_["units"].is_array()) reg_["units"] = Json::array();
    return true;
  }

  Json& units() { return reg_["units"]; }

  // The entry with this id, or null.
  const Json* ById(int unit) {
    for (const Json& u : units()) {
      if (UnitOf(u) == unit) return &u;
    }
    return nullptr;
  }
  // The id of (source, output), 0 if none; the latest entry wins.
  int ByKey(const std::string& source, const std::string& output) {
    int id = 0;
    for (const Json& u : units()) {
      if (TextOf(u, "source") == source && TextOf(u, "object") == output) id = UnitOf(u);
    }
    return id;
  }
  void Add(int unit, const std::string& source, const std::string& output) {
    Json u = Json::object();
    u["unit"] = unit;
    u["source"] = jsonBytes(source);
    u["object"] = jsonBytes(output);
    units().push_back(std::move(u));
  }
  // Drops every entry of (source, output) but `keep`; returns their ids.
  std::vector<int> DropOthers(const std::string& source, const std::string& output, int keep) {
    std::vector<int> dropped;
    Json kept = Json::array();
    for (const Json& u : units()) {
      const int id = UnitOf(u);
      if (id != keep && TextOf(u, "source") == source && TextOf(u, "object") == output) {
        dropped.push_back(id);
      } else {
        kept.push_back(u);
      }
    }
    units() = std::move(kept);
    return dropped;
  }
  bool Save(std::string* error) {
    reg_["format"] = "qelunits";
    reg_["version"] = 1;
    return WriteAtomically(Path(), Dump(reg_), error);
  }

 private:
  std::string Path() const { return dir_ + "/units.json"; }
  std::string dir_;
  int fd_ = -1;
  Json reg_ = Json::object();
};

std::string MapPath(const std::string& dir, int unit) {
  return dir + "/" + std::to_string(unit) + ".qelmap.json";
}

}  // namespace

int UnitId(const std::string& dir, const std::string& source, const std::string& output,
           std::string* error) {
  Registry reg(dir);
  if (!reg.Open(error)) return 0;
  if (int id = reg.ByKey(source, output)) return id;
  std::vector<bool> taken(kMaxUnit + 1, false);
  for (const Json& u : reg.units()) {
    const int id = UnitOf(u);
    if (id >= 1 && id <= kMaxUnit) taken[static_cast<std::size_t>(id)] = true;
  }
  const int first = 1 + static_cast<int>(Fnv1a64(source + '\0' + output) % kMaxUnit);
  int id = 0;
  for (int k = 0; k < kMaxUnit && id == 0; ++k) {
    const int candidate = 1 + (first - 1 + k) % kMaxUnit;
    if (!taken[static_cast<std::size_t>(candidate)]) id = candidate;
  }
  if (id == 0) {
    *error = "the map directory " + dir + " already holds " + std::to_string(kMaxUnit) +
             " units (the limit of 15-bit unit ids); use another QELCC_MAP_DIR";
    return 0;
  }
  reg.Add(id, source, output);
  return reg.Save(error) ? id : 0;
}

bool WriteMapFile(const std::string& dir, int unit, const std::string& document,
                  std::string* error) {
  return WriteAtomically(MapPath(dir, unit), document, error);
}

bool HoldsMap(const std::string& dir, int unit, const std::string& document) {
  std::ifstream in(MapPath(dir, unit), std::ios::binary);
  if (!in) return false;
  std::ostringstream have;
  have << in.rdbuf();
  return have.str() == document;
}

Adopt AdoptMap(const std::string& dir, int unit, const std::string& source,
               const std::string& object, const std::string& document, std::string* owner,
               std::string* error) {
  Registry reg(dir);
  if (!reg.Open(error)) return Adopt::kConflict;
  if (const Json* u = reg.ById(unit)) {
    if (TextOf(*u, "source") != source || TextOf(*u, "object") != object) {
      *owner = TextOf(*u, "source") + " (built into " + TextOf(*u, "object") + ")";
      return Adopt::kConflict;
    }
  } else {
    reg.Add(unit, source, object);
  }
  // The key's unit is now this one: an older id of the same source and
  // object describes nothing that is built any more.
  for (int old : reg.DropOthers(source, object, unit)) std::remove(MapPath(dir, old).c_str());
  if (!reg.Save(error) || !WriteMapFile(dir, unit, document, error)) return Adopt::kConflict;
  return Adopt::kWritten;
}

std::string MapDocument(const UnitMap& map) {
  Json doc = Json::object();
  doc["format"] = "qelmap";
  doc["version"] = 1;
  doc["unit"] = map.unit;
  doc["group"] = map.group;
  doc["source"] = jsonBytes(map.source);
  doc["object"] = jsonBytes(map.object);
  doc["hash"] = FileHash(map.source);
  doc["identity"] = HashText(map.identity);
  doc["instrumented"] = map.instrumented;
  if (!map.instrumented) doc["reason"] = jsonBytes(map.reason);
  Json files = Json::array();
  for (size_t i = 0; i < map.files.size(); ++i) {
    Json f = Json::object();
    f["id"] = static_cast<int>(i);
    f["path"] = jsonBytes(map.files[i]);
    f["hash"] = FileHash(map.files[i]);
    files.push_back(std::move(f));
  }
  doc["files"] = std::move(files);
  Json fns = Json::array();
  for (const MapFunction& fn : map.functions) {
    Json f = Json::object();
    f["name"] = jsonBytes(fn.name);
    f["file"] = fn.file;
    f["line"] = fn.line;
    f["column"] = fn.column;
    f["end_line"] = fn.end_line;
    f["entry_node"] = fn.entry_node;
    fns.push_back(std::move(f));
  }
  doc["functions"] = std::move(fns);
  Json nodes = Json::array();
  for (const MapNode& n : map.nodes) {
    Json j = Json::object();
    j["id"] = n.id;
    j["file"] = n.file;
    j["line"] = n.line;
    j["column"] = n.column;
    j["function"] = jsonBytes(n.function);
    j["lines"] = n.lines;
    j["kind"] = n.kind;
    nodes.push_back(std::move(j));
  }
  doc["nodes"] = std::move(nodes);
  Json decs = Json::array();
  for (const MapDecision& d : map.decisions) {
    Json j = Json::object();
    j["id"] = d.id;
    j["cond_id"] = d.cond_id;
    j["file"] = d.file;
    j["function"] = jsonBytes(d.function);
    j["kind"] = d.kind;
    j["line"] = d.line;
    j["column"] = d.column;
    j["end_line"] = d.end_line;
    j["end_column"] = d.end_column;
    j["text"] = jsonBytes(d.text);
    j["mcdc"] = d.mcdc;
    if (!d.form.empty()) j["form"] = d.form;
    Json conds = Json::array();
    for (const MapCondition& c : d.conditions) {
      Json k = Json::object();
      k["id"] = c.id;
      k["index"] = c.index;
      k["text"] = jsonBytes(c.text);
      k["line"] = c.line;
      k["column"] = c.column;
      k["end_line"] = c.end_line;
      k["end_column"] = c.end_column;
      conds.push_back(std::move(k));
    }
    j["conditions"] = std::move(conds);
    decs.push_back(std::move(j));
  }
  doc["decisions"] = std::move(decs);
  return Dump(doc);
}

}  // namespace qelcc
