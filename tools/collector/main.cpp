// qelcollect: receives what a QELMQLib-instrumented program streams and
// prints its coverage report; `qelcollect report` rebuilds the report from
// saved runs.

#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "child_config.hpp"
#include "coverage.hpp"
#include "json.hpp"
#include "outputs.hpp"
#include "receiver.hpp"
#include "report.hpp"
#include "srcmap.hpp"

extern char** environ;

namespace {

constexpr int kExitUsage = 2;
constexpr int kExitCrash = 3;
constexpr int kExitTimeout = 4;
constexpr int kExitNoMessage = 5;
constexpr int kExitLine = 6;
constexpr int kExitBranch = 7;
constexpr int kExitCondition = 8;
constexpr int kExitMcdc = 9;
constexpr int kPollMs = 20;
constexpr long kLiveMalformed = 20;
constexpr int kKillGraceMs = 5000;
// After the program has gone, traffic that never pauses is someone else's.
constexpr int kMaxDrainMs = 10000;

const char* kUsage = R"(Usage: qelcollect [options] [-- program [args...]]
       qelcollect report [options] RUN.jsonl...

Receives everything a program instrumented with QELMQLib streams (node hits,
condition outcomes, MC/DC vectors, values, timings, test-case events, leak
and crash reports) on ports 15555-15564 and prints a coverage report.

With a program after "--", qelcollect starts it, collects until it has
exited and the streams have been quiet for --quiet-ms, then prints the
report. It then listens on the ports and sets QELMQ_CONFIG for the program,
so that every instrumented process it starts (ctest -j8, forked children)
connects and delivers its data (unless --host without --bind, or
--port-offset, is given); what a process could not deliver over its
sockets it leaves in a spool file that qelcollect reads at the end.
Without one, it collects until interrupted (Ctrl-C, SIGINT or SIGTERM) and
then prints the report.

"qelcollect report" reads runs saved with --out instead of receiving, and
adds them up (test shards, several machines): the report of one saved run
is the report the live collector printed.

Collecting:
  --host ADDR       where the program under test runs (default 127.0.0.1);
                    with --bind, the local address to listen on (default *)
  --bind            listen on the ports instead of connecting to them, for a
                    program whose Server.cfg has config_state=1
  --port-offset N   add N to every port number (default 0)
  --out FILE        also write every decoded message to FILE, one JSON
                    object per line (fields: t_ms, port, channel, kind, ...)
  --quiet-ms MS     once the program has exited, stop after MS milliseconds
                    without a message (default 300)
  --timeout SEC     stop after SEC seconds whatever happens; a program still
                    running is sent SIGTERM (default: no limit)
  --max-message N   a message of more than N bytes is counted as malformed
                    with its size and never decoded (default 8388608)

Coverage (need --map):
  --map DIR         source maps written by qelcc (*.qelmap.json); repeatable
  --annotate        add the source listing with counts to the text report
  --html DIR        HTML report: DIR/index.html and one page per source file
  --lcov FILE       LCOV tracefile
  --cobertura FILE  Cobertura XML
  --json FILE       the coverage model as one JSON document
  --fail-under-line N, --fail-under-branch N, --fail-under-condition N,
  --fail-under-mcdc N
                    fail when that total (percent, as the report shows it)
                    is below N

Report:
  --max-values N    value records listed in the report (default 20)
  --report FILE     write the text report to FILE instead of standard output
  --no-report       do not print the text report
  --verbose         list every decision and the latest-records messages
  -h, --help        show this help

The text report gives, with --map, lines, functions, branches (decision
outcomes), conditions (leaf condition outcomes) and MC/DC per source file
and in total, the lines never run, the functions never called and every
decision not fully covered, with its conditions' text, the vectors seen (T true, F false,
- not evaluated: short-circuited) and the independence pairs missing.
MC/DC is unique-cause with short-circuit: a condition short-circuited in
either vector does not matter. Without --map it lists nodes, conditions and
decisions by unit and id. Then values, timings, test cases, the blocks live
in the last leak report, crash reports and malformed messages.

