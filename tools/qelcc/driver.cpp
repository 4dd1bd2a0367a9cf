#include "driver.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "diagnostics.h"
#include "instrument.h"
#include "linked_maps.h"
#include "map_file.h"
#include "map_section.h"
#include "mapdir.h"
#include "probe_cache.h"
#include "process.h"
#include "server.h"

namespace qelcc {

namespace {

using qel::mapsection::ObjectFormat;

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
  // The runtime's link-time stand-in, where the build put one, goes first:
  // the program records the same soname and loads the runtime from `dir`.
  const std::string stub = dir + "/qelcc-link";
  if (Exists(stub + "/libQELMQLib.so"))
    return {"-L" + stub, "-L" + dir, "-Wl,-rpath," + dir, "-lQELMQLib"};
  return {"-L" + dir, "-Wl,-rpath," + dir, "-lQELMQLib"};
}

bool Instrumentable(const Input& in) {
  return in.lang == Lang::kC || in.lang == Lang::kPreprocessedC;
}

std::string Dir(const std::string& path) {
  size_t s = path.rfind('/');
  return s == std::string::npos ? "" : path.substr(0, s + 1);
}

class Driver {
 public:
  Driver(const Options& opt, const Invocation& inv) : opt_(opt), inv_(inv), cwd_(Cwd()) {}
  int Main();

  const Options& opt() const { return opt_; }
  const Invocation& inv() const { return inv_; }
  const std::string& cwd() const { return cwd_; }
  TempDir& tmp() { return *tmp_; }
  std::string MapDir() const;
  bool InScope(const std::string& abs) const;
  ObjectFormat Format();
  // Whether units get their map from a file the assembler reads.
  bool MapFromFile();
  bool Clang();
  // How counted units reach their blocks and increment counters on the
  // compiler's target.
  CounterTarget Counters();
  // Inputs that the command compiles (C and otherwise).
  size_t CompiledInputs() const;

 private:
  std::vector<std::string> Plain() const;
  int CompileOtherInputs();
  int Link(const std::vector<std::string>& objects);
  int LinkPlain();

  const Options& opt_;
  const Invocation& inv_;
  std::string cwd_;
  std::unique_ptr<TempDir> tmp_;
  void ProbeCompiler();
  void ApplyMacros(const std::string& macros);
  bool probed_ = false, clang_ = false;
  bool windows_ = false, x86_64_ = false, i386_ = false, aarch64_ = false;
  int clang_major_ = 0;
  ObjectFormat format_ = ObjectFormat::kElf;
};

// One instrumentable source of the command, built into one object (or
// assembly file): preprocess, instrument, compile, record the map. Every
// way in which it ends up without probes goes through WithoutProbes, which
// records why.
class UnitBuild {
 public:
  UnitBuild(Driver& d, const Input& in, const std::string& out, const std::string& key_output,
            int index)
      : d_(d),
        in_(in),
        out_(out),
        abs_src_(in.path == "-" ? "<stdin>" : NormalPath(in.path, d.cwd())),
        abs_key_(NormalPath(key_output, d.cwd())),
        sub_("u" + std::to_string(index)) {}
  int Run();

 private:
  // The commands, each from the user's own arguments.
  std::vector<std::string> PreprocessCommand() const;
  // kNotErrors appends -Wno-error: the counted text's warnings that came
  // from macros must not fail the build before the original compile decides.
  enum class Warnings { kAsAsked, kNotErrors, kNone };
  std::vector<std::string> CompileCommand(const std::string& input, Warnings warnings) const;
  std::vector<std::string> OriginalCommand(const std::string& out,
                                           const std::vector<std::string>& extra) const;
  void DependencyDefaults(std::vector<std::string>* cmd) const;
  const char* StageFlag() const { return d_.inv().stage == Stage::kAssembly ? "-S" : "-c"; }
  // The qelcc options that shape the inserted code, for the identity.
  std::string ShapingOptions() const;

