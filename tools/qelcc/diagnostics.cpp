#include "diagnostics.h"

#include <sstream>

namespace qelcc {

WarningsAsErrors WarningsAsErrorsOf(const std::vector<std::string>& args) {
  WarningsAsErrors w;
  for (const std::string& a : args) {
    if (a == "-Werror") {
      w.all = true;
    } else if (a == "-Wno-error") {
      w.all = false;
    } else if (a.rfind("-Wno-error=", 0) == 0) {
      w.tolerated.insert(a.substr(11));
    } else if (a.rfind("-Werror=", 0) == 0) {
      w.tolerated.erase(a.substr(8));
    }
  }
  return w;
}

namespace {

// Colour (-fdiagnostics-color=always, which build tools pass) wraps the
// words in escape sequences: ESC [ parameters, then one final byte.
std::string WithoutColour(const std::string& line) {
  std::string out;
  out.reserve(line.size());
  for (size_t i = 0; i < line.size(); ++i) {
    if (line[i] == '\x1b' && i + 1 < line.size() && line[i + 1] == '[') {
      i += 2;
      while (i < line.size() && !(line[i] >= 0x40 && line[i] <= 0x7e)) ++i;
      continue;
    }
    out += line[i];
  }
  return out;
}

}  // namespace

// gcc ends a warning with "[-Wname]" or "[-Wname=level]", clang with
// "[-Wname]" or, for a warning in a group of several, "[-Wname,-Wother]".
// Whatever is not read as a tolerated warning counts as one made an error,
// so that the original compile decides: a group tolerated by its own name
// ("-Wno-error=unused"), diagnostics in another language or as JSON. That
// costs a compile, never the result.
bool HasWarningMadeError(const std::string& diagnostics, const WarningsAsErrors& w) {
  if (!w.all) return false;
  std::istringstream in(diagnostics);
  std::string raw;
  bool tolerated_only = false;
  while (std::getline(in, raw)) {
    const std::string line = WithoutColour(raw);
    if (line.find(": warning: ") == std::string::npos) continue;
    if (line.empty() || line.back() != ']') return true;
    const size_t open = line.rfind("[-W");
    if (open == std::string::npos) return true;
    std::string option = line.substr(open + 3, line.size() - open - 4);
    const size_t comma = option.find(',');
    if (comma != std::string::npos) option.resize(comma);
    const size_t eq = option.find('=');
    if (w.tolerated.count(option) == 0 &&
        (eq == std::string::npos || w.tolerated.count(option.substr(0, eq)) == 0))
      return true;
    tolerated_only = true;
  }
  // Output, but no warning read in it.
  return !tolerated_only && diagnostics.find_first_not_of(" \t\r\n") != std::string::npos;
}

}  // namespace qelcc
