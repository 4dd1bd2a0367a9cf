#include "runner.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>

#include "events.h"
#include "execute_port.h"
#include "options.h"
#include "qeltools/pattern.hpp"
#include "report.h"

namespace {

namespace fs = std::filesystem;

// Declared in this order so that each group is torn down stream first,
// then reader, then root.
struct GroupState {
  std::string path;
  std::string problem;  // why the file could not be read; empty if it was
  Json::Value root;
  Json::Reader reader;
  std::ifstream stream;
};

struct PlannedCase {
  const Function* function;
  int index;
  std::string key;
};

// The verdicts of a checked run so far; `number` counts every test case run.
struct Tally {
  int passed = 0;
  int failed = 0;
  int skipped = 0;
  int number = 0;
};

class Driver {
 public:
  Driver(const DriverSetup& setup, const Options& options) : setup_(setup), options_(options) {}
  int Run();

 private:
  void Complain(const std::string& file, const std::string& testCase, const std::string& member,
                const std::string& problem) const;
  void Warn(const std::string& file, const std::string& problem) const;
  void Note(const std::string& file, const std::string& text) const;
  int ReadFiles(const std::string& root);
  bool HasExpectations() const;
  std::vector<PlannedCase> Plan(const Group& group, const GroupState& state,
                                std::vector<std::string>& unknown) const;
  bool Selected(const std::string& key) const;
  // The steps of Run, in order.
  int CheckRoot(const std::string& root) const;
  void PlanAll();
  int CheckFilters() const;
  void List() const;
  void ReportFileErrors(std::size_t g, TapStream* tap, SuiteReport& suite) const;
  bool RunGroup(std::size_t g, const CaseOptions& caseOptions, TapStream* tap, Tally& tally,
                SuiteReport& suite) const;
  bool NotePlainCase(const std::string& path, const PlannedCase& c, const CaseResult& result) const;
  void CountCheckedCase(const PlannedCase& c, const CaseResult& result, TapStream* tap,
                        Tally& tally, SuiteReport& suite) const;
  int Finish(const Tally& tally, const std::vector<SuiteReport>& suites, TapStream* tap) const;

