#include "probe_cache.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "mapdir.h"
#include "process.h"

namespace qelcc {

namespace {

const char kMagic[] = "qelcc probe 1\n";

// Length-prefixed, so no two different parts run together.
void Part(std::string* out, const std::string& s) {
  *out += std::to_string(s.size()) + ":" + s + "\n";
}

// Reads a length-prefixed part at *at; false when the text is not one.
bool ReadPart(const std::string& text, size_t* at, std::string* out) {
  size_t colon = text.find(':', *at);
  if (colon == std::string::npos || colon == *at || colon - *at > 12) return false;
  size_t n = 0;
  for (size_t i = *at; i < colon; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    n = n * 10 + static_cast<size_t>(text[i] - '0');
  }
  if (n > text.size() || colon + 1 + n >= text.size() || text[colon + 1 + n] != '\n') return false;
  *out = text.substr(colon + 1, n);
  *at = colon + 2 + n;
  return true;
}

std::string FileIdentity(const struct stat& st) {
  return "size=" + std::to_string(st.st_size) + " mtime=" + std::to_string(st.st_mtim.tv_sec) +
         "." + std::to_string(st.st_mtim.tv_nsec) + " ctime=" + std::to_string(st.st_ctim.tv_sec) +
         "." + std::to_string(st.st_ctim.tv_nsec);
}

// The file a configuration or specs flag names, "" for any other flag;
// `next` is the flag after it (the value of the separate forms).
std::string NamedFile(const std::string& flag, const std::string* next) {
  for (const char* joined : {"--config=", "-specs=", "--specs="}) {
    if (StartsWith(flag, joined)) return flag.substr(std::strlen(joined));
  }
  if (next && (flag == "--config" || flag == "-specs" || flag == "--specs")) return *next;
  return "";
}

}  // namespace

bool AddProbeInputs(const std::string& compiler, const std::vector<std::string>& target_flags,
                    std::vector<std::string>* question) {
  for (size_t i = 0; i < target_flags.size(); ++i) {
    const std::string* next = i + 1 < target_flags.size() ? &target_flags[i + 1] : nullptr;
    const std::string file = NamedFile(target_flags[i], next);
    if (file.empty()) continue;
    bool ok = false;
    const std::string text = ReadFile(file, &ok);
    // A clang configuration file includes others with @FILE, a specs file
    // with %include: those are not followed, so such an answer is not kept.
    if (!ok || text.find('@') != std::string::npos || text.find("%include") != std::string::npos)
      return false;
    question->push_back("file " + file + " " + HashText(Fnv1a64(text)));
  }
  // clang (16 and later) reads <triple>-<driver>.cfg, <driver>.cfg and the
  // like from the folder of its real executable unless told not to.
  question->push_back(std::string("CLANG_NO_DEFAULT_CONFIG=") + Env("CLANG_NO_DEFAULT_CONFIG"));
  const std::string real = ResolveCommand(compiler);
  const std::string dir = real.substr(0, real.rfind('/') + 1);
  if (dir.empty()) return true;
  std::vector<std::string> configs;
  if (DIR* d = opendir(dir.c_str())) {
    while (const dirent* e = readdir(d)) {
      const std::string name = e->d_name;
      struct stat st;
      if (EndsWith(name, ".cfg") && stat((dir + name).c_str(), &st) == 0)
        configs.push_back("config " + dir + name + " " + FileIdentity(st));
    }
    closedir(d);
  }
  std::sort(configs.begin(), configs.end());
  question->insert(question->end(), configs.begin(), configs.end());
  return true;
}

std::string CompilerIdentity(const std::string& compiler) {
  std::string real = ResolveCommand(compiler);
  struct stat st;
  if (real.empty() || stat(real.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return "";
  // The change time too: a file put back with its old modification time
  // (cp -p, an archive) still gets a new one.
  return real + " " + FileIdentity(st);
}

std::string ProbeKey(const std::string& identity, const std::vector<std::string>& flags) {
  std::string key;
  Part(&key, identity);
  for (const std::string& f : flags) Part(&key, f);
  return key;
}

std::string ProbeCache::PathOf(const std::string& key) const {
  // HashText gives "fnv1a64:<hex>".
  std::string hash = HashText(Fnv1a64(key));
  return dir_ + "/" + hash.substr(hash.find(':') + 1) + ".probe";
}

bool ProbeCache::Find(const std::string& key, std::string* answer) const {
  bool ok = false;
  const std::string text = ReadFile(PathOf(key), &ok);
  const size_t magic = sizeof kMagic - 1;
  if (!ok || text.compare(0, magic, kMagic) != 0) return false;
  size_t at = magic;
  std::string stored_key, stored_answer, sum;
  if (!ReadPart(text, &at, &stored_key) || !ReadPart(text, &at, &stored_answer) ||
      !ReadPart(text, &at, &sum) || at != text.size())
    return false;
  if (stored_key != key || sum != HashText(Fnv1a64(stored_answer))) return false;
  *answer = stored_answer;
  return true;
}

bool ProbeCache::Store(const std::string& key, const std::string& answer) const {
  if (mkdir(dir_.c_str(), 0777) != 0 && errno != EEXIST) return false;
  std::string text = kMagic;
  Part(&text, key);
  Part(&text, answer);
  Part(&text, HashText(Fnv1a64(answer)));
  const std::string path = PathOf(key);
  std::string tmp = path + ".XXXXXX";
  int fd = mkstemp(&tmp[0]);
  if (fd < 0) return false;
  bool written = true;
  for (size_t done = 0; written && done < text.size();) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    written = n > 0;
    if (written) done += static_cast<size_t>(n);
  }
  // Readable as the map directory's other files are (mkstemp makes it
  // private).
  const mode_t mask = umask(0);
  umask(mask);
  written = fchmod(fd, 0666 & ~mask) == 0 && written;
  written = close(fd) == 0 && written;
  if (!written || std::rename(tmp.c_str(), path.c_str()) != 0) {
    std::remove(tmp.c_str());
    return false;
  }
  return true;
}

}  // namespace qelcc