Exit status, first that applies:
  the program's own status when it failed (128+N when killed by signal N,
  127 when it could not be started); 2 usage or setup error; 3 a crash
  report arrived; 4 --timeout expired; 5 no message at all was received;
  6 line, 7 branch, 8 condition, 9 MC/DC coverage below its --fail-under-*;
  0 otherwise.
)";

volatile sig_atomic_t gSignals = 0;
volatile sig_atomic_t gLastSignal = 0;

void onSignal(int sig) {
  gLastSignal = sig;
  gSignals = gSignals + 1;
}

struct Threshold {
  const char* option;
  const char* name;
  int exitCode;
  double minimum = -1;  // percent; negative: not asked for
};

struct Options {
  bool reportMode = false;  // `qelcollect report`: read runs, do not receive
  qelc::ReceiverOptions recv;
  bool hostGiven = false;
  std::string out;
  std::string reportFile;
  int quietMs = 300;
  double timeoutSec = 0;
  qelc::ReportOptions report;
  bool noReport = false;
  std::vector<std::string> maps;
  std::string html, lcov, cobertura, json;
  std::vector<Threshold> thresholds{{"--fail-under-line", "line", kExitLine},
                                    {"--fail-under-branch", "branch", kExitBranch},
                                    {"--fail-under-condition", "condition", kExitCondition},
                                    {"--fail-under-mcdc", "MC/DC", kExitMcdc}};
  std::vector<std::string> command;  // the program, or the run files
};

bool parseNumber(const char* s, long lo, long hi, long* out) {
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(s, &end, 10);
  if (errno || end == s || *end || v < lo || v > hi) return false;
  *out = v;
  return true;
}

bool parsePercent(const char* s, double* out) {
  char* end = nullptr;
  errno = 0;
  const double v = std::strtod(s, &end);
  if (errno || end == s || *end || !(v >= 0 && v <= 100)) return false;
  *out = v;
  return true;
}

