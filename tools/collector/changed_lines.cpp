#include "changed_lines.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <sstream>
#include <vector>

#include "qeltools/process.hpp"
#include "scope.hpp"

namespace qelc {
namespace {

// "@@ -a[,b] +c[,d] @@": the first new line and how many follow.
bool hunkHeader(const std::string& line, int* start, int* count) {
  const std::size_t plus = line.find(" +");
  if (plus == std::string::npos) return false;
  const char* p = line.c_str() + plus + 2;
  char* end = nullptr;
  errno = 0;
  const long s = std::strtol(p, &end, 10);
  if (end == p || errno || s < 0 || s > (1L << 30)) return false;
  long c = 1;
  if (*end == ',') {
    p = end + 1;
    c = std::strtol(p, &end, 10);
    if (end == p || errno || c < 0 || c > (1L << 30)) return false;
  }
  if (*end != ' ') return false;
  *start = static_cast<int>(s);
  *count = static_cast<int>(c);
  return true;
}

std::string headerPath(std::string p) {
  // "+++ b/src/a.c\t2024-01-01 ..." (diff -u puts a date after a tab).
  if (const auto tab = p.find('\t'); tab != std::string::npos) p.resize(tab);
  if (p.size() >= 2 && p.front() == '"' && p.back() == '"') p = p.substr(1, p.size() - 2);
  return p;
}

// Runs argv with its standard output into *out, standard error into *err
// and no input; its status (qeltools' rule), or -1 when it cannot start.
int runCapture(const std::vector<std::string>& args, std::string* out, std::string* err) {
  int pout[2], perr[2];
  if (pipe2(pout, O_CLOEXEC) != 0) return -1;
  if (pipe2(perr, O_CLOEXEC) != 0) {
    close(pout[0]);
    close(pout[1]);
    return -1;
  }
  const int none = open("/dev/null", O_RDONLY | O_CLOEXEC);
  qeltools::StartOptions options;
  options.input = none;
  options.output = pout[1];
  options.error = perr[1];
  qeltools::Process process;
  std::string why;
  const bool started = process.start(args, options, &why);
  if (none >= 0) close(none);
  close(pout[1]);
  close(perr[1]);
  if (!started) {
    close(pout[0]);
    close(perr[0]);
    *err = "cannot run " + args[0] + ": " + why;
    return -1;
  }
  // git writes a line or two to standard error, far below a pipe's
  // buffer, so reading standard output to its end first cannot stall it.
  char buf[65536];
  for (int fd : {pout[0], perr[0]}) {
    std::string& to = fd == pout[0] ? *out : *err;
    for (ssize_t n; (n = read(fd, buf, sizeof buf)) != 0;) {
      if (n < 0) {
        if (errno == EINTR) continue;
        break;
      }
      to.append(buf, static_cast<std::size_t>(n));
    }
    close(fd);
  }
  return process.wait().status();
}

std::string firstLine(const std::string& s) {
  const std::string l = s.substr(0, s.find('\n'));
  return l.empty() ? "no message" : l;
}

}  // namespace

bool parseUnifiedDiff(const std::string& text, const std::string& base, ChangedLines* out,
                      std::string* error) {
  std::istringstream in(text);
  std::set<int>* lines = nullptr;
  int next = 0;       // new-file line of the next "+" or " " line
  int remaining = 0;  // new-file lines left in the current hunk
  int number = 0;
  for (std::string line; std::getline(in, line);) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.rfind("+++ ", 0) == 0 && remaining == 0) {
      std::string p = headerPath(line.substr(4));
      lines = nullptr;
      if (p == "/dev/null") continue;
      if (p.rfind("b/", 0) == 0) p = p.substr(2);
      if (p.empty() || p[0] != '/') p = base + "/" + p;
      lines = &(*out)[canonicalPath(p)];
    } else if (line.rfind("@@ ", 0) == 0) {
      if (!hunkHeader(line, &next, &remaining)) {
        *error = "line " + std::to_string(number) + " of the diff is not a hunk header: " + line;
        return false;
      }
    } else if (remaining > 0 && !line.empty() && (line[0] == '+' || line[0] == ' ')) {
      if (line[0] == '+' && lines) lines->insert(next);
      ++next;
      --remaining;
    } else if (remaining > 0 && line.empty()) {
      // An empty context line whose blank some tools strip.
      ++next;
      --remaining;
    }
  }
  return true;
}

bool gitChangedLines(const std::string& dir, const std::string& ref, ChangedLines* out,
                     std::string* error) {
  std::string top, err;
  if (runCapture({"git", "-C", dir, "rev-parse", "--show-toplevel"}, &top, &err) != 0) {
    *error = "--diff-base needs a git repository at " + dir + ": " + firstLine(err);
    return false;
  }
  while (!top.empty() && (top.back() == '\n' || top.back() == '\r')) top.pop_back();
  std::string diff;
  err.clear();
  // "--" keeps a REF that looks like an option or a path from being read as one.
  if (runCapture({"git", "-C", top, "diff", "-U0", "--no-color", "--no-ext-diff", "--no-renames",
                  "--end-of-options", ref, "--"},
                 &diff, &err) != 0) {
    *error = "git diff " + ref + " failed: " + firstLine(err);
    return false;
  }
  return parseUnifiedDiff(diff, top, out, error);
}

CoverageModel restrictToChanged(const CoverageModel& m, const ChangedLines& changed) {
  CoverageModel out;
  for (const FileCov& f : m.files) {
    const auto c = changed.find(f.path);
    if (c == changed.end() || c->second.empty()) continue;
    const std::set<int>& lines = c->second;
    const auto touches = [&](int from, int to) {
      const auto it = lines.lower_bound(from);
      return it != lines.end() && *it <= to;
    };
    FileCov n;
    n.path = f.path;
    for (const auto& [l, count] : f.lines)
      if (lines.count(l)) n.lines.emplace(l, count);
    for (const auto& [l, tests] : f.lineTests)
      if (lines.count(l)) n.lineTests.emplace(l, tests);
    for (const auto& d : f.decisions)
      if (lines.count(d.range.line) || lines.count(d.range.endLine)) n.decisions.push_back(d);
    if (n.lines.empty() && n.decisions.empty()) continue;
    for (const auto& fn : f.functions)
      if (touches(fn.line, fn.endLine)) n.functions.push_back(fn);
    countFile(&n);
    out.totals.add(n.totals);
    out.files.push_back(std::move(n));
  }
  return out;
}

}  // namespace qelc
