#include "command_line.h"

#include <fstream>
#include <sstream>

#include "process.h"

namespace qelcc {

namespace {

// GCC's reading of a response file (libiberty's buildargv).
std::vector<std::string> SplitResponseFile(const std::string& text) {
  std::vector<std::string> out;
  std::string arg;
  bool in_arg = false, squote = false, dquote = false, escape = false;
  for (char c : text) {
    if (escape) {
      arg += c;
      escape = false;
      in_arg = true;
    } else if (c == '\\') {
      escape = true;
      in_arg = true;
    } else if (squote) {
      if (c == '\'') {
        squote = false;
      } else {
        arg += c;
      }
    } else if (dquote) {
      if (c == '"') {
        dquote = false;
      } else {
        arg += c;
      }
    } else if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v') {
      if (in_arg) out.push_back(arg);
      arg.clear();
      in_arg = false;
    } else {
      in_arg = true;
      if (c == '\'') {
        squote = true;
      } else if (c == '"') {
        dquote = true;
      } else {
        arg += c;
      }
    }
  }
  if (in_arg) out.push_back(arg);
  return out;
}

void Expand(const std::vector<std::string>& in, int depth, std::vector<std::string>* out) {
  for (const std::string& a : in) {
    if (a.size() < 2 || a[0] != '@' || depth > 16) {
      out->push_back(a);
      continue;
    }
    std::ifstream f(a.substr(1), std::ios::binary);
    if (!f) {
      out->push_back(a);
      continue;
    }
    std::ostringstream s;
    s << f.rdbuf();
    Expand(SplitResponseFile(s.str()), depth + 1, out);
  }
}

bool OneOf(const std::string& a, std::initializer_list<const char*> list) {
  for (const char* s : list) {
    if (a == s) return true;
  }
  return false;
}

bool PrefixOf(const std::string& a, std::initializer_list<const char*> list) {
  for (const char* s : list) {
    if (StartsWith(a, s)) return true;
  }
  return false;
}

Lang LangOfExtension(const std::string& path) {
  if (EndsWith(path, ".c")) return Lang::kC;
  if (EndsWith(path, ".i")) return Lang::kPreprocessedC;
  if (EndsWith(path, ".h")) return Lang::kHeader;
  for (const char* e : {".cc",  ".cpp", ".cxx", ".c++", ".cp", ".CPP", ".C",   ".m",   ".mm", ".M",
                        ".S",   ".s",   ".sx",  ".ii",  ".mi", ".mii", ".hh",  ".hpp", ".H",  ".f",
                        ".for", ".f90", ".f95", ".F",   ".cu", ".ads", ".adb", ".d",   ".go"}) {
    if (EndsWith(path, e)) return Lang::kOther;
  }
  return Lang::kLinkerInput;
}

Lang LangOfX(const std::string& x) {
  if (x == "c") return Lang::kC;
  if (x == "cpp-output") return Lang::kPreprocessedC;
  if (x == "c-header" || x == "c-header-cpp-output") return Lang::kHeader;
  return Lang::kOther;
}

}  // namespace

std::vector<std::string> ExpandResponseFiles(const std::vector<std::string>& args) {
  std::vector<std::string> out;
  Expand(args, 0, &out);
  return out;
}

bool IsLauncher(const std::string& path) {
  const std::string base =
      path.substr(path.rfind('/') == std::string::npos ? 0 : path.rfind('/') + 1);
  return OneOf(base, {"ccache", "sccache", "distcc", "icecc", "buildcache"});
}

size_t CompilerWords(const std::vector<std::string>& argv) {
  size_t n = 0;
  while (n < argv.size()) {
    const std::string& w = argv[n];
    ++n;
    const bool launcher = IsLauncher(w);
    // `ccache -s` and the like are the launcher's own commands.
    if (!launcher || n >= argv.size() || argv[n].empty() || argv[n][0] == '-') break;
  }
  return n;
}

bool TakesValue(const std::string& a) {
  return OneOf(a, {"-o",
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
                   "-Xclang",
                   "-L",
                   "-l",
                   "-u",
                   "-T",
                   "-z",
                   "-aux-info",
                   "--param",
                   "-e",
                   "-specs",
                   "--specs",
                   "--config",
                   "-target",
                   "--sysroot",
                   "-arch",
                   "-B",
                   "-G",
                   "-dumpbase",
                   "-dumpdir",
                   "-dumpbase-ext"});
}

