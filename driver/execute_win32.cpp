// Running a test case on Windows (MinGW-w64, msvcrt): its standard input;
// Windows has no fork(), so a test case has no child process of its own.
#include <chrono>
#include <cstdio>
#include <string>
#include <utility>

#include "execute.h"
#include "execute_port.h"

// msvcrt's FILE is a plain structure that names its buffer and descriptor:
// swapping the contents of `stdin` with those of a temporary file gives the
// call the text, and swapping back returns the driver's stream with its
// buffer as it was (the stream locks stay where they are). The UCRT hides
// the structure; a build on it must not take this path.
static_assert(sizeof(std::FILE) > sizeof(void*), "FILE is the open msvcrt structure");

FeedStdin::FeedStdin(const std::string& text) : text_(text) {
  file_ = std::tmpfile();
  if (file_ == nullptr) return;
  if (std::fwrite(text_.data(), 1, text_.size(), file_) != text_.size() ||
      std::fflush(file_) != 0) {
    std::fclose(file_);
    file_ = nullptr;
    return;
  }
  std::rewind(file_);
  std::swap(*stdin, *file_);
}

FeedStdin::~FeedStdin() {
  if (file_ == nullptr) return;
  std::swap(*stdin, *file_);
  std::fclose(file_);
}

// No fnmatch() in the Windows C library: '*' and '?' by backtracking over
// the last '*' (linear in practice, quadratic at worst).
bool MatchesPattern(const std::string& pattern, const std::string& name) {
  std::size_t p = 0, n = 0, star = std::string::npos, resume = 0;
  while (n < name.size()) {
    if (p < pattern.size() && (pattern[p] == '?' || pattern[p] == name[n])) {
      ++p;
      ++n;
    } else if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      resume = n;
    } else if (star != std::string::npos) {
      p = star + 1;
      n = ++resume;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

CaseResult RunCaseIsolated(const Function&, const Json::Value&, int, const CaseOptions&, double) {
  // Running the case in this process instead would let a crash end the
  // whole run, which is what --isolate promises it will not: the case is
  // an error of its own, and the others still run.
  CaseResult result;
  result.verdict = Verdict::kError;
  result.message = "cannot isolate the test case: no fork() on Windows";
  return result;
}
