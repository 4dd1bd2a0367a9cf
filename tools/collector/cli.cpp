#include "cli.hpp"

#include <cstring>
#include <set>

#include "qeltools/command_line.hpp"

namespace qelc {
namespace {

const char* kUsage = R"(Usage: qelcollect [options] [-- program [args...]]
       qelcollect report [options] RUN...
)";

const char* kDescription =
    R"(Receives everything a program instrumented with QELMQLib streams (node hits,
condition outcomes, MC/DC vectors, values, timings, test-case events, leak
and crash reports) on ports 15555-15564 and prints a coverage report.

With a program after "--", qelcollect starts it, collects until it has
exited and everything its processes announced has arrived (or, when that
cannot be known, the streams have been quiet for --quiet-ms), then prints
the report. It then listens on the ports and sets QELMQ_CONFIG for the program,
so that every instrumented process it starts (ctest -j8, forked children)
connects and delivers its data (unless --host without --bind, or
--port-offset, is given); what a process could not deliver over its
sockets it leaves in a spool file that qelcollect reads at the end. A
process that announced itself and outlives the program (a daemon) is
collected until it ends, or until --timeout. The maps are read after the
run, so the command may build the program first.
Without one, it collects until interrupted (Ctrl-C, SIGINT or SIGTERM) and
then prints the report.

"qelcollect report" reads runs saved with --out instead of receiving, and
adds them up (test shards, several machines): the report of one saved run
is the report the live collector printed. Binary runs (.qelrun) and JSON
lines may be mixed; --save-jsonl turns the runs read into JSON lines.
)";

const char* kFooter = R"(The text report gives, with the source maps (read out of the programs and
libraries that ran, and out of each --map DIR), lines, functions, branches
(decision outcomes), conditions (leaf condition outcomes) and MC/DC per
source file and in total, the lines never run, the functions never called
and every decision not fully covered, with its conditions' text, the
vectors seen (T true, F false, - not evaluated: short-circuited) and the
independence pairs missing. MC/DC is unique-cause with short-circuit: a
condition short-circuited in either vector does not matter. Without any map
it lists nodes, conditions and decisions by unit and id. Then values,
timings, test cases, the blocks live in the last leak report, crash reports
and malformed messages.

Exit status, first that applies:
  the program's own status when it failed (128+N when killed by signal N,
  127 when it could not be started); 2 usage or setup error; 3 a crash
  report arrived; 4 --timeout expired; 5 no message at all was received;
  10 a process's stream never finished or messages are missing (unless
  --loss-warning); 11 a unit of the maps was built without probes (unless
  --uninstrumented-warning); 12 a unit's counts match no map, from another
  build or none (unless --stale-map-warning); 6 line, 7 branch, 8
  condition, 9 MC/DC coverage below its --fail-under-* (6 and 9 also for
  the changed lines' --fail-under-diff-line and -mcdc); 0 otherwise.)";

const char* kCollecting = "Collecting";
const char* kCoverage = "Coverage (maps from the programs that ran, or --map)";
const char* kReport = "Report";
const char* kScope = "Files and changed lines";

// Numbers as the options take them, turned into Options after parsing.
struct Numbers {
  long portOffset = 0;
  long quietMs = 300;
  long timeout = 0;
  long maxMessage = 8388608;
  long maxValues = 20;
};

}  // namespace