bool PreprocessorOnly(const std::string& a, bool* with_value) {
  *with_value = OneOf(
      a, {"-D", "-U", "-I", "-include", "-imacros", "-isystem", "-iquote", "-idirafter", "-iprefix",
          "-iwithprefix", "-iwithprefixbefore", "-MF", "-MT", "-MQ", "-Xpreprocessor"});
  if (*with_value) return true;
  return PrefixOf(a, {"-D", "-U", "-I", "-MF", "-MT", "-MQ", "-Wp,", "-include", "-imacros",
                      "-isystem", "-iquote", "-idirafter"}) ||
         OneOf(a, {"-M", "-MM", "-MD", "-MMD", "-MG", "-MP", "-nostdinc", "-undef", "-C", "-CC",
                   "-P", "-trigraphs", "-fdirectives-only"});
}

bool LinkOnly(const std::string& a, bool* with_value) {
  *with_value = OneOf(a, {"-L", "-l", "-Xlinker", "-T", "-u", "-z"});
  if (*with_value) return true;
  return PrefixOf(a,
                  {"-L", "-l", "-Wl,", "-fuse-ld=", "--ld-path=", "-T", "-static-lib", "-rpath"}) ||
         OneOf(a, {"-shared", "-static", "-static-pie", "-rdynamic", "-nostdlib", "-nodefaultlibs",
                   "-nostartfiles", "-nolibc", "-s", "-symbolic", "-pie", "-no-pie", "-r"});
}

bool DependencyFlag(const std::string& a, bool* with_value) {
  *with_value = OneOf(a, {"-MF", "-MT", "-MQ"});
  if (*with_value) return true;
  return OneOf(a, {"-MD", "-MMD", "-MP", "-MG"}) || PrefixOf(a, {"-MF", "-MT", "-MQ", "-Wp,-M"});
}

bool LanguageFlag(const std::string& a, std::string* lang, bool* with_value) {
  *with_value = a == "-x";
  if (*with_value) return true;
  if (a.size() > 2 && StartsWith(a, "-x")) {
    *lang = a.substr(2);
    return true;
  }
  return false;
}

Invocation ParseInvocation(const std::vector<std::string>& compiler,
                           const std::vector<std::string>& args) {
  Invocation inv;
  inv.compiler = compiler;
  inv.args = ExpandResponseFiles(args);
  const std::vector<std::string>& a = inv.args;
  std::string xlang;
  bool no_code = false, compile = false, assemble = false;
  for (size_t i = 0; i < a.size(); ++i) {
    const std::string& s = a[i];
    std::string lang;
    bool with_value = false;
    if (LanguageFlag(s, &lang, &with_value)) {
      if (with_value) {
        if (i + 1 < a.size()) lang = a[++i];
      }
      xlang = lang == "none" ? "" : lang;
      continue;
    }
    // What can change the target the compiler builds for: the target
    // itself, the data model (which picks the counters' width and the
    // increment), the ABI, and whatever can add either behind the command's
    // back (clang's configuration files, gcc's specs files, the folders the
    // driver takes its parts from).
    if (OneOf(s, {"-target", "--config", "-specs", "--specs", "-B", "-arch"}) && i + 1 < a.size()) {
      inv.target_flags.insert(inv.target_flags.end(), {s, a[i + 1]});
    } else if (OneOf(s, {"-m32", "-m64", "-mx32", "-m16", "--no-default-config"}) ||
               PrefixOf(s, {"--target=", "--config=", "--config-system-dir=", "--config-user-dir=",
                            "-specs=", "--specs=", "-mabi=", "--gcc-toolchain=",
                            "--gcc-install-dir=", "-B"})) {
      inv.target_flags.push_back(s);
    }
    if (TakesValue(s)) {
      if (s == "-o" && i + 1 < a.size()) inv.output = a[i + 1];
      ++i;
      continue;
    }
    if (StartsWith(s, "-o") && s.size() > 2) {
      inv.output = s.substr(2);
      continue;
    }
    if (s == "-c") {
      compile = true;
    } else if (s == "-S") {
      assemble = true;
    } else if (OneOf(s, {"-E", "-M", "-MM", "-fsyntax-only", "-###", "--help", "--version",
                         "-dumpversion", "-dumpfullversion", "-dumpmachine", "-dumpspecs"}) ||
               StartsWith(s, "-print-") || StartsWith(s, "--print-")) {
      no_code = true;
    } else if (s == "-" || (!s.empty() && s[0] != '-')) {
      Input in;
      in.arg = i;
      in.path = s;
      in.xlang = xlang;
      if (!xlang.empty()) {
        in.lang = LangOfX(xlang);
      } else if (s == "-") {
        in.lang = Lang::kOther;  // the compiler insists on -x for it
      } else {
        in.lang = LangOfExtension(s);
      }
      inv.inputs.push_back(in);
    }
  }
  if (no_code) {
    inv.stage = Stage::kNoCode;
  } else if (assemble) {
    inv.stage = Stage::kAssembly;
  } else if (compile) {
    inv.stage = Stage::kObject;
  } else {
    inv.stage = Stage::kLink;
  }
  return inv;
}

}  // namespace qelcc
