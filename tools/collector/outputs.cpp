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
       [](const std::string& dir, const CoverageModel& m, const OutputContext&,
          std::string* error) { return writeHtml(dir, m, error); }},
      {"--lcov", "FILE", "LCOV file", "LCOV tracefile",
       [](std::ostream& os, const CoverageModel& m, const OutputContext&) { writeLcov(os, m); },
       nullptr},
      {"--cobertura", "FILE", "Cobertura file", "Cobertura XML",
       [](std::ostream& os, const CoverageModel& m, const OutputContext& c) {
         writeCobertura(os, m, c.timestamp);
       },
       nullptr},
      {"--json", "FILE", "JSON file", "the coverage model as one JSON document",
       [](std::ostream& os, const CoverageModel& m, const OutputContext&) {
         writeCoverageJson(os, m);
       },
       nullptr},
  };
  return kFormats;
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
