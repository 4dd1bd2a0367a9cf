// qelcollect: receives what a QELMQLib-instrumented program streams and
// prints its coverage report; `qelcollect report` rebuilds the report from
// saved runs. Here the steps of a run in order; each step's room is its
// own file (cli, collect, child_process, child_config and spool, runfile,
// coverage, text_report, outputs).

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>

#include "child_config.hpp"
#include "cli.hpp"
#include "collect.hpp"
#include "coverage.hpp"
#include "early_maps.hpp"
#include "outputs.hpp"
#include "receiver.hpp"
#include "runfile.hpp"
#include "scope.hpp"
#include "srcmap.hpp"
#include "step_times.hpp"
#include "tests_for.hpp"
#include "text_report.hpp"

extern char** environ;

namespace {

using namespace qelc;

constexpr long kLiveMalformed = 20;

bool loadMaps(const Options& opt, SourceMap* map) {
  for (const auto& dir : opt.maps) {
    std::string error;
    if (!loadMapDir(dir, map, &error)) {
      std::cerr << "qelcollect: " << error << "\n";
      return false;
    }
  }
  return true;
}

// Adds the maps inside the programs and libraries that ran, taking what
// `early` read of them during the run. One that is gone or unreadable only
// warns: its units are matched against the other maps, and those no map
// matches are listed. An invalid map is an error.
bool loadProgramMaps(const Collection& run, EarlyMapReader* early, SourceMap* map) {
  return addProgramMaps(run.modules(), early, map, std::cerr);
}

// Every output is tried once before collecting, so that a path that cannot
// be written fails at once instead of after a long test run.
bool outputsWritable(const Options& opt) {
  for (const auto& [format, target] : opt.outputs) {
    std::string error;
    if (!prepareOutput(*format, target, &error)) {
      std::cerr << "qelcollect: " << error << "\n";
      return false;
    }
  }
  return true;
}

// The files the figures cover, and the changed lines, read before a run so
// that a bad expression or an unknown revision fails at once.
bool prepareScope(const Options& opt, PathScope* scope, std::optional<ChangedLines>* changed,
                  std::string* against) {
  std::string error;
  if (!scope->set(opt.root, opt.filters, opt.excludes, &error)) {
    std::cerr << "qelcollect: " << error << "\n";
    return false;
  }
  if (!opt.changedLines()) return true;
  ChangedLines lines;
  if (!opt.diffBase.empty()) {
    *against = "git diff " + opt.diffBase;
    if (!gitChangedLines(scope->root(), opt.diffBase, &lines, &error)) {
      std::cerr << "qelcollect: " << error << "\n";
      return false;
    }
  } else {
    *against = "diff " + opt.diffFile;
    std::ifstream in(opt.diffFile, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    if (!in) {
      std::cerr << "qelcollect: cannot read " << opt.diffFile << ": " << std::strerror(errno)
                << "\n";
      return false;
    }
    if (!parseUnifiedDiff(text.str(), scope->root(), &lines, &error)) {
      std::cerr << "qelcollect: " << opt.diffFile << ": " << error << "\n";
      return false;
    }
  }
  *changed = std::move(lines);
  return true;
}

// Receives from the program (or until interrupted) into `run`, saving
// every message with --out, following the spool as it goes on and reading
// the rest of it at the end. False when the run could not start, with the
// exit status in `code`; a failure after it started sets `code` and still
// leaves a report to write. Each program or library a process names, over
// a socket or in its spool, goes to `early` as soon as it is named.
bool collectLive(const Options& opt, Collection* run, ChildProcess* child, CollectResult* result,
                 EarlyMapReader* early, int* code) {
  *code = kExitUsage;
  catchStopSignals();
  RunFileWriter out;
  if (!opt.out.empty()) {
    RunFormat format = runFormatForName(opt.out);
    if (!opt.outFormat.empty()) runFormatByName(opt.outFormat, &format);
    std::string error;
    if (!out.open(opt.out, format, &error)) {
      std::cerr << "qelcollect: " << error << "\n";
      return false;
    }
  }
  // With a command the collector binds and every instrumented process the
  // command starts connects to it (child_config.hpp).
  ReceiverOptions recv = opt.recv;
  ChildConfig childConfig;
  std::string childConfigError;
  if (!childConfig.prepare(!opt.command.empty(), opt.hostGiven, recv, childConfigError)) {
    std::cerr << "qelcollect: " << childConfigError << "\n";
    return false;
  }
  std::optional<Receiver> receiver;
  try {
    receiver.emplace(recv);
  } catch (const std::exception& e) {
    std::cerr << "qelcollect: " << e.what() << "\n";
    return false;
  }
  stepTime("sockets ready");
  const auto& eps = receiver->endpoints();
  std::cerr << "qelcollect: " << (recv.bind ? "listening on " : "connecting to ") << eps.front()
            << " .. " << eps.back() << "\n";

  char** childEnv = childConfig.active() ? childConfig.environment(environ) : environ;
  if (!opt.command.empty() && !child->start(opt.command, childEnv)) {
    *code = 127;
    return false;
  }
  stepTime("command started");
  const auto start = Clock::now();
  long liveMalformed = 0;
  std::size_t modulesSeen = 0;
  const std::function<void(Message &&)> sink = [&](Message&& m) {
    if (out.isOpen())
      out.write(m, std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    if (const auto* bad = std::get_if<Malformed>(&m.body)) {
      if (liveMalformed++ < kLiveMalformed)
        std::cerr << "qelcollect: malformed message on port " << m.port << ": "
                  << malformedText(*bad) << "\n";
      else if (liveMalformed == kLiveMalformed + 1)
        std::cerr << "qelcollect: further malformed messages are only counted\n";
    }
    run->add(m);
    for (const auto& modules = run->modules(); modulesSeen < modules.size(); ++modulesSeen)
      early->add(modules[modulesSeen]);
  };
  // Checked only once the command has ended, while messages may still come.
  const auto complete = [run] {
    if (!run->everythingAnnouncedArrived()) return false;
    for (const int32_t pid : run->announcedPids())
      if (processAlive(pid)) return false;
    return true;
  };
  *result = collect(
      opt, *receiver, *child, sink, [run] { return run->unfinishedPids(); }, complete,
      childConfig.spool());
  // What is left of the processes' spool (spool.hpp): records written
  // after the last look, and damaged files, reported now.
  stepTime("collection ended");
  childConfig.readSpool(sink);
  stepTime("spool read");
  // Announced, not ended, and still there: named as such in the report.
  // Only the command's processes are known to run on this machine.
  if (!opt.command.empty())
    for (const int32_t pid : run->unfinishedPids())
      if (processAlive(pid)) run->markStillRunning(pid);
  *code = result->error;
  if (!out.close()) {
    std::cerr << "qelcollect: writing " << opt.out << " failed\n";
    *code = kExitUsage;
  }
  return true;
}

// The text report and every file output asked for. False when one could
// not be written.
bool writeReports(const Options& opt, const Collection& run, const SourceMap& map,
                  const CoverageModel* model, const ChangeReport* changes,
                  std::ofstream& reportOut) {
  bool ok = true;
  if (!opt.noReport && opt.testsFor.empty()) {
    TextReportOptions ro = opt.report;
    ro.map = map.empty() ? nullptr : &map;
    ro.coverage = model;
    ro.changes = changes;
    std::ostream& os = reportOut.is_open() ? static_cast<std::ostream&>(reportOut) : std::cout;
    writeTextReport(os, run, ro);
    os.flush();
    if (!os) {
      std::cerr << "qelcollect: writing the report failed\n";
      ok = false;
    }
  }
  if (!model) return ok;
  OutputContext context;
  context.timestamp = static_cast<int64_t>(std::time(nullptr));
  context.changes = changes;
  for (const auto& [format, target] : opt.outputs) {
    std::string error;
    if (!writeOutput(*format, target, *model, context, &error)) {
      std::cerr << "qelcollect: " << error << "\n";
      ok = false;
    }
  }
  return ok;
}

// The first threshold not met, named on stderr with every other one that
// is not met; 0 when all hold.
int checkThresholds(const Options& opt, const CoverageModel& m, const ChangeReport* changes) {
  int code = 0;
  const auto check = [&](const Threshold& t, const Counter& figure) {
    if (t.minimum < 0 || figure.percent() >= t.minimum) return;
    std::cerr << "qelcollect: " << t.name << " coverage " << percentText(figure) << " is below "
              << t.option << " " << t.minimum << "% (exit status " << t.exitCode << ")\n";
    if (!code || t.exitCode < code) code = t.exitCode;
  };
  const Counter* figures[] = {&m.totals.lines, &m.totals.branches, &m.totals.conditions,
                              &m.totals.mcdc};
  for (std::size_t i = 0; i < opt.thresholds.size(); ++i) check(opt.thresholds[i], *figures[i]);
  if (changes) {
    check(opt.changeThresholds[0], changes->model.totals.lines);
    check(opt.changeThresholds[1], changes->model.totals.mcdc);
  }
  return code;
}

}  // namespace

int main(int argc, char** argv) {
  stepTime("main");
  Options opt;
  if (const int status = parseCommandLine(argc, argv, &opt); status >= 0) return status;

  PathScope scope;
  std::optional<ChangedLines> changed;
  std::string against;
  if (!outputsWritable(opt) || !prepareScope(opt, &scope, &changed, &against)) return kExitUsage;

  std::ofstream reportOut;
  if (!opt.reportFile.empty()) {
    reportOut.open(opt.reportFile, std::ios::out | std::ios::trunc);
    if (!reportOut) {
      std::cerr << "qelcollect: cannot write " << opt.reportFile << ": " << std::strerror(errno)
                << "\n";
      return kExitUsage;
    }
  }

  // Reads the maps inside the programs while they run; on every return path
  // its destructor gives up what is in hand and waits for its thread.
  EarlyMapReader early;
  Collection run;
  // Each saved run on its own as well: runs of different builds each match
  // their own maps.
  std::vector<Collection> parts;
  ChildProcess child;
  CollectResult result;
  int code = 0;
  if (opt.reportMode) {
    // Each run file is one test: what it ran is told apart from the
    // others'. One run alone has nothing to tell apart, and its report
    // stays the live one's. Each is also kept on its own, so that runs of
    // different builds each match their own maps.
    parts.resize(opt.command.size());
    RunFileWriter jsonl;
    std::string error;
    if (!opt.saveJsonl.empty() && !jsonl.open(opt.saveJsonl, RunFormat::Jsonl, &error)) {
      std::cerr << "qelcollect: " << error << "\n";
      return kExitUsage;
    }
    for (std::size_t i = 0; i < opt.command.size(); ++i) {
      if (opt.command.size() > 1) run.beginTest(opt.command[i]);
      if (!readRunFile(
              opt.command[i],
              [&](Message&& m, double tMs) {
                if (jsonl.isOpen()) jsonl.write(m, tMs);
                run.add(m);
                parts[i].add(m);
              },
              &error)) {
        std::cerr << "qelcollect: " << error << "\n";
        return kExitUsage;
      }
    }
    if (!jsonl.close()) {
      std::cerr << "qelcollect: writing " << opt.saveJsonl << " failed\n";
      return kExitUsage;
    }
  } else {
    if (!collectLive(opt, &run, &child, &result, &early, &code)) return code;
  }

  const bool nothing = run.total() == 0;
  if (nothing)
    std::cerr << (opt.reportMode
                      ? "qelcollect: the run files hold no message\n"
                      : "qelcollect: no message received. Likely causes: the program is not "
                        "linked against QELMQLib (not instrumented); the collector is in the "
                        "wrong mode (a program with config_state=1 in Server.cfg needs --bind, "
                        "otherwise check --host and --port-offset); the program ended before "
                        "its first send.\n");

  // The map folders are read now, not before the run: the command may build
  // the program (and write its maps) before it runs the tests. The maps
  // inside the programs that ran were read as each was named, and are
  // added now in the order they were named. One that cannot be read still
  // leaves the run's own report, and fails the run.
  SourceMap map;
  const bool mapsLoaded = loadMaps(opt, &map) && loadProgramMaps(run, &early, &map);
  early.stop();
  stepTime("maps added");
  if (!mapsLoaded) {
    code = kExitUsage;
    map = SourceMap();
  } else if (map.empty() && opt.needsMaps()) {
    std::cerr << "qelcollect: coverage outputs, --filter, --exclude, --diff-base, --diff, "
                 "--tests-for and --fail-under-* need the source maps: the programs that ran "
                 "hold none, and no --map DIR was given\n";
    code = kExitUsage;
  }
  std::optional<CoverageModel> model;
  std::optional<ChangeReport> changes;
  if (!map.empty()) {
    std::vector<const Collection*> each;
    if (parts.size() > 1)
      for (const Collection& c : parts) each.push_back(&c);
    // Nothing shown or checked but the run's problems and stale sources:
    // the rest of the model is not built.
    const bool problemsOnly = opt.noReport && opt.outputs.empty() && opt.testsFor.empty() &&
                              !opt.thresholdsAsked() && !changed;
    model = buildCoverage(map, run, each,
                          problemsOnly ? CoverageDetail::kProblemsOnly : CoverageDetail::kFull);
    applyScope(scope, &*model);
    // Only the files the report covers: one left out shows no listing.
    for (const FileCov& f : model->files)
      if (f.staleSource)
        std::cerr << "qelcollect: warning: " << f.path
                  << " has changed since it was built: its listing is stale\n";
    if (changed) changes = ChangeReport{against, restrictToChanged(*model, *changed)};
    stepTime("coverage model built");
  }
  if (model && !opt.testsFor.empty()) {
    std::string error;
    if (!writeTestsFor(std::cout, std::cerr, *model, opt.testsFor, scope.root(), &error)) {
      std::cerr << "qelcollect: " << error << "\n";
      code = kExitUsage;
    }
  }
  if (!writeReports(opt, run, map, model ? &*model : nullptr, changes ? &*changes : nullptr,
                    reportOut))
    code = kExitUsage;
  std::cout.flush();
  stepTime("reports written");
  const RunProblems problems = reportProblems(run, model ? &*model : nullptr);
  announceProblems(std::cerr, problems, opt.warnProblems);

  if (code != 0) return code;
  if (child.exitCode() != 0) return child.exitCode();
  if (run.crashed()) return kExitCrash;
  if (result.timedOut) return kExitTimeout;
  if (nothing) return kExitNoMessage;
  if (const int status = problemExitStatus(problems, opt.warnProblems)) return status;
  if (model) return checkThresholds(opt, *model, changes ? &*changes : nullptr);
  return 0;
}