std::optional<Options> parseArgs(int argc, char** argv, int* exitCode) {
  Options o;
  *exitCode = kExitUsage;
  int i = 1;
  if (argc > 1 && std::string(argv[1]) == "report") {
    o.reportMode = true;
    ++i;
  }
  for (; i < argc; ++i) {
    const std::string a = argv[i];
    const auto value = [&](const char* what) -> const char* {
      if (i + 1 >= argc) {
        std::cerr << "qelcollect: " << a << " needs " << what << "\n";
        return nullptr;
      }
      return argv[++i];
    };
    long n = 0;
    Threshold* th = nullptr;
    for (auto& t : o.thresholds)
      if (a == t.option) th = &t;
    if (a == "--" && !o.reportMode) {
      for (++i; i < argc; ++i) o.command.emplace_back(argv[i]);
    } else if (a == "-h" || a == "--help") {
      std::cout << kUsage;
      *exitCode = 0;
      return std::nullopt;
    } else if (a == "--bind" && !o.reportMode) {
      o.recv.bind = true;
    } else if (a == "--no-report") {
      o.noReport = true;
    } else if (a == "--annotate") {
      o.report.annotate = true;
    } else if (a == "--verbose") {
      o.report.verbose = true;
    } else if (a == "--host" && !o.reportMode) {
      const char* v = value("an address");
      if (!v) return std::nullopt;
      o.recv.host = v;
      o.hostGiven = true;
    } else if (a == "--out" || a == "--report" || a == "--map" || a == "--html" || a == "--lcov" ||
               a == "--cobertura" || a == "--json") {
      const char* v = value(a == "--map" || a == "--html" ? "a directory" : "a file name");
      if (!v) return std::nullopt;
      if (a == "--out" && o.reportMode) {
        std::cerr << "qelcollect: --out is for collecting, not for report\n";
        return std::nullopt;
      }
      if (a == "--map")
        o.maps.emplace_back(v);
      else
        (a == "--out"         ? o.out
         : a == "--report"    ? o.reportFile
         : a == "--html"      ? o.html
         : a == "--lcov"      ? o.lcov
         : a == "--cobertura" ? o.cobertura
                              : o.json) = v;
    } else if (th) {
      const char* v = value("a percentage");
      if (!v) return std::nullopt;
      if (!parsePercent(v, &th->minimum)) {
        std::cerr << "qelcollect: " << a << " needs a percentage from 0 to 100, not " << v << "\n";
        return std::nullopt;
      }
    } else if (a == "--quiet-ms" || a == "--max-values" ||
               (!o.reportMode &&
                (a == "--port-offset" || a == "--timeout" || a == "--max-message"))) {
      const char* v = value("a number");
      if (!v) return std::nullopt;
      const long hi = a == "--port-offset" ? 49000 : a == "--max-message" ? (1L << 30) : 100000000;
      if (!parseNumber(v, 0, hi, &n)) {
        std::cerr << "qelcollect: bad number for " << a << ": " << v << "\n";
        return std::nullopt;
      }
      if (a == "--port-offset") o.recv.portOffset = static_cast<int>(n);
      if (a == "--quiet-ms") o.quietMs = static_cast<int>(n);
      if (a == "--timeout") o.timeoutSec = static_cast<double>(n);
      if (a == "--max-values") o.report.maxValues = static_cast<std::size_t>(n);
      if (a == "--max-message") o.recv.maxMessage = static_cast<std::size_t>(n);
    } else if (o.reportMode && !a.empty() && a[0] != '-') {
      o.command.push_back(a);
    } else {
      std::cerr << "qelcollect: unknown option " << a << (o.reportMode ? " for report" : "")
                << " (see --help)\n";
      return std::nullopt;
    }
  }
  if (o.recv.bind && !o.hostGiven) o.recv.host = "*";
  const bool coverageOutput = !o.html.empty() || !o.lcov.empty() || !o.cobertura.empty() ||
                              !o.json.empty() || o.report.annotate;
  bool thresholds = false;
  for (const auto& t : o.thresholds) thresholds = thresholds || t.minimum >= 0;
  if ((coverageOutput || thresholds) && o.maps.empty()) {
    std::cerr
        << "qelcollect: coverage outputs and --fail-under-* need the source maps (--map DIR)\n";
    return std::nullopt;
  }
  if (o.reportMode && o.command.empty()) {
    std::cerr << "qelcollect: report needs at least one run file written with --out\n";
    return std::nullopt;
  }
  *exitCode = 0;
  return o;
}

int statusToExit(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return 1;
}

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point t) {
  return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

// The program under test, started and watched by the collector.
class Child {
 public:
  // Returns false (with the reason on stderr) when it cannot be started.
  // `env` is the program's environment (environ-style).
  bool start(const std::vector<std::string>& command, char** env) {
    command_ = command;
    std::vector<char*> args;
    for (auto& s : command_) args.push_back(s.data());
    args.push_back(nullptr);
    std::cout.flush();
    const int rc = posix_spawnp(&pid_, args[0], nullptr, nullptr, args.data(), env);
    if (rc != 0) {
      std::cerr << "qelcollect: cannot start " << command_[0] << ": " << std::strerror(rc) << "\n";
      return false;
    }
    running_ = true;
    return true;
  }
  bool started() const { return pid_ > 0; }
  bool running() const { return running_; }
  const std::string& name() const { return command_[0]; }
  int exitCode() const { return exit_; }
  Clock::time_point exitedAt() const { return exitedAt_; }

  // Notices an exit without waiting.
  void poll() {
    int status = 0;
    if (running_ && waitpid(pid_, &status, WNOHANG) == pid_) {
      running_ = false;
      exit_ = statusToExit(status);
      exitedAt_ = Clock::now();
    }
  }
  void signal(int sig) const {
    if (running_) kill(pid_, sig);
  }
  // SIGTERM, then SIGKILL after two seconds; the status is kept unless the
  // collector's own time limit ended it.
  void stop(bool keepStatus) {
    if (!running_) return;
    kill(pid_, SIGTERM);
    int status = 0;
    for (int i = 0; i < 100 && waitpid(pid_, &status, WNOHANG) != pid_; ++i) usleep(20000);
    if (waitpid(pid_, &status, WNOHANG) == 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &status, 0);
    }
    running_ = false;
    exit_ = keepStatus ? statusToExit(status) : 0;
  }

 private:
  std::vector<std::string> command_;
  pid_t pid_ = -1;
  bool running_ = false;
  int exit_ = 0;
  Clock::time_point exitedAt_{};
};

