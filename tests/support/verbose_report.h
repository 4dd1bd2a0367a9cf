// The verbose text report of a collection, which names every record: two
// collections that give the same one were read to the same content.
#pragma once

#include <sstream>
#include <string>

#include "collection.hpp"
#include "text_report.hpp"

namespace qeltest {

inline std::string verboseTextReport(const qelc::Collection& c) {
  qelc::TextReportOptions o;
  o.verbose = true;
  std::ostringstream os;
  qelc::writeTextReport(os, c, o);
  return os.str();
}

}  // namespace qeltest
