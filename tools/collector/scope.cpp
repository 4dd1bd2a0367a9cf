#include "scope.hpp"

#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <memory>

namespace qelc {

std::string lexicallyNormal(const std::string& path) {
  const bool absolute = !path.empty() && path[0] == '/';
  std::vector<std::string> parts;
  std::size_t i = 0;
  while (i <= path.size()) {
    const std::size_t j = std::min(path.find('/', i), path.size());
    const std::string part = path.substr(i, j - i);
    i = j + 1;
    if (part.empty() || part == ".") continue;
    if (part == ".." && !parts.empty() && parts.back() != "..") {
      parts.pop_back();
    } else if (part == ".." && absolute) {
      continue;  // "/.." is "/"
    } else {
      parts.push_back(part);
    }
  }
  std::string out = absolute ? "/" : "";
  for (std::size_t k = 0; k < parts.size(); ++k) out += (k ? "/" : "") + parts[k];
  return out.empty() ? "." : out;
}

std::string canonicalPath(const std::string& path) {
  // Resolving first, folding only when the file is not here: "a/../x.h"
  // with "a" a link to another folder means what the file system says.
  std::unique_ptr<char, decltype(&std::free)> real(realpath(path.c_str(), nullptr), &std::free);
  if (real) return real.get();
  return lexicallyNormal(path);
}

std::string relativeTo(const std::string& path, const std::string& root) {
  if (root.empty() || root == "/") return path.empty() || path[0] != '/' ? path : path.substr(1);
  std::size_t common = 0;
  // The longest shared run of whole folders.
  for (std::size_t i = 0; i <= root.size() && i <= path.size(); ++i) {
    const bool rootEnd = i == root.size() || root[i] == '/';
    const bool pathEnd = i == path.size() || path[i] == '/';
    if (rootEnd && pathEnd) common = i;
    if (i == root.size() || i == path.size() || root[i] != path[i]) break;
  }
  std::string up;
  for (std::size_t i = common; i < root.size(); ++i)
    if (root[i] == '/') up += "../";
  const std::string rest = common < path.size() ? path.substr(common + 1) : "";
  return up + rest;
}

bool PathScope::set(const std::string& root, const std::vector<std::string>& filters,
                    const std::vector<std::string>& excludes, std::string* error) {
  std::string r = root;
  if (r.empty()) {
    char cwd[PATH_MAX];
    r = getcwd(cwd, sizeof cwd) ? cwd : ".";
  }
  root_ = canonicalPath(r);
  const auto compile = [&](const std::vector<std::string>& in, std::vector<std::regex>* out,
                           const char* option) {
    for (const auto& e : in) try {
        out->emplace_back(e, std::regex::ECMAScript | std::regex::optimize);
      } catch (const std::regex_error& x) {
        *error = std::string(option) + " \"" + e + "\" is not a regular expression: " + x.what();
        return false;
      }
    return true;
  };
  return compile(filters, &filters_, "--filter") && compile(excludes, &excludes_, "--exclude");
}

bool PathScope::keeps(const std::string& path) const {
  if (!narrows()) return true;
  const std::string rel = relativeTo(path, root_);
  const auto matches = [&](const std::vector<std::regex>& res) {
    for (const auto& re : res)
      if (std::regex_search(rel, re, std::regex_constants::match_continuous)) return true;
    return false;
  };
  return (filters_.empty() || matches(filters_)) && !matches(excludes_);
}

void applyScope(const PathScope& scope, CoverageModel* m) {
  if (!scope.narrows()) return;
  std::vector<FileCov> kept;
  Totals totals;
  for (auto& f : m->files)
    if (scope.keeps(f.path)) {
      totals.add(f.totals);
      kept.push_back(std::move(f));
    }
  m->files = std::move(kept);
  m->totals = totals;
}

}  // namespace qelc