struct CollectResult {
  int error = 0;  // kExitUsage when receiving failed
  bool timedOut = false;
};

// Receives until the program has ended and the streams are quiet, a signal
// or the time limit; every message goes to sink.
CollectResult collect(const Options& opt, qelc::Receiver& receiver, Child& child,
                      const std::function<void(qelc::Message&&)>& sink) {
  CollectResult r;
  const auto start = Clock::now();
  auto lastMessage = Clock::now();
  Clock::time_point signalledAt{};
  int handledSignals = 0;
  for (;;) {
    try {
      if (receiver.poll(kPollMs, sink) > 0) lastMessage = Clock::now();
    } catch (const std::exception& e) {
      std::cerr << "qelcollect: " << e.what() << "\n";
      r.error = kExitUsage;
      break;
    }
    child.poll();
    const int sigs = gSignals;
    if (sigs > handledSignals) {
      handledSignals = sigs;
      if (!child.running() || sigs > 1) break;
      // First signal: pass it on and let the program end and flush.
      child.signal(gLastSignal);
      signalledAt = Clock::now();
    }
    if (child.running() && handledSignals > 0 && msSince(signalledAt) > kKillGraceMs) {
      std::cerr << "qelcollect: " << child.name() << " ignores the signal, killing it\n";
      child.signal(SIGKILL);
      signalledAt = Clock::now();
    }
    if (opt.timeoutSec > 0 && msSince(start) > opt.timeoutSec * 1000.0) {
      r.timedOut = true;
      std::cerr << "qelcollect: --timeout expired\n";
      break;
    }
    if (child.started() && !child.running() && msSince(child.exitedAt()) >= opt.quietMs) {
      if (msSince(lastMessage) >= opt.quietMs) break;
      if (msSince(child.exitedAt()) > std::max(kMaxDrainMs, 10 * opt.quietMs)) {
        std::cerr << "qelcollect: messages still arriving after the program ended; stopping\n";
        break;
      }
    }
  }
  // Stopped by us for --timeout: that, not the signal, is the outcome.
  child.stop(!r.timedOut);
  // Whatever is already queued locally still belongs to the run; a sender
  // that keeps streaming must not hold the end of the run (or Ctrl-C) back.
  try {
    receiver.drain(1000, sink);
  } catch (const std::exception&) {
  }
  return r;
}

// Reads every run file into coll; false (with the file and line on
// stderr) when one is unreadable or holds a line that is not a message.
bool readRuns(const std::vector<std::string>& files, qelc::Collection* coll) {
  for (const auto& f : files) {
    std::ifstream in(f);
    if (!in) {
      std::cerr << "qelcollect: cannot read " << f << ": " << std::strerror(errno) << "\n";
      return false;
    }
    std::string line, error;
    for (long n = 1; std::getline(in, line); ++n) {
      if (line.empty()) continue;
      qelc::Message m;
      if (!qelc::fromJson(line, &m, &error)) {
        std::cerr << "qelcollect: " << f << ":" << n << ": " << error << "\n";
        return false;
      }
      coll->add(m);
    }
  }
  return true;
}

