// qelcollect: receives what a QELMQLib-instrumented program streams and
// prints its coverage report.

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "child_config.hpp"
#include "json.hpp"
#include "receiver.hpp"
#include "report.hpp"

extern char** environ;

namespace {

constexpr int kExitUsage = 2;
constexpr int kExitCrash = 3;
constexpr int kExitTimeout = 4;
constexpr int kPollMs = 20;
constexpr long kLiveMalformed = 20;
constexpr int kKillGraceMs = 5000;
// After the program has gone, traffic that never pauses is someone else's.
constexpr int kMaxDrainMs = 10000;

const char* kUsage = R"(Usage: qelcollect [options] [-- program [args...]]

Receives everything a program instrumented with QELMQLib streams (node hits,
condition outcomes, MC/DC vectors, values, timings, test-case events, leak
and crash reports) on ports 15555-15564 and prints a coverage report.

With a program after "--", qelcollect starts it, collects until it has
exited and the streams have been quiet for --quiet-ms, then prints the
report. It then listens on the ports and sets QELMQ_CONFIG for the program,
so that every instrumented process it starts (ctest -j8, forked children)
connects and delivers its data (unless --host without --bind, or
--port-offset, is given). Without one, it collects until interrupted (Ctrl-C, SIGINT or
SIGTERM) and then prints the report.

Options:
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
  --max-values N    value records listed in the report (default 20)
  --report FILE     write the report to FILE instead of standard output
  --no-report       do not print the report
  -h, --help        show this help

The report lists, per unit, the nodes hit and their hit counts; per
condition, whether true and false were both seen; per decision, the MC/DC
vectors seen and, per condition, the independence pair that shows its
effect (or that none was seen), with the MC/DC share per decision and
overall; then the values, timings, test-case events, the blocks still live
in the last leak report, last-data records, crash reports and malformed
messages (which are also reported on stderr as they arrive).

Exit status: the program's own status when it failed (128+N when killed by
signal N, 127 when it could not be started); otherwise 3 when a crash
report arrived, 4 when --timeout expired, 2 for usage or setup errors, and
0 on success.
)";

volatile sig_atomic_t gSignals = 0;
volatile sig_atomic_t gLastSignal = 0;

void onSignal(int sig) {
  gLastSignal = sig;
  gSignals = gSignals + 1;
}

struct Options {
  qelc::ReceiverOptions recv;
  bool hostGiven = false;
  std::string out;
  std::string reportFile;
  int quietMs = 300;
  double timeoutSec = 0;
  qelc::ReportOptions report;
  bool noReport = false;
  std::vector<std::string> command;
};

bool parseNumber(const char* s, long lo, long hi, long* out) {
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(s, &end, 10);
  if (errno || end == s || *end || v < lo || v > hi) return false;
  *out = v;
  return true;
}

std::optional<Options> parseArgs(int argc, char** argv, int* exitCode) {
  Options o;
  *exitCode = kExitUsage;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const auto value = [&](const char* what) -> const char* {
      if (i + 1 >= argc) {
        std::cerr << "qelcollect: " << a << " needs " << what << "\n";
        return nullptr;
      }
      return argv[++i];
    };
    long n = 0;
    if (a == "--") {
      for (++i; i < argc; ++i) o.command.emplace_back(argv[i]);
    } else if (a == "-h" || a == "--help") {
      std::cout << kUsage;
      *exitCode = 0;
      return std::nullopt;
    } else if (a == "--bind") {
      o.recv.bind = true;
    } else if (a == "--no-report") {
      o.noReport = true;
    } else if (a == "--host") {
      const char* v = value("an address");
      if (!v) return std::nullopt;
      o.recv.host = v;
      o.hostGiven = true;
    } else if (a == "--out" || a == "--report") {
      const char* v = value("a file name");
      if (!v) return std::nullopt;
      (a == "--out" ? o.out : o.reportFile) = v;
    } else if (a == "--port-offset" || a == "--quiet-ms" || a == "--timeout" ||
               a == "--max-values") {
      const char* v = value("a number");
      if (!v) return std::nullopt;
      const long hi = a == "--port-offset" ? 49000 : 100000000;
      if (!parseNumber(v, 0, hi, &n)) {
        std::cerr << "qelcollect: bad number for " << a << ": " << v << "\n";
        return std::nullopt;
      }
      if (a == "--port-offset") o.recv.portOffset = static_cast<int>(n);
      if (a == "--quiet-ms") o.quietMs = static_cast<int>(n);
      if (a == "--timeout") o.timeoutSec = static_cast<double>(n);
      if (a == "--max-values") o.report.maxValues = static_cast<std::size_t>(n);
    } else {
      std::cerr << "qelcollect: unknown option " << a << " (see --help)\n";
      return std::nullopt;
    }
  }
  if (o.recv.bind && !o.hostGiven) o.recv.host = "*";
  *exitCode = 0;
  return o;
}