  const DriverSetup& setup_;
  const Options& options_;
  std::vector<std::unique_ptr<GroupState>> states_;
  // A checked run: every test case, verdicts, a summary (see --help).
  bool checking_ = false;
  // The plan, per group: the test cases that run, the members that name
  // none; their totals.
  std::vector<std::vector<PlannedCase>> plans_;
  std::vector<std::vector<std::string>> unknowns_;
  int planned_ = 0;
  int fileErrors_ = 0;
};

void Driver::Complain(const std::string& file, const std::string& testCase,
                      const std::string& member, const std::string& problem) const {
  // What the functions printed so far stays, and comes before the message.
  std::fflush(stdout);
  std::string where = file + ": test case \"" + testCase + "\"";
  if (!member.empty()) where += ", member \"" + member + "\"";
  std::fprintf(stderr, "%s: error: %s: %s\n", setup_.program, where.c_str(), problem.c_str());
}

void Driver::Warn(const std::string& file, const std::string& problem) const {
  std::fflush(stdout);
  std::fprintf(stderr, "%s: warning: %s: %s; every test case of its group reads as null\n",
               setup_.program, file.c_str(), problem.c_str());
}

void Driver::Note(const std::string& file, const std::string& text) const {
  std::fflush(stdout);
  std::fprintf(stderr, "%s: note: %s: %s\n", setup_.program, file.c_str(), text.c_str());
}

// 0, or the exit status of a file that ends the run.
int Driver::ReadFiles(const std::string& root) {
  for (const Group& group : setup_.groups) {
    states_.push_back(std::make_unique<GroupState>());
    GroupState& state = *states_.back();
    state.path = root + group.file;
    std::error_code ec;
    if (fs::is_directory(state.path, ec)) {
      std::fprintf(stderr, "%s: error: %s: is a directory, not a test-vector file\n",
                   setup_.program, state.path.c_str());
      return 1;
    }
    state.stream.open(state.path, std::ios::in);
    if (!state.stream.is_open()) {
      state.problem = "cannot open the file";
      Warn(state.path, state.problem);
      continue;
    }
    bool parsed = false;
    try {
      parsed = state.reader.parse(state.stream, state.root, true);
    } catch (const std::exception& e) {
      // jsoncpp throws past its own error report on nesting deeper
      // than its stack limit, the stream on a read error.
      std::fflush(stdout);
      std::fprintf(stderr, "%s: error: %s: cannot be read: %s\n", setup_.program,
                   state.path.c_str(), e.what());
      return 1;
    }
    if (!parsed) {
      // The reader's report spans lines ("* Line 1, Column 8\n  ...");
      // the warning keeps to one line.
      std::string why;
      for (char c : state.reader.getFormattedErrorMessages()) {
        if (c == '\n' || c == ' ') c = ' ';
        if (c == '*' && why.empty()) continue;
        if (c == ' ' && (why.empty() || why.back() == ' ')) continue;
        why.push_back(c);
      }
      if (!why.empty() && why.back() == ' ') why.pop_back();
      // A half-parsed root would drive some functions with values and
      // others with nulls; the whole group reads as null instead.
      state.root = Json::Value();
      state.problem = "not valid JSON: " + why;
      Warn(state.path, state.problem);
    }
  }
  return 0;
}

bool Driver::HasExpectations() const {
  for (std::size_t g = 0; g < setup_.groups.size(); ++g) {
    if (setup_.groups[g].functions.empty()) continue;
    const Json::Value& root = states_[g]->root;
    if (!root.isObject()) continue;
    for (const std::string& name : root.getMemberNames())
      if (root[name].isObject() && root[name].isMember(kExpectMember)) return true;
  }
  return false;
}

// The index that `key` gives a test case of `function`, or -1.
int CaseIndex(const std::string& key, const std::string& function) {
  if (key.size() <= function.size() || key.compare(0, function.size(), function) != 0) return -1;
  const std::string digits = key.substr(function.size());
  if (digits.size() > 9 || (digits.size() > 1 && digits[0] == '0')) return -1;
  for (char c : digits)
    if (c < '0' || c > '9') return -1;
  return std::atoi(digits.c_str());
}

std::vector<PlannedCase> Driver::Plan(const Group& group, const GroupState& state,
                                      std::vector<std::string>& unknown) const {
  // Which function each member of the file belongs to; with functions "f"
  // and "f1", "f10" is test case 0 of "f1": the longest name wins.
  struct Found {
    std::ptrdiff_t offset;
    int index;
  };
  std::vector<std::vector<Found>> found(group.functions.size());
  if (state.root.isObject() && !group.functions.empty()) {
    for (const std::string& key : state.root.getMemberNames()) {
      int best = -1;
      int bestIndex = -1;
      for (std::size_t f = 0; f < group.functions.size(); ++f) {
        const int index = CaseIndex(key, group.functions[f].name);
        if (index < 0) continue;
        if (best < 0 ||
            std::strlen(group.functions[f].name) > std::strlen(group.functions[best].name)) {
          best = static_cast<int>(f);
          bestIndex = index;
        }
      }
      if (best < 0)
        unknown.push_back(key);
      else
        found[best].push_back({state.root[key].getOffsetStart(), bestIndex});
    }
  }
  const bool every = checking_;
  std::vector<PlannedCase> plan;
  for (std::size_t f = 0; f < group.functions.size(); ++f) {
    const Function& function = group.functions[f];
    std::vector<Found>& cases = found[f];
    // A function that the file gives no test case still runs once, with
    // nulls, as it always has.
    if (!every || cases.empty()) {
      plan.push_back({&function, 0, MakeCaseKey(function.name, 0)});
      continue;
    }
    std::stable_sort(cases.begin(), cases.end(),
                     [](const Found& a, const Found& b) { return a.offset < b.offset; });
    for (const Found& c : cases)
      plan.push_back({&function, c.index, MakeCaseKey(function.name, c.index)});
  }
  return plan;
}

bool Driver::Selected(const std::string& key) const {
  if (options_.filters.empty()) return true;
  for (const std::string& pattern : options_.filters)
    if (qeltools::matchesPattern(pattern, key)) return true;
  return false;
}

std::string SuiteName(const std::string& path) {
  std::string name = fs::path(path).filename().string();
  const std::string ext = ".json";
  if (name.size() > ext.size() && name.compare(name.size() - ext.size(), ext.size(), ext) == 0)
    name.resize(name.size() - ext.size());
  return name;
}

const char* VerdictWord(Verdict v) {
  switch (v) {
    case Verdict::kPassed:
      return "PASS";
    case Verdict::kFailed:
      return "FAIL";
    case Verdict::kSkipped:
      return "SKIP";
    case Verdict::kError:
      return "ERROR";
  }
  return "?";
}

// 0, or the exit status of a project root that cannot be driven.
int Driver::CheckRoot(const std::string& root) const {
  std::error_code ec;
  if (!fs::is_directory(root, ec)) {
    std::fprintf(stderr, "%s: error: project root \"%s\" %s\n", setup_.program, root.c_str(),
                 fs::exists(root, ec) ? "is not a directory" : "does not exist");
    return 2;
  }
  if (!setup_.groups.empty()) {
    const fs::path folder = fs::path(root + setup_.groups[0].file).parent_path();
    if (!fs::is_directory(folder, ec)) {
      std::fprintf(stderr, "%s: error: project root \"%s\" has no vector folder %s\n",
                   setup_.program, root.c_str(), folder.string().c_str());
      return 2;
    }
  }
  return 0;
}

// Everything that will run is known before the first call: the TAP plan
// and --list need it.
void Driver::PlanAll() {
  for (std::size_t g = 0; g < setup_.groups.size(); ++g) {
    unknowns_.emplace_back();
    std::vector<PlannedCase> plan = Plan(setup_.groups[g], *states_[g], unknowns_.back());
    plan.erase(std::remove_if(plan.begin(), plan.end(),
                              [&](const PlannedCase& c) { return !Selected(c.key); }),
               plan.end());
    planned_ += static_cast<int>(plan.size());
    if (!setup_.groups[g].functions.empty()) {
      if (!states_[g]->problem.empty()) ++fileErrors_;
      fileErrors_ += static_cast<int>(unknowns_.back().size());
    }
    plans_.push_back(std::move(plan));
  }
}

// 0, or 2 when --filter was given and selects nothing: a mistyped pattern
// in a CI job must not pass as a run of nothing.
int Driver::CheckFilters() const {
  if (options_.filters.empty() || planned_ > 0) return 0;
  std::string patterns;
  for (const std::string& pattern : options_.filters)
    patterns += (patterns.empty() ? "\"" : " or \"") + pattern + "\"";
  std::fflush(stdout);
  std::fprintf(stderr, "%s: error: no test case matches --filter %s\n", setup_.program,
               patterns.c_str());
  return 2;
}

void Driver::List() const {
  for (const std::vector<PlannedCase>& plan : plans_)
    for (const PlannedCase& c : plan) std::printf("%s\n", c.key.c_str());
  std::fflush(stdout);
}

// The members of a group's file that name no test case, and a file that
// could not be read: notes in a plain run, errors of the suite in a checked
// one.
void Driver::ReportFileErrors(std::size_t g, TapStream* tap, SuiteReport& suite) const {
  const GroupState& state = *states_[g];
  if (setup_.groups[g].functions.empty()) return;
  if (!state.problem.empty()) suite.fileError = state.problem;
  for (const std::string& key : unknowns_[g]) {
    const std::string text =
        "\"" + key + "\" is not a test case of any function of this file; not run";
    if (!checking_) {
      Note(state.path, text);
      continue;
    }
    std::fprintf(stderr, "[ERROR] %s: %s\n", state.path.c_str(), text.c_str());
    if (tap) tap->FileError(state.path, text);
    suite.fileError += (suite.fileError.empty() ? "" : "; ") + text;
  }
  if (checking_ && tap && !state.problem.empty()) tap->FileError(state.path, state.problem);
}

// A plain run's account of a test case: a bad vector ends the run (false),
// a withheld call and unread members are notes.
bool Driver::NotePlainCase(const std::string& path, const PlannedCase& c,
                           const CaseResult& result) const {
  if (result.badVector) {
    Complain(path, c.key, result.member, result.problem);
    return false;
  }
  if (result.verdict == Verdict::kSkipped)
    Note(path, "test case \"" + c.key + "\": " + result.message + "; call skipped");
  for (const std::string& name : result.unread)
    Note(path, "test case \"" + c.key + "\": member \"" + name + "\" is not read by the driver");
  return true;
}

// A checked run's account of a test case: its verdict line, TAP, the count.
void Driver::CountCheckedCase(const PlannedCase& c, const CaseResult& result, TapStream* tap,
                              Tally& tally, SuiteReport& suite) const {
  switch (result.verdict) {
    case Verdict::kPassed:
      ++tally.passed;
      break;
    case Verdict::kSkipped:
      ++tally.skipped;
      break;
    case Verdict::kFailed:
    case Verdict::kError:
      ++tally.failed;
      break;
  }
  std::fflush(stdout);
  if (result.message.empty())
    std::fprintf(stderr, "[%s] %s\n", VerdictWord(result.verdict), c.key.c_str());
  else
    std::fprintf(stderr, "[%s] %s: %s\n", VerdictWord(result.verdict), c.key.c_str(),
                 result.message.c_str());
  if (tap) tap->Case(c.key, result);
  suite.cases.push_back({c.key, result});
}

// Runs the planned test cases of group `g`. False when a plain run ends
// at a bad vector.
bool Driver::RunGroup(std::size_t g, const CaseOptions& caseOptions, TapStream* tap, Tally& tally,
                      SuiteReport& suite) const {
  const GroupState& state = *states_[g];
  for (const PlannedCase& c : plans_[g]) {
    ReportCaseStarted(c.key, tally.number);
    const CaseResult result =
        options_.isolate
            ? RunCaseIsolated(*c.function, state.root, c.index, caseOptions, options_.timeout)
            : RunCase(*c.function, state.root, c.index, caseOptions);
    ReportCaseStopped(tally.number, result.verdict);
    ++tally.number;
    if (!checking_) {
      if (!NotePlainCase(state.path, c, result)) return false;
      continue;
    }
    CountCheckedCase(c, result, tap, tally, suite);
  }
  return true;
}

// The end of a checked run: JUnit, the summary line, the exit status.
int Driver::Finish(const Tally& tally, const std::vector<SuiteReport>& suites,
                   TapStream* tap) const {
  int status = tally.failed > 0 || fileErrors_ > 0 ? 1 : 0;
  if (!options_.junit.empty()) {
    std::string error;
    if (!WriteJUnit(options_.junit, suites, error)) {
      std::fprintf(stderr, "%s: error: %s\n", setup_.program, error.c_str());
      status = 1;
    }
  }
  std::string summary =
      std::to_string(tally.passed) + " passed, " + std::to_string(tally.failed) + " failed";
  if (tally.skipped > 0) summary += ", " + std::to_string(tally.skipped) + " skipped";
  if (fileErrors_ > 0)
    summary += ", " + std::to_string(fileErrors_) + (fileErrors_ == 1 ? " error" : " errors") +
               " in vector files";
  if (tap) std::printf("# %s\n", summary.c_str());
  std::fflush(stdout);
  std::fprintf(stderr, "%s\n", summary.c_str());
  return status;
}

int Driver::Run() {
  const std::string root = options_.root.empty() ? setup_.defaultRoot : options_.root;
  if (const int status = CheckRoot(root); status != 0) return status;
  if (const int status = ReadFiles(root); status != 0) return status;
  checking_ = options_.check || options_.list || options_.isolate || options_.tap ||
              !options_.junit.empty() || !options_.filters.empty() || HasExpectations();
  PlanAll();
  if (const int status = CheckFilters(); status != 0) return status;
  if (options_.list) {
    List();
    return 0;
  }

  std::optional<TapStream> tap;
  if (options_.tap) {
    tap.emplace(stdout);
    tap->Plan(planned_ + (checking_ ? fileErrors_ : 0));
  }
  CaseOptions caseOptions;
  caseOptions.capture = options_.tap;
  caseOptions.record = !options_.junit.empty();
  caseOptions.strict = checking_;

  std::vector<SuiteReport> suites;
  Tally tally;
  for (std::size_t g = 0; g < setup_.groups.size(); ++g) {
    SuiteReport suite;
    suite.name = SuiteName(states_[g]->path);
    suite.path = states_[g]->path;
    ReportFileErrors(g, tap ? &*tap : nullptr, suite);
    if (!RunGroup(g, caseOptions, tap ? &*tap : nullptr, tally, suite)) return 1;
    suites.push_back(std::move(suite));
  }
  std::fflush(stdout);
  if (!checking_) return 0;
  return Finish(tally, suites, tap ? &*tap : nullptr);
}

}  // namespace

int DriverMain(int argc, char** argv, const DriverSetup& setup) {
  std::vector<Function> functions;
  for (const Group& group : setup.groups)
    functions.insert(functions.end(), group.functions.begin(), group.functions.end());
  const int childStatus = RunIsolatedChild(argc, argv, functions);
  if (childStatus >= 0) return childStatus;
  Options options;
  const int status = ParseOptions(argc, argv, setup.program, options);
  if (status >= 0) return status;
  Driver driver(setup, options);
  return driver.Run();
}