// Every output file is opened once before collecting, so that a path that
// cannot be written fails at once instead of after a long test run.
bool outputsWritable(const Options& opt) {
  for (const std::string* path : {&opt.lcov, &opt.cobertura, &opt.json}) {
    if (path->empty()) continue;
    std::ofstream probe(*path, std::ios::out | std::ios::app);
    if (!probe) {
      std::cerr << "qelcollect: cannot write " << *path << ": " << std::strerror(errno) << "\n";
      return false;
    }
  }
  if (!opt.html.empty() && mkdir(opt.html.c_str(), 0777) != 0 && errno != EEXIST) {
    std::cerr << "qelcollect: cannot create " << opt.html << ": " << std::strerror(errno) << "\n";
    return false;
  }
  return true;
}

bool loadMaps(const Options& opt, qelc::SourceMap* map) {
  for (const auto& dir : opt.maps) {
    std::string error;
    if (!qelc::loadMapDir(dir, map, &error)) {
      std::cerr << "qelcollect: " << error << "\n";
      return false;
    }
  }
  return true;
}

template <typename Write>
bool writeTo(const std::string& path, const char* what, Write write) {
  std::ofstream out(path, std::ios::out | std::ios::trunc);
  if (out) write(out);
  out.flush();
  if (!out) {
    std::cerr << "qelcollect: cannot write the " << what << " " << path << ": "
              << std::strerror(errno) << "\n";
    return false;
  }
  return true;
}

// Text report and every file output asked for. False when one could not be
// written.
bool writeOutputs(const Options& opt, const qelc::Collection& coll,
                  const qelc::CoverageModel* model, std::ofstream& reportOut) {
  bool ok = true;
  if (!opt.noReport) {
    qelc::ReportOptions ro = opt.report;
    std::ostream& os = reportOut.is_open() ? static_cast<std::ostream&>(reportOut) : std::cout;
    coll.writeReport(os, ro);
    os.flush();
    if (!os) {
      std::cerr << "qelcollect: writing the report failed\n";
      ok = false;
    }
  }
  if (!model) return ok;
  if (!opt.lcov.empty())
    ok &= writeTo(opt.lcov, "LCOV file", [&](std::ostream& o) { qelc::writeLcov(o, *model); });
  if (!opt.cobertura.empty())
    ok &= writeTo(opt.cobertura, "Cobertura file", [&](std::ostream& o) {
      qelc::writeCobertura(o, *model, static_cast<int64_t>(std::time(nullptr)));
    });
  if (!opt.json.empty())
    ok &= writeTo(opt.json, "JSON file",
                  [&](std::ostream& o) { qelc::writeCoverageJson(o, *model); });
  if (!opt.html.empty()) {
    std::string error;
    if (!qelc::writeHtml(opt.html, *model, &error)) {
      std::cerr << "qelcollect: " << error << "\n";
      ok = false;
    }
  }
  return ok;
}

// The first threshold not met, named on stderr with every other one that
// is not met; 0 when all hold.
int checkThresholds(const Options& opt, const qelc::CoverageModel& m) {
  const qelc::Counter* figures[] = {&m.totals.lines, &m.totals.branches, &m.totals.conditions,
                                    &m.totals.mcdc};
  int code = 0;
  for (std::size_t i = 0; i < opt.thresholds.size(); ++i) {
    const Threshold& t = opt.thresholds[i];
    if (t.minimum < 0 || figures[i]->percent() >= t.minimum) continue;
    std::cerr << "qelcollect: " << t.name << " coverage " << qelc::percentText(*figures[i])
              << " is below " << t.option << " " << t.minimum << "% (exit status " << t.exitCode
              << ")\n";
    if (!code) code = t.exitCode;
  }
  return code;
}

}  // namespace

