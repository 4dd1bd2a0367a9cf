#include "options.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "qeltools/command_line.hpp"

namespace {

std::string HelpNumber(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", value);
  return text;
}

// "--timeout 0.5": a number of seconds in (0, 86400].
double ReadTimeout(const std::string& text) {
  char* end = nullptr;
  errno = 0;
  const double seconds = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || errno != 0 || !(seconds > 0) || seconds > 86400)
    throw CLI::ValidationError("option --timeout: \"" + text +
                               "\" is not a number of seconds in (0, 86400]");
  return seconds;
}

}  // namespace

int ParseOptions(int argc, char** argv, const char* program, Options& options) {
  const std::string name = program;
  qeltools::CommandLine cl(
      name, "usage: " + name + " [options] [project-root]",
      "Calls every function of the project with the test cases of its vector file\n"
      "<project-root>/Korvo_Projects/Value/Value_<Group>.json.\n"
      "With no option and no \"expect\" in any test case, only test case 0 of each\n"
      "function runs and standard output holds nothing but what the functions print.\n"
      "Each option makes a checked run: every test case, verdicts and a summary on\n"
      "standard error, exit status 1 when any test case failed.",
      "Exit status: 0 all passed, 1 a test case or vector failed, 2 usage error, no\n"
      "vector folder, or no test case that --filter selects.");
  CLI::App& app = cl.app();
  const std::string group = "Options";
  cl.addFlag("--check", &options.check, "a checked run without any other option")->group(group);
  cl.addFlag("--list", &options.list, "list the test cases that would run, one per line")
      ->group(group);
  CLI::Option* filter = app.add_option("--filter", options.filters,
                                       "only test cases whose name matches the shell pattern\n"
                                       "(repeatable: a test case runs when any pattern matches)")
                            ->allow_extra_args(false)
                            ->option_text("PATTERN")
                            ->group(group);
  cl.needsValue(filter, "a pattern");
  cl.addFlag("--isolate", &options.isolate,
             "each test case in a child process of its own; a crash\n"
             "or a hang fails that test case only")
      ->group(group);
  CLI::Option* timeout =
      app.add_option_function<std::string>(
             "--timeout",
             [&options](const std::string& text) { options.timeout = ReadTimeout(text); },
             "time limit of an isolated test case (default " + HelpNumber(kDefaultTimeoutSeconds) +
                 ")")
          ->option_text("SECONDS")
          ->group(group);
  cl.needsValue(timeout, "a number of seconds");
  CLI::Option* junit = app.add_option_function<std::string>(
                              "--junit",
                              [&options](const std::string& file) {
                                if (file.empty())
                                  throw CLI::ValidationError("option --junit needs a file");
                                options.junit = file;
                              },
                              "write a JUnit XML report")
                           ->option_text("FILE")
                           ->group(group);
  cl.needsValue(junit, "a file");
  cl.addFlag("--tap", &options.tap,
             "TAP on standard output; the functions' output becomes\n"
             "TAP comments")
      ->group(group);
  cl.addHelp(group, "this text");
  // The project root is the one word that is not an option; "-" and words
  // after "--" are words too.
  std::vector<std::string> roots;
  // At least one word is expected, so that "--" ends the options; no word
  // at all is no error.
  app.add_option("project-root", roots)->expected(1, -1);
  std::vector<const char*> args(argv, argv + argc);
  const int status = cl.parse(argc, args.data());
  if (status >= 0) return status;
  if (roots.size() > 1) return cl.usageError("more than one project root");
  if (!roots.empty()) options.root = roots[0];
  return -1;
}
