// A source file as the listings show it (the annotated text report and the
// HTML pages): its text as read now, and the line numbers to list.
#pragma once

#include <string>
#include <vector>

#include "coverage.hpp"

namespace qelc {

struct SourceListing {
  std::vector<std::string> text;  // the file's lines; empty when it cannot be read
  // Every line of the file, and beyond its end only the lines the model
  // names: a map that does not match the file on disk must not make a
  // listing of a billion lines.
  std::vector<int> lines;

  bool readable() const { return !text.empty(); }
  // The text of line n, empty beyond the end of the file.
  const std::string& line(int n) const;
};

SourceListing readListing(const FileCov& f);

}  // namespace qelc