int main(int argc, char** argv) {
  int code = 0;
  auto parsed = parseArgs(argc, argv, &code);
  if (!parsed) return code;
  Options& opt = *parsed;  // a command switches the receiver to bind (ChildConfig)

  qelc::SourceMap map;
  if (!loadMaps(opt, &map) || !outputsWritable(opt)) return kExitUsage;

  std::ofstream reportOut;
  if (!opt.reportFile.empty()) {
    reportOut.open(opt.reportFile, std::ios::out | std::ios::trunc);
    if (!reportOut) {
      std::cerr << "qelcollect: cannot write " << opt.reportFile << ": " << std::strerror(errno)
                << "\n";
      return kExitUsage;
    }
  }

  qelc::Collection coll;
  Child child;
  CollectResult result;
  if (opt.reportMode) {
    if (!readRuns(opt.command, &coll)) return kExitUsage;
  } else {
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);

    std::ofstream out;
    if (!opt.out.empty()) {
      out.open(opt.out, std::ios::out | std::ios::trunc);
      if (!out) {
        std::cerr << "qelcollect: cannot write " << opt.out << ": " << std::strerror(errno) << "\n";
        return kExitUsage;
      }
    }
    // With a command the collector binds and every instrumented process the
    // command starts connects to it (child_config.hpp).
    qelc::ChildConfig childConfig;
    std::string childConfigError;
    if (!childConfig.prepare(!opt.command.empty(), opt.hostGiven, opt.recv, childConfigError)) {
      std::cerr << "qelcollect: " << childConfigError << "\n";
      return kExitUsage;
    }
    std::optional<qelc::Receiver> receiver;
    try {
      receiver.emplace(opt.recv);
    } catch (const std::exception& e) {
      std::cerr << "qelcollect: " << e.what() << "\n";
      return kExitUsage;
    }
    const auto& eps = receiver->endpoints();
    std::cerr << "qelcollect: " << (opt.recv.bind ? "listening on " : "connecting to ")
              << eps.front() << " .. " << eps.back() << "\n";

    char** childEnv = childConfig.active() ? childConfig.environment(environ) : environ;
    if (!opt.command.empty() && !child.start(opt.command, childEnv)) return 127;
    const auto start = Clock::now();
    long liveMalformed = 0;
    const std::function<void(qelc::Message &&)> sink = [&](qelc::Message&& m) {
      if (out.is_open()) out << qelc::toJson(m, msSince(start)) << '\n';
      if (const auto* bad = std::get_if<qelc::Malformed>(&m.body)) {
        if (liveMalformed++ < kLiveMalformed)
          std::cerr << "qelcollect: malformed message on port " << m.port << ": "
                    << qelc::malformedText(*bad) << "\n";
        else if (liveMalformed == kLiveMalformed + 1)
          std::cerr << "qelcollect: further malformed messages are only counted\n";
      }
      coll.add(m);
    };
    result = collect(opt, *receiver, child, sink);
    // What the processes could not deliver over their sockets (spool.hpp).
    childConfig.readSpool(opt.recv.maxMessage, sink);
    code = result.error;
    if (out.is_open()) {
      out.flush();
      if (!out) {
        std::cerr << "qelcollect: writing " << opt.out << " failed\n";
        code = kExitUsage;
      }
    }
  }

  const bool nothing = coll.total() == 0;
  if (nothing)
    std::cerr << (opt.reportMode
                      ? "qelcollect: the run files hold no message\n"
                      : "qelcollect: no message received. Likely causes: the program is not "
                        "linked against QELMQLib (not instrumented); the collector is in the "
                        "wrong mode (a program with config_state=1 in Server.cfg needs --bind, "
                        "otherwise check --host and --port-offset); the program ended before "
                        "its first send.\n");

  std::optional<qelc::CoverageModel> model;
  if (!map.empty()) model = qelc::buildCoverage(map, coll);
  Options withModel = opt;
  withModel.report.map = map.empty() ? nullptr : &map;
  withModel.report.coverage = model ? &*model : nullptr;
  if (!writeOutputs(withModel, coll, model ? &*model : nullptr, reportOut)) code = kExitUsage;
  std::cout.flush();

  if (code != 0) return code;
  if (child.exitCode() != 0) return child.exitCode();
  if (coll.crashed()) return kExitCrash;
  if (result.timedOut) return kExitTimeout;
  if (nothing) return kExitNoMessage;
  if (model) return checkThresholds(opt, *model);
  return 0;
}