int statusToExit(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  int code = 0;
  auto parsed = parseArgs(argc, argv, &code);
  if (!parsed) return code;
  Options& opt = *parsed;

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

  std::ofstream reportOut;
  if (!opt.reportFile.empty()) {
    reportOut.open(opt.reportFile, std::ios::out | std::ios::trunc);
    if (!reportOut) {
      std::cerr << "qelcollect: cannot write " << opt.reportFile << ": " << std::strerror(errno)
                << "\n";
      return kExitUsage;
    }
  }

  // ---- `qelcollect -- COMMAND`: bind, and have every process connect (child_config.hpp).
  qelc::ChildConfig childConfig;
  std::string childConfigError;
  if (!childConfig.prepare(!opt.command.empty(), opt.hostGiven, opt.recv, childConfigError)) {
    std::cerr << "qelcollect: " << childConfigError << "\n";
    return kExitUsage;
  }
  // ----

  std::optional<qelc::Receiver> receiver;
  try {
    receiver.emplace(opt.recv);
  } catch (const std::exception& e) {
    std::cerr << "qelcollect: " << e.what() << "\n";
    return kExitUsage;
  }
  const auto& eps = receiver->endpoints();
  std::cerr << "qelcollect: " << (opt.recv.bind ? "listening on " : "connecting to ") << eps.front()
            << " .. " << eps.back() << "\n";

  using Clock = std::chrono::steady_clock;
  const auto start = Clock::now();
  const auto msSince = [](Clock::time_point t) {
    return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
  };

  pid_t child = -1;
  bool childRunning = false;
  int childExit = 0;
  if (!opt.command.empty()) {
    std::vector<char*> args;
    for (auto& s : opt.command) args.push_back(s.data());
    args.push_back(nullptr);
    std::cout.flush();
    char** childEnv = childConfig.active() ? childConfig.environment(environ) : environ;
    const int rc = posix_spawnp(&child, args[0], nullptr, nullptr, args.data(), childEnv);
    if (rc != 0) {
      std::cerr << "qelcollect: cannot start " << opt.command[0] << ": " << std::strerror(rc) << "\n";
      return 127;
    }
    childRunning = true;
  }

  qelc::Collection coll;
  long liveMalformed = 0;
  auto lastMessage = Clock::now();
  Clock::time_point exitedAt{};
  Clock::time_point signalledAt{};
  int handledSignals = 0;
  bool timedOut = false;

  const auto sink = [&](qelc::Message&& m) {
    if (out.is_open()) out << qelc::toJson(m, msSince(start)) << '\n';
    if (const auto* bad = std::get_if<qelc::Malformed>(&m.body)) {
      if (liveMalformed++ < kLiveMalformed)
        std::cerr << "qelcollect: malformed message on port " << m.port << ": " << bad->reason
                  << " [" << bad->bytes.size()
                  << " bytes: " << qelc::hexBytes(bad->bytes.data(), bad->bytes.size()) << "]\n";
      else if (liveMalformed == kLiveMalformed + 1)
        std::cerr << "qelcollect: further malformed messages are only counted\n";
    }
    coll.add(m);
  };

  for (;;) {
    try {
      if (receiver->poll(kPollMs, sink) > 0) lastMessage = Clock::now();
    } catch (const std::exception& e) {
      std::cerr << "qelcollect: " << e.what() << "\n";
      code = kExitUsage;
      break;
    }
    if (childRunning) {
      int status = 0;
      if (waitpid(child, &status, WNOHANG) == child) {
        childRunning = false;
        childExit = statusToExit(status);
        exitedAt = Clock::now();
      }
    }
    const int sigs = gSignals;
    if (sigs > handledSignals) {
      handledSignals = sigs;
      if (!childRunning || sigs > 1) break;
      // First signal: pass it on and let the program end and flush.
      kill(child, gLastSignal);
      signalledAt = Clock::now();
    }
    if (childRunning && handledSignals > 0 && msSince(signalledAt) > kKillGraceMs) {
      std::cerr << "qelcollect: " << opt.command[0] << " ignores the signal, killing it\n";
      kill(child, SIGKILL);
      signalledAt = Clock::now();
    }
    if (opt.timeoutSec > 0 && msSince(start) > opt.timeoutSec * 1000.0) {
      timedOut = true;
      std::cerr << "qelcollect: --timeout expired\n";
      break;
    }
    if (child > 0 && !childRunning && msSince(exitedAt) >= opt.quietMs) {
      if (msSince(lastMessage) >= opt.quietMs) break;
      if (msSince(exitedAt) > std::max(kMaxDrainMs, 10 * opt.quietMs)) {
        std::cerr << "qelcollect: messages still arriving after the program ended; stopping\n";
        break;
      }
    }
  }

  if (childRunning) {
    kill(child, SIGTERM);
    int status = 0;
    for (int i = 0; i < 100 && waitpid(child, &status, WNOHANG) != child; ++i) usleep(20000);
    if (waitpid(child, &status, WNOHANG) == 0) {
      kill(child, SIGKILL);
      waitpid(child, &status, 0);
    }
    // Stopped by us for --timeout: that, not the signal, is the outcome.
    childExit = timedOut ? 0 : statusToExit(status);
  }
  // Whatever is already queued locally still belongs to the run.
  try {
    while (receiver->poll(0, sink) > 0) {
    }
  } catch (const std::exception&) {
  }

  if (out.is_open()) {
    out.flush();
    if (!out) {
      std::cerr << "qelcollect: writing " << opt.out << " failed\n";
      code = kExitUsage;
    }
  }
  if (coll.total() == 0)
    std::cerr << "qelcollect: no message received (is the program linked against QELMQLib, "
                 "and are --host/--bind right?)\n";
  if (!opt.noReport) {
    std::ostream& os = reportOut.is_open() ? static_cast<std::ostream&>(reportOut) : std::cout;
    coll.writeReport(os, opt.report);
    os.flush();
    if (!os) {
      std::cerr << "qelcollect: writing the report failed\n";
      code = kExitUsage;
    }
  }
  std::cout.flush();

  if (code != 0) return code;
  if (childExit != 0) return childExit;
  if (coll.crashed()) return kExitCrash;
  if (timedOut) return kExitTimeout;
  return 0;
}
