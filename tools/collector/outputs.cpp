#include "outputs.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <fstream>

namespace qelc {

const std::vector<OutputFormat>& outputFormats() {
  static const std::vector<OutputFormat> kFormats = {
      {"--html", "DIR", "HTML report", "HTML report: DIR/index.html and one page per source file",
       nullptr,
       [](const std::string& dir, const CoverageModel& m, const OutputContext& c,
          std::string* error) { return writeHtml(dir, m, error, c.changes); }},
      {"--lcov", "FILE", "LCOV file", "LCOV tracefile",
       [](std::ostream& os, const CoverageModel& m, const OutputContext&) { writeLcov(os, m); },
       nullptr},
      {"--cobertura", "FILE", "Cobertura file", "Cobertura XML",
       [](std::ostream& os, const CoverageModel& m, const OutputContext& c) {
         writeCobertura(os, m, c.timestamp);
       },
       nullptr},
      // Cobertura has no place for a second set of figures; a second file
      // of the same format lets CI tools that read it show the change's.
      {"--cobertura-diff", "FILE", "Cobertura file of the changed lines",
       "Cobertura XML of the changed lines alone (with --diff-base\nor --diff)",
       [](std::ostream& os, const CoverageModel&, const OutputContext& c) {
         writeCobertura(os, c.changes ? c.changes->model : CoverageModel{}, c.timestamp);
       },
       nullptr},
      {"--json", "FILE", "JSON file", "the coverage model as one JSON document",
       [](std::ostream& os, const CoverageModel& m, const OutputContext& c) {
         writeCoverageJson(os, m, c.changes);
       },
       nullptr},
  };
  return kFormats;
}

bool needsChangedLines(const OutputFormat& f) {
  return std::strcmp(f.option, "--cobertura-diff") == 0;
}

bool prepareOutput(const OutputFormat& f, const std::string& target, std::string* error) {
  if (f.toDirectory) {
    if (mkdir(target.c_str(), 0777) != 0 && errno != EEXIST) {
      *error = "cannot create " + target + ": " + std::strerror(errno);
      return false;
    }
    return true;
  }
  std::ofstream probe(target, std::ios::out | std::ios::app);
  if (!probe) {
    *error = "cannot write " + target + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

bool writeOutput(const OutputFormat& f, const std::string& target, const CoverageModel& m,
                 const OutputContext& c, std::string* error) {
  if (f.toDirectory) return f.toDirectory(target, m, c, error);
  std::ofstream out(target, std::ios::out | std::ios::trunc);
  if (out) f.toStream(out, m, c);
  out.flush();
  if (!out) {
    *error = std::string("cannot write the ") + f.name + " " + target + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

}  // namespace qelc
