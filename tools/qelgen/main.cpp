// qelgen: writes a test driver for a C project.
//
//   qelgen -o drive.cpp --include project.h [options] a.c b.c ... [-- compiler args]
//
// Each source file is a group: its functions are driven from the vector
// file Value_<name>.json. Exit status: 0 written (functions that cannot be
// driven are listed on standard error), 1 parse or write error, 2 usage.
#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "generator.h"

namespace {

void Usage(std::FILE* out) {
  std::fprintf(out,
               "usage: qelgen -o FILE [options] SOURCE... [-- COMPILER-ARGS]\n"
               "Writes a test driver that calls every function defined in the sources\n"
               "(one group per source file) with values read from JSON vector files.\n"
               "  -o, --output FILE       the driver's C++ source\n"
               "  --vectors DIR           write a vector skeleton per group there\n"
               "                          (Value_<group>.json; existing files are kept)\n"
               "  --include HEADER        a header the driver includes (repeatable)\n"
               "  --program NAME          the driver's name in its messages (default drive)\n"
               "  --root DIR              the project root the driver uses by default\n"
               "  --folder PATH           the vector folder under the root\n"
               "                          (default /Korvo_Projects/Value)\n"
               "  --hand FUNCTION         its routine is written by hand (repeatable)\n"
               "  --order GROUP=F1,F2,... calling order of a group's functions\n"
               "  -h, --help              this text\n"
               "Functions that cannot be driven (function pointers, void pointers,\n"
               "variadic, linked structures) are listed with the reason.\n"
               "Exit status: 0 written, 1 parse or write error, 2 usage error.\n");
}

bool WriteFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  return static_cast<bool>(out.flush());
}

}  // namespace

int main(int argc, char** argv) {
  qelgen::Settings settings;
  std::string output, vectors;
  bool compilerArgs = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (compilerArgs) {
      settings.compileArgs.push_back(arg);
      continue;
    }
    auto value = [&](std::string& out) {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "qelgen: option %s needs a value\n", arg.c_str());
        return false;
      }
      out = argv[++i];
      return true;
    };
    std::string v;
    if (arg == "--") {
      compilerArgs = true;
    } else if (arg == "-h" || arg == "--help") {
      Usage(stdout);
      return 0;
    } else if (arg == "-o" || arg == "--output") {
      if (!value(output)) return 2;
    } else if (arg == "--vectors") {
      if (!value(vectors)) return 2;
    } else if (arg == "--include") {
      if (!value(v)) return 2;
      settings.headers.push_back(v);
    } else if (arg == "--program") {
      if (!value(settings.program)) return 2;
    } else if (arg == "--root") {
      if (!value(settings.projectRoot)) return 2;
    } else if (arg == "--folder") {
      if (!value(settings.vectorFolder)) return 2;
    } else if (arg == "--hand") {
      if (!value(v)) return 2;
      settings.hand.insert(v);
    } else if (arg == "--order") {
      if (!value(v)) return 2;
      const std::size_t eq = v.find('=');
      if (eq == std::string::npos || eq == 0) {
        std::fprintf(stderr, "qelgen: --order needs GROUP=F1,F2,...\n");
        return 2;
      }
      std::vector<std::string>& names = settings.order[v.substr(0, eq)];
      std::stringstream list(v.substr(eq + 1));
      std::string name;
      while (std::getline(list, name, ','))
        if (!name.empty()) names.push_back(name);
    } else if (!arg.empty() && arg[0] == '-') {
      std::fprintf(stderr,
                   "qelgen: unknown option \"%s\"\nusage: qelgen -o FILE [options] "
                   "SOURCE... [-- COMPILER-ARGS]; qelgen --help for more\n",
                   arg.c_str());
      return 2;
    } else {
      settings.sources.push_back(arg);
    }
  }
  if (output.empty() || settings.sources.empty()) {
    std::fprintf(stderr,
                 "qelgen: %s\nusage: qelgen -o FILE [options] SOURCE... "
                 "[-- COMPILER-ARGS]; qelgen --help for more\n",
                 output.empty() ? "no output file (-o)" : "no source file");
    return 2;
  }
  for (const std::string& source : settings.sources) {
    struct stat st;
    if (stat(source.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
      std::fprintf(stderr, "qelgen: error: %s: no such source file\n", source.c_str());
      return 1;
    }
  }

  const qelgen::Output out = qelgen::Generate(settings);
  if (!out.errors.empty()) {
    for (const std::string& e : out.errors) std::fprintf(stderr, "qelgen: error: %s\n", e.c_str());
    return 1;
  }
  for (const qelgen::Skipped& s : out.skipped)
    std::fprintf(stderr, "qelgen: not driven: %s (%s): %s\n", s.function.c_str(), s.where.c_str(),
                 s.reason.c_str());
  if (!WriteFile(output, out.driver)) {
    std::fprintf(stderr, "qelgen: error: cannot write %s\n", output.c_str());
    return 1;
  }
  if (!vectors.empty()) {
    for (const auto& [name, text] : out.vectors) {
      const std::string path = vectors + "/" + name;
      struct stat st;
      if (stat(path.c_str(), &st) == 0) continue;  // the user's vectors stay
      if (!WriteFile(path, text)) {
        std::fprintf(stderr, "qelgen: error: cannot write %s\n", path.c_str());
        return 1;
      }
    }
  }
  std::fprintf(stderr, "qelgen: %d functions driven, %zu not driven, %zu hand-written\n",
               out.functions, out.skipped.size(), settings.hand.size());
  return 0;
}
