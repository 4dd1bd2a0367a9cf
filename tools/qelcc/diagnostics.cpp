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

// gcc ends a warning with "[-Wname]" or "[-Wname=level]", clang with
// "[-Wname]" or, for a warning in a group of several, "[-Wname,-Wother]".
// A group the user tolerates by its own name ("-Wno-error=unused") is not
// matched to its members here: that warning counts as an error and the
// original compile decides, which costs a compile and never the result.
bool HasWarningMadeError(const std::string& diagnostics, const WarningsAsErrors& w) {
  if (!w.all) return false;
  std::istringstream in(diagnostics);
  std::string line;
  while (std::getline(in, line)) {
    if (line.find(": warning: ") == std::string::npos) continue;
    if (line.empty() || line.back() != ']') return true;
    const size_t open = line.rfind("[-W");
    if (open == std::string::npos) return true;
    std::string option = line.substr(open + 3, line.size() - open - 4);
    const size_t comma = option.find(',');
    if (comma != std::string::npos) option.resize(comma);
    if (w.tolerated.count(option) != 0) continue;
    const size_t eq = option.find('=');
    if (eq != std::string::npos && w.tolerated.count(option.substr(0, eq)) != 0) continue;
    return true;
  }
  return false;
}

}  // namespace qelcc
