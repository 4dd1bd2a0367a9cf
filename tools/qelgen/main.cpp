// qelgen: writes a test driver for a C project.
//
//   qelgen -o drive.cpp --include project.h [options] a.c b.c ... [-- compiler args]
//
// Each source file is a group: its functions are driven from the vector
// file Value_<name>.json. Exit status: 0 written (functions that cannot be
// driven are listed on standard error), 1 parse or write error, 2 usage.
#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "generator.h"
#include "qeltools/command_line.hpp"

namespace {

const char* kUsage = "usage: qelgen -o FILE [options] SOURCE... [-- COMPILER-ARGS]\n";

const char* kDescription =
    "Writes a test driver that calls every function defined in the sources\n"
    "(one group per source file) with values read from JSON vector files.\n";

const char* kFooter =
    "Functions that cannot be driven (function pointers, void pointers,\n"
    "variadic, linked structures) are listed with the reason.\n"
    "Exit status: 0 written, 1 parse or write error, 2 usage error.";

bool WriteFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  return static_cast<bool>(out.flush());
}

}  // namespace

int main(int argc, char** argv) {
  qelgen::Settings settings;
  std::string output, vectors;
  std::vector<std::string> orders, hands;
  // The compiler's arguments after "--" are passed on as they are.
  int ours = argc;
  for (int i = 1; i < argc; ++i)
    if (std::string(argv[i]) == "--") {
      ours = i;
      settings.compileArgs.assign(argv + i + 1, argv + argc);
      break;
    }

  qeltools::CommandLine cl("qelgen", kUsage, kDescription, kFooter);
  CLI::App& app = cl.app();
  app.add_option("-o,--output", output, "the driver's C++ source")->option_text("FILE");
  app.add_option("--vectors", vectors,
                 "write a vector skeleton per group there\n"
                 "(Value_<group>.json; existing files are kept)")
      ->option_text("DIR");
  app.add_option("--include", settings.headers, "a header the driver includes (repeatable)")
      ->allow_extra_args(false)
      ->option_text("HEADER");
  app.add_option("--program", settings.program, "the driver's name in its messages (default drive)")
      ->option_text("NAME");
  app.add_option("--root", settings.projectRoot, "the project root the driver uses by default")
      ->option_text("DIR");
  app.add_option("--folder", settings.vectorFolder,
                 "the vector folder under the root\n(default /Korvo_Projects/Value)")
      ->option_text("PATH");
  app.add_option("--hand", hands, "its routine is written by hand (repeatable)")
      ->allow_extra_args(false)
      ->option_text("FUNCTION");
  app.add_option("--order", orders, "calling order of a group's functions")
      ->allow_extra_args(false)
      ->option_text("GROUP=F1,F2,...");
  app.add_option("SOURCE", settings.sources, "C sources, one group each");
  std::vector<const char*> args(argv, argv + ours);
  if (const int status = cl.parse(static_cast<int>(args.size()), args.data()); status >= 0)
    return status;

  settings.hand.insert(hands.begin(), hands.end());
  for (const std::string& v : orders) {
    const std::size_t eq = v.find('=');
    if (eq == std::string::npos || eq == 0) return cl.usageError("--order needs GROUP=F1,F2,...");
    std::vector<std::string>& names = settings.order[v.substr(0, eq)];
    std::stringstream list(v.substr(eq + 1));
    std::string name;
    while (std::getline(list, name, ','))
      if (!name.empty()) names.push_back(name);
  }
  if (output.empty()) return cl.usageError("no output file (-o)");
  if (settings.sources.empty()) return cl.usageError("no source file");
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
    // The folder is made as -o's file is: a first run into a new project.
    std::error_code ec;
    std::filesystem::create_directories(vectors, ec);
    if (ec) {
      std::fprintf(stderr, "qelgen: error: cannot create %s: %s\n", vectors.c_str(),
                   ec.message().c_str());
      return 1;
    }
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
