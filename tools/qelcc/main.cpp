// qelcc: compiler launcher that instruments C sources with the probes of
// QELMQLib and writes a source map per translation unit.
//
//   qelcc [qelcc options] COMPILER ARGS...
//
// Per C source of a compile: preprocess with the user's compiler and flags
// (dependency files come from this run, with the original target and file
// names), parse the .i with libclang, insert the probes, compile the result
// with the user's compiler and flags as preprocessed C (-x cpp-output), and
// write the map. Link steps get the runtime. Everything else runs the
// compiler untouched.
#include <limits.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "instrument.h"
#include "mapdir.h"

namespace {

const char* const kUsage =
    "usage: qelcc [options] COMPILER [compiler arguments...]\n"
    "\n"
    "Compiles C sources instrumented with the QELMQLib probes (statement nodes,\n"
    "decisions and conditions) and writes one source map per translation unit.\n"
    "Use it as a compiler launcher:\n"
    "  make CC=\"qelcc gcc\"\n"
    "  cmake -DCMAKE_C_COMPILER_LAUNCHER=qelcc -DCMAKE_C_LINKER_LAUNCHER=qelcc ...\n"
    "\n"
    "Options (before COMPILER; each has an environment variable):\n"
    "  --map-dir=DIR    map directory (QELCC_MAP_DIR; default: ./qelmap)\n"
    "  --scope=P1:P2    instrument only sources under these path prefixes\n"
    "                   (QELCC_SCOPE; default: everything outside system headers)\n"
    "  --group=N        group id passed to QelExp (QELCC_GROUP; default 1)\n"
    "  --strict         fail instead of compiling uninstrumented when\n"
    "                   instrumentation is impossible (QELCC_STRICT=1)\n"
    "  --keep           keep the preprocessed and instrumented texts (QELCC_KEEP=1)\n"
    "  --off            run the compiler untouched, runtime included (QELCC_OFF=1)\n"
    "  --values         also send the scalar parameters of every call through\n"
    "                   QelPrint (QELCC_VALUES=1)\n"
    "  --memory         route direct calls of malloc, calloc, realloc and free\n"
    "                   through the runtime's leak tracking (QELCC_MEMORY=1); every\n"
    "                   block must then be freed by instrumented code\n"
    "  --help, --version\n"
    "QELCC_RUNTIME_DIR names the directory of libQELMQLib.so for link steps.\n"
    "\n"
    "Exit status: the compiler's own; 1 for qelcc's errors (message on stderr).\n";

struct Options {
  std::string map_dir;
  std::vector<std::string> scope;
  int group = 1;
  bool strict = false;
  bool keep = false;
  bool off = false;
  bool values = false;
  bool memory = false;
};

std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v ? v : "";
}

