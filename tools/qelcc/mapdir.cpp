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

#include <json/json.h>

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

std::string Dump(const Json::Value& v) {
  Json::StreamWriterBuilder b;
  b["indentation"] = " ";
  return Json::writeString(b, v) + "\n";
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
    std::ifstream in(Path(), std::ios::binary);
    if (in) {
      Json::CharReaderBuilder b;
      std::string errs;
      if (!Json::parseFromStream(b, in, &reg_, &errs) || !reg_.isObject()) {
        *error = Path() + " is not a unit registry (" + errs + "); remove the map directory";
        return false;
      }
    }
    if (!reg_["units"].isArray()) reg_["units"] = Json::Value(Json::arrayValue);
    return true;
  }

  Json::Value& units() { return reg_["units"]; }

  // The entry with this id, or null.
  const Json::Value* ById(int unit) {
    for (const Json::Value& u : units()) {
      if (u.get("unit", 0).asInt() == unit) return &u;
    }
    return nullptr;
  }
  // The id of (source, output), 0 if none; the latest entry wins.
  int ByKey(const std::string& source, const std::string& output) {
    int id = 0;
    for (const Json::Value& u : units()) {
      if (u.get("source", "").asString() == source && u.get("object", "").asString() == output) {
        id = u.get("unit", 0).asInt();
      }
    }
    return id;
  }
  void Add(int unit, const std::string& source, const std::string& output) {
    Json::Value u(Json::objectValue);
    u["unit"] = unit;
    u["source"] = source;
    u["object"] = output;
    units().append(u);
  }
  // Drops every entry of (source, output) but `keep`; returns their ids.
  std::vector<int> DropOthers(const std::string& source, const std::string& output, int keep) {
    std::vector<int> dropped;
    Json::Value kept(Json::arrayValue);
    for (const Json::Value& u : units()) {
      const int id = u.get("unit", 0).asInt();
      if (id != keep && u.get("source", "").asString() == source &&
          u.get("object", "").asString() == output) {
        dropped.push_back(id);
      } else {
        kept.append(u);
      }
    }
    units() = kept;
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
  Json::Value reg_{Json::objectValue};
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
  for (const Json::Value& u : reg.units()) {
    const int id = u.get("unit", 0).asInt();
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
  if (const Json::Value* u = reg.ById(unit)) {
    if (u->get("source", "").asString() != source || u->get("object", "").asString() != object) {
      *owner =
          u->get("source", "").asString() + " (built into " + u->get("object", "").asString() + ")";
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
  Json::Value doc(Json::objectValue);
  doc["format"] = "qelmap";
  doc["version"] = 1;
  doc["unit"] = map.unit;
  doc["group"] = map.group;
  doc["source"] = map.source;
  doc["object"] = map.object;
  doc["hash"] = FileHash(map.source);
  doc["identity"] = HashText(map.identity);
  doc["instrumented"] = map.instrumented;
  if (!map.instrumented) doc["reason"] = map.reason;
  Json::Value& files = doc["files"] = Json::Value(Json::arrayValue);
  for (size_t i = 0; i < map.files.size(); ++i) {
    Json::Value f(Json::objectValue);
    f["id"] = static_cast<int>(i);
    f["path"] = map.files[i];
    f["hash"] = FileHash(map.files[i]);
    files.append(f);
  }
  Json::Value& fns = doc["functions"] = Json::Value(Json::arrayValue);
  for (const MapFunction& fn : map.functions) {
    Json::Value f(Json::objectValue);
    f["name"] = fn.name;
    f["file"] = fn.file;
    f["line"] = fn.line;
    f["column"] = fn.column;
    f["end_line"] = fn.end_line;
    f["entry_node"] = fn.entry_node;
    fns.append(f);
  }
  Json::Value& nodes = doc["nodes"] = Json::Value(Json::arrayValue);
  for (const MapNode& n : map.nodes) {
    Json::Value j(Json::objectValue);
    j["id"] = n.id;
    j["file"] = n.file;
    j["line"] = n.line;
    j["column"] = n.column;
    j["function"] = n.function;
    Json::Value& lines = j["lines"] = Json::Value(Json::arrayValue);
    for (unsigned l : n.lines) lines.append(l);
    j["kind"] = n.kind;
    nodes.append(j);
  }
  Json::Value& decs = doc["decisions"] = Json::Value(Json::arrayValue);
  for (const MapDecision& d : map.decisions) {
    Json::Value j(Json::objectValue);
    j["id"] = d.id;
    j["cond_id"] = d.cond_id;
    j["file"] = d.file;
    j["function"] = d.function;
    j["kind"] = d.kind;
    j["line"] = d.line;
    j["column"] = d.column;
    j["end_line"] = d.end_line;
    j["end_column"] = d.end_column;
    j["text"] = d.text;
    j["mcdc"] = d.mcdc;
    Json::Value& conds = j["conditions"] = Json::Value(Json::arrayValue);
    for (const MapCondition& c : d.conditions) {
      Json::Value k(Json::objectValue);
      k["id"] = c.id;
      k["index"] = c.index;
      k["text"] = c.text;
      k["line"] = c.line;
      k["column"] = c.column;
      k["end_line"] = c.end_line;
      k["end_column"] = c.end_column;
      conds.append(k);
    }
    decs.append(j);
  }
  return Dump(doc);
}

}  // namespace qelcc
