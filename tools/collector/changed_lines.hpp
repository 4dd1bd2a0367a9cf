// Coverage of the lines a change touched: the changed lines read from a
// unified diff (given, or from git), and the coverage model narrowed to
// them, so every output shows a pull request's figures by the same rules
// as the whole project's.
#pragma once

#include <map>
#include <set>
#include <string>

#include "coverage.hpp"

namespace qelc {

// Lines of the new side of a diff, per file (paths as canonicalPath spells
// them).
using ChangedLines = std::map<std::string, std::set<int>>;

// Reads a unified diff (git's, or diff -u's, with or without context):
// the lines each "+" line puts into the new file. Paths are taken from the
// "+++" headers, a leading "b/" dropped (git's prefix), relative ones
// joined to `base`. Deleted files add nothing. False with a message on a
// hunk header that cannot be read.
bool parseUnifiedDiff(const std::string& text, const std::string& base, ChangedLines* out,
                      std::string* error);

// Runs `git diff -U0 REF` in the repository that holds `dir` and reads it.
// False with git's own message when git fails (no repository, unknown REF).
bool gitChangedLines(const std::string& dir, const std::string& ref, ChangedLines* out,
                     std::string* error);

// The model narrowed to the changed lines: only the changed code lines,
// the decisions that start or end on a changed line, the functions that
// hold a changed line, with totals recounted. Files without a changed code
// line or decision are left out.
CoverageModel restrictToChanged(const CoverageModel& m, const ChangedLines& changed);

// A changed-lines report besides the whole one: what it was taken against
// ("git diff main", or the diff file) and its model.
struct ChangeReport {
  std::string against;
  CoverageModel model;
};

}  // namespace qelc