bool EndsWith(const std::string& s, const std::string& suffix) {
  return s.size() >= suffix.size() &&
         s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

bool StartsWith(const std::string& s, const std::string& prefix) {
  return s.compare(0, prefix.size(), prefix) == 0;
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

bool Exists(const std::string& p) {
  struct stat st;
  return stat(p.c_str(), &st) == 0;
}

// Runs argv; with `err_file`, its stderr goes there. Returns the exit status
// (128+signal when killed, 127 when it cannot start).
int Run(const std::vector<std::string>& argv, const std::string& err_file = "") {
  std::vector<char*> a;
  for (const std::string& s : argv) a.push_back(const_cast<char*>(s.c_str()));
  a.push_back(nullptr);
  pid_t pid = fork();
  if (pid < 0) return 127;
  if (pid == 0) {
    if (!err_file.empty()) {
      FILE* f = std::freopen(err_file.c_str(), "w", stderr);
      (void)f;
    }
    execvp(a[0], a.data());
    std::fprintf(stderr, "qelcc: error: cannot run %s: %s\n", a[0], std::strerror(errno));
    _exit(127);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return 127;
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return 1;
}

[[noreturn]] void Exec(const std::vector<std::string>& argv) {
  std::vector<char*> a;
  for (const std::string& s : argv) a.push_back(const_cast<char*>(s.c_str()));
  a.push_back(nullptr);
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

// Options that take the next argument as their value.
bool TakesValue(const std::string& a) {
  static const char* const kWithValue[] = {"-o",
                                           "-MF",
                                           "-MT",
                                           "-MQ",
                                           "-I",
                                           "-D",
                                           "-U",
                                           "-include",
                                           "-imacros",
                                           "-isystem",
                                           "-iquote",
                                           "-idirafter",
                                           "-iprefix",
                                           "-iwithprefix",
                                           "-iwithprefixbefore",
                                           "-isysroot",
                                           "-x",
                                           "-Xlinker",
                                           "-Xpreprocessor",
                                           "-Xassembler",
                                           "-L",
                                           "-l",
                                           "-u",
                                           "-T",
                                           "-z",
                                           "-aux-info",
                                           "--param",
                                           "-e",
                                           "-specs",
                                           "-target",
                                           "--sysroot",
                                           "-arch"};
  for (const char* w : kWithValue) {
    if (a == w) return true;
  }
  return false;
}

// Flags that only the preprocessor needs (dropped when compiling the .i).
bool PreprocessorOnly(const std::string& a, bool* with_value) {
  static const char* const kSep[] = {"-D",
                                     "-U",
                                     "-I",
                                     "-include",
                                     "-imacros",
                                     "-isystem",
                                     "-iquote",
                                     "-idirafter",
                                     "-iprefix",
                                     "-iwithprefix",
                                     "-iwithprefixbefore",
                                     "-MF",
                                     "-MT",
                                     "-MQ",
                                     "-Xpreprocessor"};
  *with_value = false;
  for (const char* s : kSep) {
    if (a == s) {
      *with_value = true;
      return true;
    }
  }
  static const char* const kJoined[] = {"-D", "-U", "-I", "-MF", "-MT", "-MQ", "-Wp,"};
  for (const char* s : kJoined) {
    if (StartsWith(a, s)) return true;
  }
  return a == "-M" || a == "-MM" || a == "-MD" || a == "-MMD" || a == "-MG" || a == "-MP" ||
         a == "-nostdinc" || a == "-undef" || a == "-C" || a == "-CC" || a == "-P" ||
         a == "-trigraphs" || StartsWith(a, "-include") || StartsWith(a, "-isystem") ||
         StartsWith(a, "-iquote") || StartsWith(a, "-idirafter");
}

bool IsCSource(const std::string& a) { return EndsWith(a, ".c"); }

bool IsOtherSource(const std::string& a) {
  static const char* const kExt[] = {".cc", ".cpp", ".cxx", ".c++", ".C", ".m",   ".mm", ".S",
                                     ".s",  ".sx",  ".i",   ".ii",  ".f", ".f90", ".cu"};
  for (const char* e : kExt) {
    if (EndsWith(a, e)) return true;
  }
  return false;
}

std::string RuntimeDir() {
  std::string env = Env("QELCC_RUNTIME_DIR");
  if (!env.empty()) return env;
  std::string self = SelfDir();
  const char* const rel[] = {"/../" QELCC_INSTALL_LIBDIR, "/../lib", "/../lib64"};
  for (const char* r : rel) {
    std::string d = self + r;
    if (Exists(d + "/libQELMQLib.so")) return d;
  }
#ifdef QELCC_BUILD_RUNTIME_DIR
  if (Exists(std::string(QELCC_BUILD_RUNTIME_DIR) + "/libQELMQLib.so")) {
    return QELCC_BUILD_RUNTIME_DIR;
  }
#endif
  return "";
}

std::vector<std::string> RuntimeLinkFlags() {
  std::string dir = RuntimeDir();
  if (dir.empty()) {
    std::fprintf(stderr,
                 "qelcc: warning: libQELMQLib.so not found next to qelcc; set QELCC_RUNTIME_DIR\n");
    return {"-lQELMQLib"};
  }
  return {"-L" + dir, "-Wl,-rpath," + dir, "-lQELMQLib"};
}

class TempDir {
 public:
  TempDir() {
    std::string base = Env("TMPDIR");
    if (base.empty()) base = "/tmp";
    std::string tmpl = base + "/qelcc.XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back(0);
    if (mkdtemp(buf.data())) path_ = buf.data();
  }
  ~TempDir() {
    if (path_.empty()) return;
    if (keep_) {
      std::fprintf(stderr, "qelcc: kept %s\n", path_.c_str());
      return;
    }
    for (const std::string& f : files_) std::remove(f.c_str());
    rmdir(path_.c_str());
  }
  std::string File(const std::string& name) {
    files_.push_back(path_ + "/" + name);
    return files_.back();
  }
  bool ok() const { return !path_.empty(); }
  void Keep() { keep_ = true; }

 private:
  std::string path_;
  std::vector<std::string> files_;
  bool keep_ = false;
};

std::string Base(const std::string& path) {
  size_t s = path.rfind('/');
  std::string b = s == std::string::npos ? path : path.substr(s + 1);
  size_t d = b.rfind('.');
  return d == std::string::npos ? b : b.substr(0, d);
}

struct Command {
  std::string compiler;
  std::vector<std::string> args;  // everything after the compiler
};

class Driver {
 public:
  Driver(const Options& opt, const Command& cmd) : opt_(opt), cmd_(cmd), cwd_(Cwd()) {}
  int Main();

 private:
  int CompileOne(const std::string& source, const std::string& object, TempDir& tmp, int index);
  bool InScope(const std::string& abs) const;
  std::string MapDir() const;

  const Options& opt_;
  const Command& cmd_;
  std::string cwd_;
  std::vector<size_t> source_idx_;
  std::string output_;
};

std::string Driver::MapDir() const {
  std::string d = opt_.map_dir.empty() ? "qelmap" : opt_.map_dir;
  return qelcc::NormalPath(d, cwd_);
}

bool Driver::InScope(const std::string& abs) const {
  if (opt_.scope.empty()) return true;
  for (const std::string& p : opt_.scope) {
    if (p.empty()) continue;
    std::string n = qelcc::NormalPath(p, cwd_);
    if (abs == n || StartsWith(abs, n == "/" ? n : n + "/")) return true;
  }
  return false;
}

int Driver::Main() {
  const std::vector<std::string>& args = cmd_.args;
  std::vector<std::string> plain{cmd_.compiler};
  plain.insert(plain.end(), args.begin(), args.end());
  bool compile_only = false, link = true, passthrough = false;
  bool have_inputs = false, other_sources = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (TakesValue(a)) {
      if (a == "-o" && i + 1 < args.size()) output_ = args[i + 1];
      if (a == "-x" && i + 1 < args.size() && args[i + 1] != "c" && args[i + 1] != "none") {
        passthrough = true;
      }
      if (a == "-l" || a == "-Xlinker") have_inputs = true;
      ++i;
      continue;
    }
    if (StartsWith(a, "-o") && a.size() > 2) {
      output_ = a.substr(2);
      continue;
    }
    if (a == "-c") {
      compile_only = true;
      link = false;
    } else if (a == "-E" || a == "-S" || a == "-fsyntax-only" || a == "-M" || a == "-MM" ||
               a == "-v" || a == "--version" || a == "-dumpversion" || a == "-dumpmachine" ||
               a == "-dumpspecs" || a == "--help" || StartsWith(a, "-print-") ||
               StartsWith(a, "-save-temps") || a == "-###" || a == "-" || StartsWith(a, "-x") ||
               a == "-fdirectives-only") {
      passthrough = true;
    } else if (!a.empty() && a[0] != '-') {
      have_inputs = true;
      if (IsCSource(a)) {
        source_idx_.push_back(i);
      } else if (IsOtherSource(a)) {
        other_sources = true;
      }
    } else if (StartsWith(a, "-l")) {
      have_inputs = true;
    }
  }
  if (opt_.off || passthrough || !have_inputs || (other_sources && !source_idx_.empty()) ||
      (compile_only && source_idx_.empty())) {
    if (!passthrough && link && have_inputs && !compile_only && opt_.off) {
      std::vector<std::string> l = plain;
      for (const std::string& f : RuntimeLinkFlags()) l.push_back(f);
      Exec(l);
    }
    Exec(plain);
  }
  if (compile_only && source_idx_.size() > 1 && !output_.empty())
    Exec(plain);  // the compiler's error
  bool any_in_scope = false;
  for (size_t i : source_idx_)
    any_in_scope = any_in_scope || InScope(qelcc::NormalPath(args[i], cwd_));
  if (!any_in_scope) {
    if (compile_only) Exec(plain);
    std::vector<std::string> l = plain;
    for (const std::string& f : RuntimeLinkFlags()) l.push_back(f);
    Exec(l);
  }

  TempDir tmp;
  if (!tmp.ok()) {
    std::fprintf(stderr, "qelcc: error: cannot create a temporary directory: %s\n",
                 std::strerror(errno));
    return 1;
  }
  if (opt_.keep) tmp.Keep();

  if (source_idx_.empty()) {
    // Link only.
    std::vector<std::string> l = plain;
    for (const std::string& f : RuntimeLinkFlags()) l.push_back(f);
    Exec(l);
  }

  std::vector<std::string> objects;
  for (size_t n = 0; n < source_idx_.size(); ++n) {
    const std::string& src = args[source_idx_[n]];
    std::string obj;
    if (compile_only) {
      obj = output_.empty() ? Base(src) + ".o" : output_;
    } else {
      obj = tmp.File(Base(src) + "." + std::to_string(n) + ".o");
    }
    int rc = CompileOne(src, obj, tmp, static_cast<int>(n));
    if (rc != 0) return rc;
    objects.push_back(obj);
  }
  if (compile_only) return 0;

  // Compile and link: link the objects as the original command would.
  std::vector<std::string> l{cmd_.compiler};
  size_t next = 0;
  for (size_t i = 0; i < args.size(); ++i) {
    if (next < source_idx_.size() && source_idx_[next] == i) {
      l.push_back(objects[next++]);
      continue;
    }
    bool with_value = false;
    if (PreprocessorOnly(args[i], &with_value)) {
      if (with_value) ++i;
      continue;
    }
    l.push_back(args[i]);
  }
  for (const std::string& f : RuntimeLinkFlags()) l.push_back(f);
  return Run(l);
}

int Driver::CompileOne(const std::string& src, const std::string& obj, TempDir& tmp, int index) {
  const std::vector<std::string>& args = cmd_.args;
  std::string abs_src = qelcc::NormalPath(src, cwd_);
  std::string abs_obj = qelcc::NormalPath(obj, cwd_);
  bool scoped = InScope(abs_src);

  // Preprocess: the user's flags, this source only, -E into the temp dir.
  // -MD/-MMD write the dependency file here, named and targeted as the plain
  // compile would (-MF and -MT default to the object's).
  std::string ifile = tmp.File(Base(src) + "." + std::to_string(index) + ".i");
  std::vector<std::string> pp{cmd_.compiler};
  bool has_md = false, has_mf = false, has_mt = false;
  std::string std_flag;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "-o") {
      ++i;
      continue;
    }
    if (StartsWith(a, "-o") || a == "-c") continue;
    if (!a.empty() && a[0] != '-' && (IsCSource(a) || IsOtherSource(a)) && a != src) continue;
    if (a == "-MD" || a == "-MMD") has_md = true;
    if (a == "-MF" || StartsWith(a, "-MF")) has_mf = true;
    if (a == "-MT" || a == "-MQ" || StartsWith(a, "-MT") || StartsWith(a, "-MQ")) has_mt = true;
    if (StartsWith(a, "-std=")) std_flag = a;
    if (TakesValue(a) && i + 1 < args.size()) {
      pp.push_back(a);
      pp.push_back(args[++i]);
      continue;
    }
    pp.push_back(a);
  }
  if (has_md && !has_mf) {
    size_t dot = obj.rfind('.');
    size_t slash = obj.rfind('/');
    std::string stem = (dot != std::string::npos && (slash == std::string::npos || dot > slash))
                           ? obj.substr(0, dot)
                           : obj;
    pp.push_back("-MF");
    pp.push_back(stem + ".d");
  }
  if (has_md && !has_mt) {
    pp.push_back("-MT");
    pp.push_back(obj);
  }
  // -C keeps comments: the compiler reads fall-through comments and the map
  // aligns columns with the original lines.
  pp.push_back("-E");
  pp.push_back("-C");
  pp.push_back("-o");
  pp.push_back(ifile);

  // Compile: the user's flags without the preprocessor's, the .i as input.
  auto compile_cmd = [&](const std::string& input, bool no_warnings) {
    std::vector<std::string> cc{cmd_.compiler};
    for (size_t i = 0; i < args.size(); ++i) {
      const std::string& a = args[i];
      bool with_value = false;
      if (a == "-o") {
        ++i;
        continue;
      }
      if (StartsWith(a, "-o") || a == "-c") continue;
      if (PreprocessorOnly(a, &with_value)) {
        if (with_value) ++i;
        continue;
      }
      if (TakesValue(a) && i + 1 < args.size()) {
        cc.push_back(a);
        cc.push_back(args[++i]);
        continue;
      }
      if (!a.empty() && a[0] != '-') continue;  // sources; objects and libraries are the link's
      cc.push_back(a);
    }
    if (no_warnings) cc.push_back("-w");
    cc.push_back("-c");
    cc.push_back("-x");
    cc.push_back("cpp-output");
    cc.push_back(input);
    cc.push_back("-x");
    cc.push_back("none");
    cc.push_back("-o");
    cc.push_back(obj);
    return cc;
  };
  // The user's own compile of the original source, dependency flags aside
  // (the preprocessing run wrote that file already).
  auto original_cmd = [&](const std::string& out) {
    std::vector<std::string> cc{cmd_.compiler};
    for (size_t i = 0; i < args.size(); ++i) {
      const std::string& a = args[i];
      if (a == "-o" || a == "-MF" || a == "-MT" || a == "-MQ") {
        ++i;
        continue;
      }
      if (StartsWith(a, "-o") || a == "-c" || a == "-MD" || a == "-MMD" || a == "-MP" ||
          StartsWith(a, "-MF") || StartsWith(a, "-MT") || StartsWith(a, "-MQ") ||
          StartsWith(a, "-Wp,-M")) {
        continue;
      }
      if (TakesValue(a) && i + 1 < args.size()) {
        cc.push_back(a);
        cc.push_back(args[++i]);
        continue;
      }
      if (!a.empty() && a[0] != '-' && a != src) continue;
      cc.push_back(a);
    }
    cc.push_back("-c");
    cc.push_back("-o");
    cc.push_back(out);
    return cc;
  };

  if (!scoped) return Run(original_cmd(obj));
  int rc = Run(pp);
  if (rc != 0) return rc;  // the compiler's own diagnostics are already out

  bool ok = false;
  std::string itext = ReadFile(ifile, &ok);
  if (!ok) {
    std::fprintf(stderr, "qelcc: error: cannot read %s\n", ifile.c_str());
    return 1;
  }
  std::string map_dir = MapDir();
  std::string err;
  if (!qelcc::PrepareMapDir(map_dir, &err)) {
    std::fprintf(stderr, "qelcc: error: %s\n", err.c_str());
    return 1;
  }
  int unit = qelcc::UnitId(map_dir, abs_src, abs_obj, &err);
  if (unit == 0) {
    std::fprintf(stderr, "qelcc: error: %s\n", err.c_str());
    return 1;
  }
  std::vector<std::string> parse_args;
  if (!std_flag.empty()) parse_args.push_back(std_flag);
  qelcc::InstrumentResult r =
      qelcc::Instrument(ifile, itext, cwd_, parse_args, unit, opt_.group, opt_.values, opt_.memory);
  // The unit cannot be instrumented: the original source, compiled as the
  // user asked, decides. When it does not compile, the user sees the
  // compiler's own diagnostics only.
  auto uninstrumented = [&](const std::string& why) {
    qelcc::RemoveMap(map_dir, unit);
    std::string errfile = tmp.File("stderr.plain." + std::to_string(index));
    int prc = Run(original_cmd(obj), errfile);
    CopyToStderr(errfile);
    if (prc != 0) return prc;
    if (opt_.strict) {
      std::remove(obj.c_str());
      std::fprintf(stderr, "qelcc: error: %s: %s\n", src.c_str(), why.c_str());
      return 1;
    }
    std::fprintf(stderr, "qelcc: warning: %s: %s; compiled without instrumentation\n", src.c_str(),
                 why.c_str());
    return 0;
  };
  if (!r.ok) return uninstrumented(r.error);

  std::string qfile = tmp.File(Base(src) + "." + std::to_string(index) + ".qel.i");
  if (!WriteFile(qfile, r.text)) {
    std::fprintf(stderr, "qelcc: error: cannot write %s\n", qfile.c_str());
    return 1;
  }
  std::string errfile = tmp.File("stderr." + std::to_string(index));
  rc = Run(compile_cmd(qfile, false), errfile);
  if (rc != 0) {
    std::remove(obj.c_str());
    bool okr = false;
    std::string msg = ReadFile(errfile, &okr);
    size_t e = msg.find("error");
    if (e != std::string::npos) msg = msg.substr(e);
    size_t nl = msg.find('\n');
    if (nl != std::string::npos) msg.resize(nl);
    // Three causes: the user's code does not compile (the original compile
    // says so, in the compiler's own words); a warning made an error that the
    // compiler gives for preprocessed text only (it no longer knows what came
    // from a macro): the original compile's diagnostics stand and the
    // instrumented text is compiled without warnings; or the probes upset
    // the compiler: the original object is used.
    std::string errfile2 = tmp.File("stderr.orig." + std::to_string(index));
    std::string plain_obj = tmp.File("plain." + std::to_string(index) + ".o");
    int orc = Run(original_cmd(plain_obj), errfile2);
    if (orc != 0) {
      CopyToStderr(errfile2);
      qelcc::RemoveMap(map_dir, unit);
      return orc;
    }
    std::string errfile3 = tmp.File("stderr.w." + std::to_string(index));
    if (Run(compile_cmd(qfile, true), errfile3) == 0) {
      errfile = errfile2;
    } else {
      return uninstrumented("the instrumented text does not compile (" + msg + ")");
    }
  }
  CopyToStderr(errfile);
  r.map.unit = unit;
  if (!qelcc::WriteMap(map_dir, r.map, abs_src, abs_obj, &err)) {
    std::remove(obj.c_str());  // an object without its map would be counted blind
    std::fprintf(stderr, "qelcc: error: %s\n", err.c_str());
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options opt;
  opt.map_dir = Env("QELCC_MAP_DIR");
  std::string scope = Env("QELCC_SCOPE");
  opt.strict = Env("QELCC_STRICT") == "1";
  opt.keep = Env("QELCC_KEEP") == "1";
  opt.off = Env("QELCC_OFF") == "1";
  opt.values = Env("QELCC_VALUES") == "1";
  opt.memory = Env("QELCC_MEMORY") == "1";
  if (!Env("QELCC_GROUP").empty()) opt.group = std::atoi(Env("QELCC_GROUP").c_str());
  int i = 1;
  for (; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (a == "--version") {
      std::printf("qelcc %s\n", QELCC_VERSION);
      return 0;
    } else if (StartsWith(a, "--map-dir=")) {
      opt.map_dir = a.substr(10);
    } else if (StartsWith(a, "--scope=")) {
      scope = a.substr(8);
    } else if (StartsWith(a, "--group=")) {
      opt.group = std::atoi(a.c_str() + 8);
    } else if (a == "--strict") {
      opt.strict = true;
    } else if (a == "--keep") {
      opt.keep = true;
    } else if (a == "--off") {
      opt.off = true;
    } else if (a == "--values") {
      opt.values = true;
    } else if (a == "--memory") {
      opt.memory = true;
    } else if (StartsWith(a, "--")) {
      std::fprintf(stderr, "qelcc: error: unknown option %s (see qelcc --help)\n", a.c_str());
      return 2;
    } else {
      break;
    }
  }
  if (i >= argc) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  if (opt.group < 0 || opt.group > 65535) {
    std::fprintf(stderr, "qelcc: error: group id must be 0 to 65535\n");
    return 2;
  }
  std::istringstream in(scope);
  std::string part;
  while (std::getline(in, part, ':')) {
    if (!part.empty()) opt.scope.push_back(part);
  }
  Command cmd;
  cmd.compiler = argv[i];
  for (int k = i + 1; k < argc; ++k) cmd.args.push_back(argv[k]);
  Driver d(opt, cmd);
  return d.Main();
}
