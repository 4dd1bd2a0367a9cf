// The compiler's command line as qelcc reads it: response files expanded, a
// compiler cache in front of the compiler recognised, each argument
// classified, and the inputs with the language the compiler gives them.
#ifndef QELCC_COMMAND_LINE_H
#define QELCC_COMMAND_LINE_H

#include <string>
#include <vector>

namespace qelcc {

// Replaces every "@file" argument by the arguments the file holds, read as
// GCC reads them (white space separates; quotes and backslashes as in a
// shell without expansion; "@file" inside is expanded in turn). An argument
// naming no readable file stays as it is, as the compiler treats it then.
std::vector<std::string> ExpandResponseFiles(const std::vector<std::string>& args);

// Launchers that run the compiler named after them (ccache, sccache, distcc,
// icecc): the words from `argv` that make up the compiler, launchers
// included. `argv` starts at the compiler qelcc was given.
size_t CompilerWords(const std::vector<std::string>& argv);

// A compiler cache or distributor, by its file's name (a path or a bare name).
bool IsLauncher(const std::string& path);

// How the compiler reads an input.
enum class Lang {
  kC,              // C source: instrumented
  kPreprocessedC,  // already preprocessed C (.i, -x cpp-output): instrumented
  kHeader,         // a header compiled on its own (precompiled header)
  kOther,          // assembly, C++, ...: compiled untouched
  kLinkerInput,    // object, archive, shared library, linker script
};

// What the command produces.
enum class Stage {
  kNoCode,    // preprocessing, dependency lists, queries: run untouched
  kObject,    // -c
  kAssembly,  // -S
  kLink,      // compile what needs it, then link
};

struct Input {
  size_t arg = 0;    // index in Invocation::args
  std::string path;  // "-" for standard input
  Lang lang = Lang::kLinkerInput;
  std::string xlang;  // the -x language in force for it, "" when none
};

struct Invocation {
  std::vector<std::string> compiler;  // launchers and the compiler
  std::vector<std::string> args;      // after response-file expansion
  Stage stage = Stage::kLink;
  std::vector<Input> inputs;
  std::string output;                     // -o, "" when not given
  std::vector<std::string> target_flags;  // what selects the target (for -dumpmachine)
  bool has_output_flag() const { return !output.empty(); }
};

Invocation ParseInvocation(const std::vector<std::string>& compiler,
                           const std::vector<std::string>& args);

// Options that take the next argument as their value.
bool TakesValue(const std::string& a);
// Options only the preprocessor reads (left out when compiling the
// preprocessed text); *with_value when the next argument belongs to it.
bool PreprocessorOnly(const std::string& a, bool* with_value);
// Options only the linker reads (left out of a compile, where some
// compilers warn that they are unused).
bool LinkOnly(const std::string& a, bool* with_value);
// -MD and its family: the preprocessing run writes the dependency file.
bool DependencyFlag(const std::string& a, bool* with_value);
// -x LANG or -xLANG: *lang gets LANG, *with_value when it is the next argument.
bool LanguageFlag(const std::string& a, std::string* lang, bool* with_value);

}  // namespace qelcc

#endif
