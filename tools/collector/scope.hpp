// Which source files a report covers: --root, --filter and --exclude, and
// the one spelling of a path that every report uses, so that a header
// reached through two include paths (or a symbolic link) is one file.
#pragma once

#include <regex>
#include <string>
#include <vector>

#include "coverage.hpp"

namespace qelc {

// The one spelling of `path`: the file system's own (symbolic links and
// "." / ".." resolved, as realpath does) when the file exists here, else
// "." and ".." folded by text alone, so a report made away from the
// sources still merges what it can.
std::string canonicalPath(const std::string& path);

// "." and ".." folded and repeated slashes dropped, by text alone.
std::string lexicallyNormal(const std::string& path);

// `path` relative to the directory `root` (both absolute, normalised):
// "src/a.c", or "../lib/b.c" for a file outside it.
std::string relativeTo(const std::string& path, const std::string& root);

// --filter and --exclude, as gcovr reads them: each a regular expression
// matched from the start of the path relative to --root (anchored at its
// start, not its end, so "src/" keeps a whole folder). A file is kept when
// it matches any filter (or none is given) and no exclude.
class PathScope {
 public:
  // False with a message naming the bad expression.
  bool set(const std::string& root, const std::vector<std::string>& filters,
           const std::vector<std::string>& excludes, std::string* error);
  bool keeps(const std::string& path) const;
  bool narrows() const { return !filters_.empty() || !excludes_.empty(); }
  const std::string& root() const { return root_; }

 private:
  std::string root_;
  std::vector<std::regex> filters_, excludes_;
};

// Drops the files `scope` leaves out; the totals are those of the files kept.
void applyScope(const PathScope& scope, CoverageModel* m);

}  // namespace qelc
