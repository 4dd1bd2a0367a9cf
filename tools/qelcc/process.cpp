#include "process.h"

#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "qeltools/process.hpp"

namespace qelcc {

namespace {

std::vector<char*> Argv(const std::vector<std::string>& argv) {
  std::vector<char*> a;
  for (const std::string& s : argv) a.push_back(const_cast<char*>(s.c_str()));
  a.push_back(nullptr);
  return a;
}

}  // namespace

int Run(const std::vector<std::string>& argv, const std::string& err_file,
        const std::string& out_file) {
  qeltools::StartOptions options;
  options.errorFile = err_file;
  options.outputFile = out_file;
  std::string why;
  const int status = qeltools::runToEnd(argv, options, &why);
  if (!why.empty()) {
    // Where the program's own errors would have gone: the caller shows
    // them, or not, as it would have shown those.
    std::FILE* to = err_file.empty() ? nullptr : std::fopen(err_file.c_str(), "w");
    std::fprintf(to ? to : stderr, "qelcc: error: cannot run %s: %s\n", argv[0].c_str(),
                 why.c_str());
    if (to) std::fclose(to);
  }
  return status;
}

void Exec(const std::vector<std::string>& argv) {
  std::vector<char*> a = Argv(argv);
  execvp(a[0], a.data());
  std::fprintf(stderr, "qelcc: error: cannot run %s: %s\n", a[0], std::strerror(errno));
  std::exit(127);
}

std::string ReadFile(const std::string& path, bool* ok) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  *ok = static_cast<bool>(in) || in.eof();
  return s.str();
}

bool WriteFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
  return static_cast<bool>(out);
}

void CopyToStderr(const std::string& path) {
  bool ok = false;
  std::string text = ReadFile(path, &ok);
  if (ok && !text.empty()) std::fwrite(text.data(), 1, text.size(), stderr);
}

bool Exists(const std::string& p) {
  struct stat st;
  return stat(p.c_str(), &st) == 0;
}

std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v ? v : "";
}

std::string Cwd() {
  char buf[PATH_MAX];
  return getcwd(buf, sizeof buf) ? buf : ".";
}

std::string SelfDir() {
  char buf[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return "";
  buf[n] = 0;
  std::string p = buf;
  return p.substr(0, p.rfind('/'));
}

std::string ResolveCommand(const std::string& command) {
  if (command.empty()) return "";
  std::string found;
  if (command.find('/') != std::string::npos) {
    found = command;
  } else {
    std::string path = Env("PATH");
    if (path.empty()) path = "/usr/local/bin:/usr/bin:/bin";
    std::istringstream in(path);
    std::string dir;
    while (std::getline(in, dir, ':')) {
      std::string candidate = (dir.empty() ? "." : dir) + "/" + command;
      if (access(candidate.c_str(), X_OK) == 0) {
        found = candidate;
        break;
      }
    }
  }
  if (found.empty()) return "";
  char real[PATH_MAX];
  return realpath(found.c_str(), real) ? std::string(real) : "";
}

bool StartsWith(const std::string& s, const std::string& prefix) {
  return s.compare(0, prefix.size(), prefix) == 0;
}

bool EndsWith(const std::string& s, const std::string& suffix) {
  return s.size() >= suffix.size() &&
         s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

std::string Stem(const std::string& path) {
  size_t s = path.rfind('/');
  std::string b = s == std::string::npos ? path : path.substr(s + 1);
  size_t d = b.rfind('.');
  return d == std::string::npos || d == 0 ? b : b.substr(0, d);
}

TempDir::TempDir() {
  std::string base = Env("TMPDIR");
  if (base.empty()) base = "/tmp";
  std::string tmpl = base + "/qelcc.XXXXXX";
  std::vector<char> buf(tmpl.begin(), tmpl.end());
  buf.push_back(0);
  if (mkdtemp(buf.data())) path_ = buf.data();
}

TempDir::~TempDir() {
  if (path_.empty()) return;
  if (keep_) {
    std::fprintf(stderr, "qelcc: kept %s\n", path_.c_str());
    return;
  }
  for (const std::string& f : files_) std::remove(f.c_str());
  for (auto d = dirs_.rbegin(); d != dirs_.rend(); ++d) rmdir(d->c_str());
  rmdir(path_.c_str());
}

std::string TempDir::File(const std::string& name, const std::string& sub) {
  std::string dir = path_;
  if (!sub.empty()) {
    dir += "/" + sub;
    if (mkdir(dir.c_str(), 0700) == 0) dirs_.push_back(dir);
  }
  files_.push_back(dir + "/" + name);
  return files_.back();
}

}  // namespace qelcc
