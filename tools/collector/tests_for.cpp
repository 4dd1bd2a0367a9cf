#include "tests_for.hpp"

#include <ostream>

#include "scope.hpp"

namespace qelc {

const FileCov* findFile(const CoverageModel& m, const std::string& file, const std::string& root,
                        std::string* error) {
  const std::string spelled =
      canonicalPath(file.empty() || file[0] == '/' ? file : root + "/" + file);
  const FileCov* suffix = nullptr;
  int suffixes = 0;
  const std::string tail = "/" + lexicallyNormal(file);
  for (const FileCov& f : m.files) {
    if (f.path == spelled) return &f;
    if (f.path.size() > tail.size() &&
        f.path.compare(f.path.size() - tail.size(), tail.size(), tail) == 0) {
      suffix = &f;
      ++suffixes;
    }
  }
  if (suffixes == 1) return suffix;
  *error = suffixes ? file + " names " + std::to_string(suffixes) +
                          " files of the maps; give more of its path"
                    : file + " is no source file of the maps";
  return nullptr;
}

bool writeTestsFor(std::ostream& out, std::ostream& err, const CoverageModel& m,
                   const std::string& spec, const std::string& root, std::string* error) {
  const auto colon = spec.rfind(':');
  const std::string file = spec.substr(0, colon);
  const int line = std::stoi(spec.substr(colon + 1));
  if (m.tests.empty()) {
    *error =
        "--tests-for needs tests to tell apart: test cases (test-case events), several "
        "processes under \"qelcollect -- COMMAND\", or \"qelcollect report\" given one run "
        "file per test (each saved with --out)";
    return false;
  }
  const FileCov* f = findFile(m, file, root, error);
  if (!f) return false;
  if (!f->lines.count(line)) {
    *error = spec + " is not a code line of the maps";
    return false;
  }
  const auto it = f->lineTests.find(line);
  const TestSet none;
  const TestSet& tests = it == f->lineTests.end() ? none : it->second;
  std::string failed;
  for (uint32_t t : tests) {
    const TestRecord& r = m.tests.at(t);
    out << r.name << "\n";
    if (r.failedCases) failed += (failed.empty() ? "" : ", ") + r.name;
  }
  err << "qelcollect: " << tests.size() << " of " << m.tests.size() << " test(s) ran " << spec;
  if (!failed.empty()) err << "; failed among them: " << failed;
  err << "\n";
  return true;
}

}  // namespace qelc