int parseCommandLine(int argc, char** argv, Options* out) {
  Options& o = *out;
  Numbers n;
  n.maxMessage = static_cast<long>(o.recv.maxMessage);
  // The program's own arguments are no business of ours: everything after
  // the first "--" is the command, whatever it looks like.
  int ours = argc;
  if (!(argc > 1 && std::strcmp(argv[1], "report") == 0))
    for (int i = 1; i < argc; ++i)
      if (std::strcmp(argv[i], "--") == 0) {
        ours = i;
        o.command.assign(argv + i + 1, argv + argc);
        break;
      }

  qeltools::CommandLine cl("qelcollect", kUsage, kDescription, kFooter);
  CLI::App& app = cl.app();
  CLI::App* report = app.add_subcommand("report", "build the report from saved runs");
  report->fallthrough();
  report->add_option("RUN", o.command, "runs saved with --out (.qelrun or JSON lines)");
  std::string reportOut;
  report->add_option("--out", reportOut)->group("");
  report
      ->add_option("--save-jsonl", o.saveJsonl,
                   "also write every message of the runs read to FILE as JSON\n"
                   "lines, as --out FILE.jsonl writes them")
      ->option_text("FILE");

  // Collecting only.
  std::vector<CLI::Option*> collecting;
  collecting.push_back(app.add_option("--host", o.recv.host,
                                      "where the program under test runs (default 127.0.0.1);\n"
                                      "with --bind, the local address to listen on (default *)")
                           ->option_text("ADDR"));
  collecting.push_back(app.add_flag("--bind", o.recv.bind,
                                    "listen on the ports instead of connecting to them, for a\n"
                                    "program whose Server.cfg has config_state=1"));
  collecting.push_back(qeltools::addInteger(app, "--port-offset", &n.portOffset, 0, 49000,
                                            "add N to every port number (default 0)"));
  collecting.push_back(app.add_option("--out", o.out,
                                      "also save the run to FILE for \"qelcollect report\": a\n"
                                      "compact binary run when FILE ends in .qelrun, else one\n"
                                      "JSON object per message and line (fields: t_ms, port,\n"
                                      "channel, kind, ...) for other tools")
                           ->option_text("FILE"));
  collecting.push_back(app.add_option("--out-format", o.outFormat,
                                      "binary or jsonl: the form of --out whatever its name")
                           ->check(CLI::IsMember({"binary", "jsonl"}))
                           ->option_text("FORMAT"));
  qeltools::addInteger(app, "--quiet-ms", &n.quietMs, 0, 100000000,
                       "once the program has exited, stop after MS milliseconds\n"
                       "without a message (default 300); not waited for when every\n"
                       "process announced its end and all it announced arrived")
      ->option_text("MS")
      ->group(kCollecting);
  collecting.push_back(
      qeltools::addInteger(app, "--timeout", &n.timeout, 0, 100000000,
                           "stop after SEC seconds whatever happens; a program still\n"
                           "running is sent SIGTERM (default: no limit)")
          ->option_text("SEC"));
  collecting.push_back(
      qeltools::addInteger(app, "--max-message", &n.maxMessage, 0, 1L << 30,
                           "a message of more than N bytes is counted as malformed\n"
                           "with its size and never decoded (default 8388608)"));
  for (CLI::Option* opt : collecting) opt->group(kCollecting);

  app.add_option("--map", o.maps,
                 "also the source maps in DIR (*.qelmap.json, as qelcc\n"
                 "writes them); repeatable. Maps found twice are one")
      ->allow_extra_args(false)
      ->option_text("DIR")
      ->group(kCoverage);
  app.add_flag("--annotate", o.report.annotate,
               "add the source listing with counts to the text "
               "report")
      ->group(kCoverage);
  const auto& formats = outputFormats();
  std::vector<std::string> targets(formats.size());
  for (std::size_t i = 0; i < formats.size(); ++i)
    app.add_option(formats[i].option, targets[i], formats[i].help)
        ->option_text(formats[i].valueName)
        ->group(kCoverage);
  for (Threshold& t : o.thresholds)
    qeltools::addPercentage(app, t.option, &t.minimum,
                            std::string("exit with status ") + std::to_string(t.exitCode) +
                                " when " + t.name +
                                " coverage, as the report\nshows it, is below N percent")
        ->group(kCoverage);

  app.add_option("--root", o.root,
                 "the project's top folder: --filter and --exclude match paths\n"
                 "relative to it, --diff-base asks its git repository\n"
                 "(default: the current directory)")
      ->option_text("DIR")
      ->group(kScope);
  app.add_option("--filter", o.filters,
                 "keep only source files whose path relative to --root\n"
                 "matches this regular expression (from its start); repeatable")
      ->allow_extra_args(false)
      ->option_text("REGEX")
      ->group(kScope);
  app.add_option("--exclude", o.excludes,
                 "leave out source files whose path relative to --root\n"
                 "matches this regular expression (from its start); repeatable")
      ->allow_extra_args(false)
      ->option_text("REGEX")
      ->group(kScope);
  app.add_option("--diff-base", o.diffBase,
                 "also report the coverage of the lines changed since the git\n"
                 "revision REF (git diff -U0 REF, in the repository of --root)")
      ->option_text("REF")
      ->group(kScope);
  app.add_option("--diff", o.diffFile,
                 "the same for the lines a unified diff FILE adds (paths\n"
                 "relative to --root, a leading b/ dropped)")
      ->option_text("FILE")
      ->group(kScope);
  app.add_option("--tests-for", o.testsFor,
                 "print the tests that ran FILE:LINE, one a line (the tests to\n"
                 "rerun for a change there), instead of the text report; each\n"
                 "run file of \"report\" is a test")
      ->option_text("FILE:LINE")
      ->group(kScope);
  for (Threshold& t : o.changeThresholds)
    qeltools::addPercentage(app, t.option, &t.minimum,
                            std::string("exit with status ") + std::to_string(t.exitCode) +
                                " when " + t.name + " coverage is\nbelow N percent")
        ->group(kScope);

  qeltools::addInteger(app, "--max-values", &n.maxValues, 0, 100000000,
                       "value records listed in the report (default 20)")
      ->group(kReport);
  app.add_option("--report", o.reportFile,
                 "write the text report to FILE instead of standard output")
      ->option_text("FILE")
      ->group(kReport);
  app.add_flag("--no-report", o.noReport, "do not print the text report")->group(kReport);
  app.add_flag("--verbose", o.report.verbose, "list every decision and the latest-records messages")
      ->group(kReport);
  // One flag per option of the run problems' table (kinds may share one).
  std::set<std::string> warnSeen;
  std::vector<std::pair<CLI::Option*, const char*>> warnOptions;
  for (const ProblemKindInfo& kind : problemKinds()) {
    if (!warnSeen.insert(kind.warnOption).second) continue;
    warnOptions.emplace_back(app.add_flag(kind.warnOption)
                                 ->description(kind.warnHelp ? kind.warnHelp : "")
                                 ->group(kReport),
                             kind.warnOption);
  }
  cl.addHelp(kReport);

  std::vector<const char*> args(argv, argv + ours);
  const int status = cl.parse(static_cast<int>(args.size()), args.data());
  if (status >= 0) return status;

  o.reportMode = report->parsed();
  if (!o.outFormat.empty() && o.out.empty()) return cl.usageError("--out-format needs --out FILE");
  if (o.reportMode) {
    if (!reportOut.empty()) return cl.usageError("--out is for collecting, not for report");
    for (const CLI::Option* opt : collecting)
      if (opt->count() > 0)
        return cl.usageError(opt->get_name() + " is for collecting, not for report");
    if (o.command.empty())
      return cl.usageError("report needs at least one run file written with --out");
  }
  for (const auto& [option, name] : warnOptions)
    if (option->count() > 0) o.warnProblems.insert(name);
  o.hostGiven = app.get_option("--host")->count() > 0;
  o.recv.portOffset = static_cast<int>(n.portOffset);
  o.quietMs = static_cast<int>(n.quietMs);
  o.timeoutSec = static_cast<double>(n.timeout);
  o.recv.maxMessage = static_cast<std::size_t>(n.maxMessage);
  o.report.maxValues = static_cast<std::size_t>(n.maxValues);
  if (o.recv.bind && !o.hostGiven) o.recv.host = "*";
  for (std::size_t i = 0; i < formats.size(); ++i)
    if (!targets[i].empty()) o.outputs.emplace_back(&formats[i], targets[i]);

  bool changeThresholds = false;
  for (const auto& t : o.changeThresholds) changeThresholds = changeThresholds || t.minimum >= 0;
  bool changeOutputs = false;
  for (const auto& out : o.outputs) changeOutputs = changeOutputs || needsChangedLines(*out.first);
  if (!o.diffBase.empty() && !o.diffFile.empty())
    return cl.usageError("--diff-base and --diff are two ways to give one change: give one");
  if (!o.testsFor.empty()) {
    const auto colon = o.testsFor.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == o.testsFor.size() ||
        o.testsFor.find_first_not_of("0123456789", colon + 1) != std::string::npos)
      return cl.usageError("--tests-for takes FILE:LINE, not " + o.testsFor);
  }
  if ((changeThresholds || changeOutputs) && !o.changedLines())
    return cl.usageError("--fail-under-diff-* and --cobertura-diff need --diff-base or --diff");
  return -1;
}

}  // namespace qelc
