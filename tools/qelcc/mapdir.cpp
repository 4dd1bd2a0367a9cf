#include "mapdir.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

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

std::string FileHash(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return "";
  uint64_t h = 14695981039346656037ULL;
  char buf[65536];
  while (in) {
    in.read(buf, sizeof buf);
    std::streamsize n = in.gcount();
    for (std::streamsize i = 0; i < n; ++i) {
      h ^= static_cast<unsigned char>(buf[i]);
      h *= 1099511628211ULL;
    }
  }
  char out[32];
  std::snprintf(out, sizeof out, "fnv1a64:%016llx", static_cast<unsigned long long>(h));
  return out;
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

int UnitId(const std::string& dir, const std::string& source, const std::string& object,
           std::string* error) {
  std::string lock_path = dir + "/units.lock";
  int fd = open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) {
    *error = "cannot open " + lock_path + ": " + std::strerror(errno);
    return 0;
  }
  while (flock(fd, LOCK_EX) != 0) {
    if (errno != EINTR) {
      *error = "cannot lock " + lock_path + ": " + std::strerror(errno);
      close(fd);
      return 0;
    }
  }
  std::string reg_path = dir + "/units.json";
  Json::Value reg(Json::objectValue);
  {
    std::ifstream in(reg_path, std::ios::binary);
    if (in) {
      Json::CharReaderBuilder b;
      std::string errs;
      if (!Json::parseFromStream(b, in, &reg, &errs) || !reg.isObject()) {
        *error = reg_path + " is not a unit registry (" + errs + "); remove the map directory";
        close(fd);
        return 0;
      }
    }
  }
  std::string key = source + "\n" + object;
  Json::Value& units = reg["units"];
  int id = 0;
  int max = 0;
  if (units.isArray()) {
    for (const Json::Value& u : units) {
      int uid = u.get("unit", 0).asInt();
      if (uid > max) max = uid;
      if (u.get("source", "").asString() == source && u.get("object", "").asString() == object) {
        id = uid;
      }
    }
  } else {
    units = Json::Value(Json::arrayValue);
  }
  if (id == 0) {
    id = max + 1;
    if (id > kMaxUnit) {
      *error = "the map directory " + dir + " already holds " + std::to_string(kMaxUnit) +
               " units (the limit of 15-bit unit ids); use another QELCC_MAP_DIR";
      close(fd);
      return 0;
    }
    Json::Value u(Json::objectValue);
    u["unit"] = id;
    u["source"] = source;
    u["object"] = object;
    units.append(u);
    reg["format"] = "qelunits";
    reg["version"] = 1;
    if (!WriteAtomically(reg_path, Dump(reg), error)) id = 0;
  }
  (void)key;
  close(fd);  // releases the lock
  return id;
}

bool WriteMap(const std::string& dir, const UnitMap& map, const std::string& source,
              const std::string& object, std::string* error) {
  Json::Value doc(Json::objectValue);
  doc["format"] = "qelmap";
  doc["version"] = 1;
  doc["unit"] = map.unit;
  doc["group"] = map.group;
  doc["source"] = source;
  doc["object"] = object;
  doc["hash"] = FileHash(source);
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
  return WriteAtomically(dir + "/" + std::to_string(map.unit) + ".qelmap.json", Dump(doc), error);
}

void RemoveMap(const std::string& dir, int unit) {
  std::remove((dir + "/" + std::to_string(unit) + ".qelmap.json").c_str());
}

}  // namespace qelcc