  // The steps.
  int Preprocess();
  int ReserveUnit();
  int CompileInstrumented(const std::string& text, const std::string& document);
  int WithoutProbes(const std::string& reason);
  int RecordMap(const std::string& document);
  // The text that places `document` in the object's map section, and the
  // same to append to a preprocessed text.
  std::string SectionFor(const std::string& document, bool instrumented,
                         unsigned long long identity);
  static std::string InTextAfterMarker(const std::string& section);
  std::string FirstError(const std::string& errfile) const;

  Driver& d_;
  const Input& in_;
  std::string out_;
  std::string abs_src_, abs_key_;
  std::string sub_;
  std::string ifile_, itext_;
  std::string std_flag_;
  int unit_ = 0;
};

std::string Driver::MapDir() const {
  std::string d = opt_.map_dir.empty() ? "qelmap" : opt_.map_dir;
  return NormalPath(d, cwd_);
}

bool Driver::InScope(const std::string& abs) const {
  if (opt_.scope.empty()) return true;
  for (const std::string& p : opt_.scope) {
    if (p.empty()) continue;
    std::string n = NormalPath(p, cwd_);
    if (abs == n || StartsWith(abs, n == "/" ? n : n + "/")) return true;
  }
  return false;
}

// What qelcc needs to know of the compiler's target, from its predefined
// macros (one run, the first time a unit is built): the object format for
// the map's section, and whether it is clang, which (from version 18) calls
// the line markers of preprocessed input a GNU extension under -pedantic.
void Driver::ProbeCompiler() {
  if (probed_) return;
  probed_ = true;
  std::vector<std::string> cmd{inv_.compiler.back()};
  cmd.insert(cmd.end(), inv_.target_flags.begin(), inv_.target_flags.end());
  cmd.insert(cmd.end(), {"-dM", "-E", "-x", "c", "/dev/null"});
  // The same answer for every unit the compiler builds: asked once, kept in
  // the map directory (which every unit of a build shares).
  const ProbeCache cache(MapDir() + "/probes");
  std::string key;
  if (!opt_.no_probe_cache) {
    const std::string identity = CompilerIdentity(inv_.compiler.back());
    // What the compiler drivers read from the environment to find their
    // parts or add options is part of the question too.
    std::vector<std::string> question = cmd;
    for (const char* v : {"GCC_EXEC_PREFIX", "COMPILER_PATH", "CCC_OVERRIDE_OPTIONS"})
      question.push_back(std::string(v) + "=" + Env(v));
    if (!identity.empty() && AddProbeInputs(inv_.compiler.back(), inv_.target_flags, &question))
      key = ProbeKey(identity, question);
  }
  std::string macros;
  if (!key.empty() && cache.Find(key, &macros)) {
    ApplyMacros(macros);
    return;
  }
  std::string out = tmp().File("macros"), err = tmp().File("macros.err");
  bool ok = false;
  macros = qelcc::Run(cmd, err, out) == 0 ? ReadFile(out, &ok) : "";
  // A failed probe is asked again next time.
  if (!key.empty() && ok && !macros.empty()) cache.Store(key, macros);
  ApplyMacros(macros);
}

void Driver::ApplyMacros(const std::string& macros) {
  format_ = macros.empty() ? ObjectFormat::kElf : qel::mapsection::FormatOfMacros(macros);
  clang_ = macros.find("#define __clang__ ") != std::string::npos;
  windows_ = macros.find("#define _WIN32 ") != std::string::npos;
  // x32 (-mx32) is x86-64 with 32-bit pointers, and so 32-bit counters.
  x86_64_ = macros.find("#define __x86_64__ ") != std::string::npos &&
            macros.find("#define __ILP32__ ") == std::string::npos;
  i386_ = macros.find("#define __i386__ ") != std::string::npos ||
          macros.find("#define __x86_64__ ") != std::string::npos;
  i386_ = i386_ && !x86_64_;
  aarch64_ = macros.find("#define __aarch64__ ") != std::string::npos;
  const std::string major = "#define __clang_major__ ";
  const size_t at = macros.find(major);
  clang_major_ = at == std::string::npos ? 0 : std::atoi(macros.c_str() + at + major.size());
}

CounterTarget Driver::Counters() {
  ProbeCompiler();
  CounterTarget t;
  t.increment = x86_64_ ? CounterTarget::Increment::kX86_64
                : i386_ ? CounterTarget::Increment::kI386
                        : CounterTarget::Increment::kAtomic;
  // The increments are written in both assembler dialects; the entry stub
  // in AT&T syntax alone.
  bool intel = false;
  for (const std::string& a : inv_.args) {
    if (a == "-masm=intel") intel = true;
    if (a == "-masm=att") intel = false;
  }
  // clang 14 miscompiles a preserve_most function that calls an ordinary
  // one (the programs it builds crash); clang 19 does not.
  t.preserve_most = clang_ && clang_major_ >= 19 && (x86_64_ || aarch64_);
  if (windows_) {
    t.access = CounterTarget::Access::kCall;
    return t;
  }
  // Code for a shared object reaches the runtime's table (a thread-local
  // variable of its own would need static TLS the object may not get when
  // it is loaded late); code for a program keeps a pointer of its own.
  bool shared = false;
  for (const std::string& a : inv_.args) {
    if (a == "-fPIC" || a == "-fpic" || a == "-shared") shared = true;
    if (a == "-fno-PIC" || a == "-fno-pic" || a == "-fPIE" || a == "-fpie" || a == "-fno-PIE" ||
        a == "-fno-pie")
      shared = a == "-shared";
  }
  t.access = shared ? CounterTarget::Access::kTable : CounterTarget::Access::kUnitTls;
  // The stub's symbols are the unit's own, named in assembly: not where
  // link-time optimisation may rename them, nor beyond a call's reach.
  bool lto = false, large = false;
  for (const std::string& a : inv_.args) {
    if (StartsWith(a, "-flto")) lto = true;
    if (a == "-fno-lto") lto = false;
    if (StartsWith(a, "-mcmodel=")) large = a == "-mcmodel=large";
  }
  t.assembly_tables = x86_64_ && format_ == ObjectFormat::kElf && !lto && !intel;
  t.no_unused_marks = clang_;
  t.entry_stub = !clang_ && x86_64_ && t.access == CounterTarget::Access::kUnitTls &&
                 t.increment == CounterTarget::Increment::kX86_64 && !lto && !large && !intel;
  // gcc's level is its last -O option, -O0 when there is none.
  bool optimized = false;
  for (const std::string& a : inv_.args)
    if (StartsWith(a, "-O")) optimized = a != "-O0";
  t.unoptimized = !clang_ && !optimized && t.increment != CounterTarget::Increment::kAtomic;
  // clang hands every asm statement to an assembler parser of its own: at
  // -O0 an asm increment costs it five times a volatile one (cJSON.c's
  // 929: 1.44 G instructions against 0.36 G plain). Unoptimised code keeps
  // each volatile access where the program puts it, which is all the asm
  // is there for; the counters are as wide as a pointer, so each is one
  // load and one store.
  if (clang_ && !optimized && t.increment != CounterTarget::Increment::kAtomic)
    t.increment = CounterTarget::Increment::kVolatile;
  return t;
}

ObjectFormat Driver::Format() {
  ProbeCompiler();
  return format_;
}

bool Driver::MapFromFile() { return qelcc::MapFromFile(inv_, Format()); }

bool Driver::Clang() {
  ProbeCompiler();
  return clang_;
}

size_t Driver::CompiledInputs() const {
  size_t n = 0;
  for (const Input& in : inv_.inputs) n += in.lang != Lang::kLinkerInput;
  return n;
}

std::vector<std::string> Driver::Plain() const {
  std::vector<std::string> plain = inv_.compiler;
  plain.insert(plain.end(), inv_.args.begin(), inv_.args.end());
  return plain;
}

int Driver::Main() {
  std::vector<std::string> plain = Plain();
  std::vector<const Input*> sources;
  for (const Input& in : inv_.inputs) {
    if (Instrumentable(in)) sources.push_back(&in);
  }
  // Nothing is compiled into code, or only what qelcc leaves alone.
  if (inv_.stage == Stage::kNoCode || inv_.inputs.empty()) Exec(plain);
  if (opt_.off || sources.empty()) {
    if (inv_.stage != Stage::kLink) Exec(plain);
    return LinkPlain();
  }
  // -o with several inputs to compile: the compiler's own error.
  if (inv_.stage != Stage::kLink && inv_.has_output_flag() && CompiledInputs() > 1) Exec(plain);
  bool any_in_scope = false;
  for (const Input* in : sources) {
    any_in_scope = any_in_scope || InScope(NormalPath(in->path, cwd_));
  }
  if (!any_in_scope) {
    if (inv_.stage != Stage::kLink) Exec(plain);
    return LinkPlain();
  }

  tmp_.reset(new TempDir());
  if (!tmp_->ok()) {
    std::fprintf(stderr, "qelcc: error: cannot create a temporary directory: %s\n",
                 std::strerror(errno));
    return 1;
  }
  if (opt_.keep) tmp_->Keep();

  std::vector<std::string> objects;
  int index = 0;
  for (const Input* in : sources) {
    std::string out, key;
    if (inv_.stage == Stage::kLink) {
      out = tmp_->File(Stem(in->path) + ".o", "u" + std::to_string(index));
      // The program is what a rebuild replaces: its unit keeps its id.
      key = inv_.has_output_flag() ? inv_.output : "a.out";
    } else {
      out = inv_.has_output_flag()
                ? inv_.output
                : Stem(in->path) + (inv_.stage == Stage::kAssembly ? ".s" : ".o");
      key = out;
    }
    int rc = UnitBuild(*this, *in, out, key, index++).Run();
    if (rc != 0) return rc;
    objects.push_back(out);
  }
  if (inv_.stage != Stage::kLink) return CompileOtherInputs();
  return Link(objects);
}

// -c or -S of C sources beside others: the others as the user asked.
int Driver::CompileOtherInputs() {
  std::vector<std::string> cmd = inv_.compiler;
  std::vector<bool> source(inv_.args.size(), false);
  bool others = false;
  for (const Input& in : inv_.inputs) {
    source[in.arg] = Instrumentable(in);
    others = others || (!Instrumentable(in) && in.lang != Lang::kLinkerInput);
  }
  if (!others) return 0;
  for (size_t i = 0; i < inv_.args.size(); ++i) {
    if (!source[i]) cmd.push_back(inv_.args[i]);
  }
  return qelcc::Run(cmd);
}

int Driver::Link(const std::vector<std::string>& objects) {
  bool others = false;
  for (const Input& in : inv_.inputs) {
    others = others || (in.lang == Lang::kOther || in.lang == Lang::kHeader);
  }
  std::vector<std::string> cmd = inv_.compiler;
  size_t next = 0;
  std::vector<const Input*> at(inv_.args.size(), nullptr);
  for (const Input& in : inv_.inputs) {
    if (Instrumentable(in)) at[in.arg] = &in;
  }
  for (size_t i = 0; i < inv_.args.size(); ++i) {
    const std::string& a = inv_.args[i];
    if (const Input* in = at[i]) {
      // An object where a -x language is in force would be read as that
      // language: the object goes between -x none and the language again.
      if (others && !in->xlang.empty()) {
        cmd.insert(cmd.end(), {"-x", "none", objects[next++], "-x", in->xlang});
      } else {
        cmd.push_back(objects[next++]);
      }
      continue;
    }
    bool with_value = false;
    std::string lang;
    if (!others && (PreprocessorOnly(a, &with_value) || LanguageFlag(a, &lang, &with_value))) {
      if (with_value) ++i;
      continue;
    }
    cmd.push_back(a);
  }
  for (const std::string& f : RuntimeLinkFlags()) cmd.push_back(f);
  int rc = qelcc::Run(cmd);
  if (rc != 0) return rc;
  return CheckLinkedMaps(NormalPath(inv_.has_output_flag() ? inv_.output : "a.out", cwd_),
                         MapDir());
}

// A link (or compile and link) with nothing for qelcc to instrument: the
// runtime is added, and the maps the objects carry are checked.
int Driver::LinkPlain() {
  std::vector<std::string> cmd = Plain();
  for (const std::string& f : RuntimeLinkFlags()) cmd.push_back(f);
  int rc = qelcc::Run(cmd);
  if (rc != 0 || opt_.off) return rc;
  return CheckLinkedMaps(NormalPath(inv_.has_output_flag() ? inv_.output : "a.out", cwd_),
                         MapDir());
}

// ---- UnitBuild: commands ----------------------------------------------------

// Which of the user's arguments a per-source command takes: not the other
// inputs, -o, -c, -S or -x (each command sets its own); the callers leave
// out what their step must not see.
template <typename Keep>
void UserArgs(const Invocation& inv, const Input& self, Keep keep, std::vector<std::string>* cmd) {
  std::vector<bool> input(inv.args.size(), false);
  for (const Input& in : inv.inputs) input[in.arg] = true;
  for (size_t i = 0; i < inv.args.size(); ++i) {
    const std::string& a = inv.args[i];
    std::string lang;
    bool with_value = false;
    if (input[i] || i == self.arg) continue;
    if (LanguageFlag(a, &lang, &with_value)) {
      if (with_value) ++i;
      continue;
    }
    if (a == "-o") {
      ++i;
      continue;
    }
    if ((StartsWith(a, "-o") && a.size() > 2) || a == "-c" || a == "-S") continue;
    bool value_follows = TakesValue(a) && i + 1 < inv.args.size();
    if (!keep(a, &with_value)) {
      if (with_value || value_follows) ++i;
      continue;
    }
    cmd->push_back(a);
    if (value_follows) cmd->push_back(inv.args[++i]);
  }
}

void UnitBuild::DependencyDefaults(std::vector<std::string>* cmd) const {
  const std::vector<std::string>& a = d_.inv().args;
  bool has_md = false, has_mf = false, has_mt = false;
  for (const std::string& s : a) {
    has_md = has_md || s == "-MD" || s == "-MMD";
    has_mf = has_mf || StartsWith(s, "-MF");
    has_mt = has_mt || StartsWith(s, "-MT") || StartsWith(s, "-MQ");
  }
  if (!has_md) return;
  // Named and targeted as the compiler names them without qelcc: after the
  // object; in a compile and link after the program (GCC's rule).
  std::string file, target;
  if (d_.inv().stage == Stage::kLink) {
    std::string program = d_.inv().has_output_flag() ? d_.inv().output : "a.out";
    if (d_.CompiledInputs() == 1) {
      file = Dir(program) + Stem(program) + ".d";
      target = program;
    } else {
      file = Dir(program) + Stem(program) + "-" + Stem(in_.path) + ".d";
      target = Stem(in_.path) + ".o";
    }
  } else {
    file = Dir(out_) + Stem(out_) + ".d";
    target = out_;
  }
  if (!has_mf) cmd->insert(cmd->end(), {"-MF", file});
  if (!has_mt) cmd->insert(cmd->end(), {"-MT", target});
}

std::vector<std::string> UnitBuild::PreprocessCommand() const {
  std::vector<std::string> cmd = d_.inv().compiler;
  UserArgs(
      d_.inv(), in_,
      [](const std::string& a, bool* with_value) {
        return !LinkOnly(a, with_value) && !StartsWith(a, "-save-temps") &&
               a != "-fdirectives-only";
      },
      &cmd);
  DependencyDefaults(&cmd);
  // -C keeps comments: the compiler reads fall-through comments and the map
  // aligns columns with the original lines.
  cmd.insert(cmd.end(), {"-E", "-C", "-o", ifile_});
  if (!in_.xlang.empty()) cmd.insert(cmd.end(), {"-x", in_.xlang});
  cmd.push_back(in_.path);
  return cmd;
}

std::vector<std::string> UnitBuild::CompileCommand(const std::string& input,
                                                   Warnings warnings) const {
  std::vector<std::string> cmd = d_.inv().compiler;
  UserArgs(
      d_.inv(), in_,
      [](const std::string& a, bool* with_value) {
        return !PreprocessorOnly(a, with_value) && !LinkOnly(a, with_value) &&
               !DependencyFlag(a, with_value);
      },
      &cmd);
  if (warnings == Warnings::kNone) cmd.push_back("-w");
  if (warnings == Warnings::kNotErrors) cmd.push_back("-Wno-error");
  // The line markers are the preprocessor's own, not the user's code.
  if (d_.Clang()) cmd.insert(cmd.end(), {"-Wno-unknown-warning-option", "-Wno-gnu-line-marker"});
  cmd.insert(cmd.end(), {StageFlag(), "-x", "cpp-output", input, "-o", out_});
  return cmd;
}

std::vector<std::string> UnitBuild::OriginalCommand(const std::string& out,
                                                    const std::vector<std::string>& extra) const {
  std::vector<std::string> cmd = d_.inv().compiler;
  // Dependency files are the preprocessing run's.
  UserArgs(
      d_.inv(), in_,
      [](const std::string& a, bool* with_value) {
        return !DependencyFlag(a, with_value) && !LinkOnly(a, with_value);
      },
      &cmd);
  cmd.insert(cmd.end(), extra.begin(), extra.end());
  cmd.push_back(StageFlag());
  if (!in_.xlang.empty()) cmd.insert(cmd.end(), {"-x", in_.xlang});
  cmd.insert(cmd.end(), {in_.path, "-o", out});
  return cmd;
}

std::string UnitBuild::ShapingOptions() const {
  const Options& o = d_.opt();
  return "group=" + std::to_string(o.group) + " values=" + (o.values ? "1" : "0") +
         " memory=" + (o.memory ? "1" : "0") + " events=" + (o.events ? "1" : "0") +
         " parse=" + std_flag_;
}

std::string UnitBuild::FirstError(const std::string& errfile) const {
  bool ok = false;
  std::string msg = ReadFile(errfile, &ok);
  size_t e = msg.find("error");
  if (e != std::string::npos) msg = msg.substr(e);
  size_t nl = msg.find('\n');
  if (nl != std::string::npos) msg.resize(nl);
  return msg;
}

// ---- UnitBuild: steps -------------------------------------------------------

int UnitBuild::Run() {
  if (!d_.InScope(abs_src_)) return qelcc::Run(OriginalCommand(out_, {}));
  for (const std::string& a : d_.inv().args) {
    if (StartsWith(a, "-std=")) std_flag_ = a;
  }
  std::string err;
  if (!PrepareMapDir(d_.MapDir(), &err)) {
    std::fprintf(stderr, "qelcc: error: %s\n", err.c_str());
    return 1;
  }
  if (in_.path == "-") return WithoutProbes("the source is read from standard input");
  int rc = Preprocess();
  if (rc != 0) return rc;
  rc = ReserveUnit();
  if (rc != 0) return rc;
  std::vector<std::string> parse_args;
  if (!std_flag_.empty()) parse_args.push_back(std_flag_);
  const Options& o = d_.opt();
  InstrumentOptions io;
  io.values = o.values;
  io.memory = o.memory;
  io.counters = !o.events;
  io.target = d_.Counters();
  io.exec = io.target.access != CounterTarget::Access::kCall;  // not on Windows
  InstrumentRequest request;
  request.ipath = ifile_;
  request.cwd = d_.cwd();
  request.args = parse_args;
  request.unit = unit_;
  request.group = o.group;
  request.options = io;
  InstrumentResult r;
  if (o.no_server || !InstrumentThroughServer(request, &r))
    r = Instrument(ifile_, itext_, d_.cwd(), parse_args, unit_, o.group, io);
  if (!r.ok) return WithoutProbes(r.error);
  r.map.unit = unit_;
  r.map.source = abs_src_;
  r.map.object = abs_key_;
  r.map.identity = UnitIdentity(abs_src_, ShapingOptions(), r.text);
  const std::string document = MapDocument(r.map);
  // The registration carries the identity, so it follows the text the
  // identity is taken of, in a file of its own for the diagnostics.
  std::string registration;
  if (r.counted)
    registration = "\n# 1 \"<qelcc counters>\" 1 3\n" +
                   CounterRegistration(unit_, o.group, r.map.identity, r.nodes, r.decisions,
                                       io.target.assembly_tables);
  return CompileInstrumented(
      r.text + registration + InTextAfterMarker(SectionFor(document, true, r.map.identity)),
      document);
}

int UnitBuild::Preprocess() {
  bool ok = false;
  if (in_.lang == Lang::kPreprocessedC) {
    ifile_ = in_.path;
  } else {
    ifile_ = d_.tmp().File(Stem(in_.path) + ".pre.i", sub_);
    int rc = qelcc::Run(PreprocessCommand());
    if (rc != 0) return rc;  // the compiler's own diagnostics are already out
  }
  itext_ = ReadFile(ifile_, &ok);
  if (!ok) {
    std::fprintf(stderr, "qelcc: error: cannot read %s\n", ifile_.c_str());
    return 1;
  }
  return 0;
}

int UnitBuild::ReserveUnit() {
  std::string err;
  unit_ = UnitId(d_.MapDir(), abs_src_, abs_key_, &err);
  if (unit_ == 0) {
    std::fprintf(stderr, "qelcc: error: %s\n", err.c_str());
    return 1;
  }
  return 0;
}

std::string UnitBuild::SectionFor(const std::string& document, bool instrumented,
                                  unsigned long long identity) {
  qel::mapsection::Record rec;
  rec.unit = static_cast<std::uint16_t>(unit_);
  rec.instrumented = instrumented;
  rec.identity = identity;
  rec.payload = document;
  const std::string bytes = qel::mapsection::Encode(rec);
  // Hundreds of kilobytes of text less for the compiler to read: the
  // assembler reads the bytes from a file beside the text (kept with it).
  if (d_.MapFromFile()) {
    const std::string file =
        NormalPath(d_.tmp().File(instrumented ? "map.bin" : "map.plain.bin", sub_), d_.cwd());
    const std::string text = qel::mapsection::SectionFileText(file);
    if (!text.empty() && WriteFile(file, bytes)) return text;
  }
  return qel::mapsection::SectionText(bytes, d_.Format());
}

std::string UnitBuild::InTextAfterMarker(const std::string& section) {
  if (section.empty()) return "";
  // A file of its own for the compiler's diagnostics, a system header's:
  // nothing there is the user's to fix.
  return "\n# 1 \"<qelcc map>\" 1 3\n" + section;
}

int UnitBuild::CompileInstrumented(const std::string& text, const std::string& document) {
  // Named as the source, so what -save-temps keeps is named as without qelcc.
  std::string qfile = d_.tmp().File(Stem(in_.path) + ".i", sub_);
  if (!WriteFile(qfile, text)) {
    std::fprintf(stderr, "qelcc: error: cannot write %s\n", qfile.c_str());
    return 1;
  }
  std::string errfile = d_.tmp().File("stderr", sub_);
  const WarningsAsErrors werror = WarningsAsErrorsOf(d_.inv().args);
  int rc = qelcc::Run(CompileCommand(qfile, werror.all ? Warnings::kNotErrors : Warnings::kAsAsked),
                      errfile);
  std::string errfile2 = d_.tmp().File("stderr.orig", sub_);
  std::string plain_obj = d_.tmp().File("plain.o", sub_);
  if (rc == 0 && werror.all) {
    bool read = false;
    if (HasWarningMadeError(ReadFile(errfile, &read), werror) || !read) {
      // A warning -Werror makes an error, perhaps one the compiler gives for
      // preprocessed text only: the original compile decides, and its
      // diagnostics are the user's. The counted object stands when it passes.
      int orc = qelcc::Run(OriginalCommand(plain_obj, {}), errfile2);
      if (orc != 0) {
        std::remove(out_.c_str());
        CopyToStderr(errfile2);
        return orc;
      }
      errfile = errfile2;
    }
  } else if (rc != 0) {
    std::remove(out_.c_str());
    std::string msg = FirstError(errfile);
    // Three causes: the user's code does not compile (the original compile
    // says so, in the compiler's own words); a warning made an error that the
    // compiler gives for preprocessed text only (it no longer knows what came
    // from a macro): the original compile's diagnostics stand and the
    // instrumented text is compiled without warnings; or the probes upset
    // the compiler: the unit is built without them.
    int orc = qelcc::Run(OriginalCommand(plain_obj, {}), errfile2);
    if (orc != 0) {
      CopyToStderr(errfile2);
      return orc;
    }
    std::string errfile3 = d_.tmp().File("stderr.w", sub_);
    if (qelcc::Run(CompileCommand(qfile, Warnings::kNone), errfile3) != 0) {
      return WithoutProbes("the instrumented text does not compile (" + msg + ")");
    }
    errfile = errfile2;
  }
  CopyToStderr(errfile);
  return RecordMap(document);
}

int UnitBuild::RecordMap(const std::string& document) {
  std::string err;
  if (!WriteMapFile(d_.MapDir(), unit_, document, &err)) {
    std::remove(out_.c_str());  // an object without its map would be counted blind
    std::fprintf(stderr, "qelcc: error: %s\n", err.c_str());
    return 1;
  }
  return 0;
}

// The unit cannot be instrumented: the original source, compiled as the
// user asked, decides. When it does not compile, the user sees the
// compiler's own diagnostics only. When it does, the unit is recorded as
// built without probes, with the reason, in the map directory and in the
// object, so that no report can leave it out silently; --strict fails.
int UnitBuild::WithoutProbes(const std::string& reason) {
  const bool from_stdin = in_.path == "-";  // it can be read once only
  const std::string name = from_stdin ? "<stdin>" : in_.path;
  if (d_.opt().strict) {
    if (!from_stdin) {
      std::string errfile = d_.tmp().File("stderr.strict", sub_);
      int rc = qelcc::Run(OriginalCommand(out_, {}), errfile);
      CopyToStderr(errfile);
      if (rc != 0) return rc;
      std::remove(out_.c_str());
    }
    std::fprintf(stderr, "qelcc: error: %s: %s\n", name.c_str(), reason.c_str());
    return 1;
  }
  if (unit_ == 0) {
    int rc = ReserveUnit();
    if (rc != 0) return rc;
  }
  UnitMap m;
  m.unit = unit_;
  m.group = d_.opt().group;
  m.source = from_stdin ? "<stdin>" : abs_src_;
  m.object = abs_key_;
  m.instrumented = false;
  m.reason = reason;
  m.identity = UnitIdentity(m.source, "uninstrumented", itext_);
  const std::string document = MapDocument(m);
  const std::string section = SectionFor(document, false, m.identity);
  std::vector<std::string> cmd;
  if (section.empty()) {
    cmd = OriginalCommand(out_, {});
  } else if (in_.lang == Lang::kPreprocessedC) {
    std::string copy = d_.tmp().File(Stem(in_.path) + ".i", sub_ + "p");
    if (!WriteFile(copy, itext_ + InTextAfterMarker(section))) {
      std::fprintf(stderr, "qelcc: error: cannot write %s\n", copy.c_str());
      return 1;
    }
    cmd = CompileCommand(copy, Warnings::kAsAsked);
  } else {
    std::string header = d_.tmp().File("qelmap.h", sub_);
    if (!WriteFile(header, "#pragma GCC system_header\n" + section)) {
      std::fprintf(stderr, "qelcc: error: cannot write %s\n", header.c_str());
      return 1;
    }
    cmd = OriginalCommand(out_, {"-include", header});
  }
  std::string errfile = d_.tmp().File("stderr.plain", sub_);
  int rc = qelcc::Run(cmd, errfile);
  bool in_object = !section.empty();
  if (rc != 0 && !from_stdin && !section.empty()) {
    // Does the source compile at all? Its diagnostics, not ours, then.
    errfile = d_.tmp().File("stderr.plain2", sub_);
    rc = qelcc::Run(OriginalCommand(out_, {}), errfile);
    in_object = false;
  }
  CopyToStderr(errfile);
  if (rc != 0) return rc;
  std::fprintf(stderr, "qelcc: warning: %s: %s; compiled without instrumentation%s\n", name.c_str(),
               reason.c_str(), in_object ? "" : " (recorded in the map directory only)");
  return RecordMap(document);
}

}  // namespace

int Drive(const Options& options, const Invocation& invocation) {
  Driver d(options, invocation);
  return d.Main();
}

}  // namespace qelcc
