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
#include <string_view>
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

namespace {

// The map document written directly, in the layout the JSON library gives
// with an indent of one (keys in this order): a unit's map is written on
// every compile and the library's tree of it cost more than the rest of
// the map's work. Strings that need no escape go out as they are; any
// other goes through the library, so escapes and bytes that are not UTF-8
// read exactly as everywhere else.
class MapWriter {
 public:
  explicit MapWriter(std::string* out) : out_(*out) {}

  void Open(char bracket) {
    out_ += bracket;
    ++depth_;
    first_ = true;
  }
  void Close(char bracket) {
    --depth_;
    if (!first_) Newline();  // an empty one closes on its own line: {} and []
    out_ += bracket;
    first_ = false;
  }
  // Starts a member of an object; Element() starts one of an array.
  void Key(const char* key) {
    Element();
    String(key);
    out_ += ": ";
  }
  void Element() {
    if (!first_) out_ += ',';
    Newline();
    first_ = false;
  }
  void String(std::string_view s) {
    for (unsigned char c : s) {
      if (c < 0x20 || c > 0x7E || c == '"' || c == '\\') {
        out_ += qeltools::jsonStringLiteral(s);
        return;
      }
    }
    out_ += '"';
    out_.append(s.data(), s.size());
    out_ += '"';
  }
  void Number(long long v) { out_ += std::to_string(v); }
  void Bool(bool v) { out_ += v ? "true" : "false"; }

  void Member(const char* key, std::string_view v) {
    Key(key);
    String(v);
  }
  void Member(const char* key, long long v) {
    Key(key);
    Number(v);
  }
  void MemberBool(const char* key, bool v) {
    Key(key);
    Bool(v);
  }

 private:
  void Newline() {
    out_ += '\n';
    out_.append(static_cast<std::size_t>(depth_), ' ');
  }
  std::string& out_;
  int depth_ = 0;
  bool first_ = true;
};

}  // namespace

std::string MapDocument(const UnitMap& map) {
  std::string out;
  out.reserve(256 + 160 * map.nodes.size() + 400 * map.decisions.size());
  MapWriter w(&out);
  w.Open('{');
  w.Member("format", "qelmap");
  w.Member("version", 1);
  w.Member("unit", map.unit);
  w.Member("group", map.group);
  w.Member("source", map.source);
  w.Member("object", map.object);
  w.Member("hash", FileHash(map.source));
  w.Member("identity", HashText(map.identity));
  w.MemberBool("instrumented", map.instrumented);
  if (!map.instrumented) w.Member("reason", map.reason);
  w.Key("files");
  w.Open('[');
  for (size_t i = 0; i < map.files.size(); ++i) {
    w.Element();
    w.Open('{');
    w.Member("id", static_cast<long long>(i));
    w.Member("path", map.files[i]);
    w.Member("hash", FileHash(map.files[i]));
    w.Close('}');
  }
  w.Close(']');
  w.Key("functions");
  w.Open('[');
  for (const MapFunction& fn : map.functions) {
    w.Element();
    w.Open('{');
    w.Member("name", fn.name);
    w.Member("file", fn.file);
    w.Member("line", fn.line);
    w.Member("column", fn.column);
    w.Member("end_line", fn.end_line);
    w.Member("entry_node", fn.entry_node);
    w.Close('}');
  }
  w.Close(']');
  w.Key("nodes");
  w.Open('[');
  for (const MapNode& n : map.nodes) {
    w.Element();
    w.Open('{');
    w.Member("id", n.id);
    w.Member("file", n.file);
    w.Member("line", n.line);
    w.Member("column", n.column);
    w.Member("function", n.function);
    w.Key("lines");
    w.Open('[');
    for (unsigned l : n.lines) {
      w.Element();
      w.Number(l);
    }
    w.Close(']');
    w.Member("kind", n.kind);
    w.Close('}');
  }
  w.Close(']');
  w.Key("decisions");
  w.Open('[');
  for (const MapDecision& d : map.decisions) {
    w.Element();
    w.Open('{');
    w.Member("id", d.id);
    w.Member("cond_id", d.cond_id);
    w.Member("file", d.file);
    w.Member("function", d.function);
    w.Member("kind", d.kind);
    w.Member("line", d.line);
    w.Member("column", d.column);
    w.Member("end_line", d.end_line);
    w.Member("end_column", d.end_column);
    w.Member("text", d.text);
    w.MemberBool("mcdc", d.mcdc);
    if (!d.form.empty()) w.Member("form", d.form);
    w.Key("conditions");
    w.Open('[');
    for (const MapCondition& c : d.conditions) {
      w.Element();
      w.Open('{');
      w.Member("id", c.id);
      w.Member("index", c.index);
      w.Member("text", c.text);
      w.Member("line", c.line);
      w.Member("column", c.column);
      w.Member("end_line", c.end_line);
      w.Member("end_column", c.end_column);
      w.Close('}');
    }
    w.Close(']');
    w.Close('}');
  }
  w.Close(']');
  w.Close('}');
  out += '\n';
  return out;
}

}  // namespace qelcc
