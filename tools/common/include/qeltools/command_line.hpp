// The command lines of the tools (qelcollect, qelgen, qelcc's own
// options), on CLI11: one help layout (usage, description, options by
// group, footer), one form of error ("tool: message" and a pointer to
// --help, exit status 2), and options that read numbers as a C engineer
// writes them (decimal only: "010" is ten, never eight).
#pragma once

#include <CLI/CLI.hpp>

#include <string>
#include <utility>
#include <vector>

namespace qeltools {

inline constexpr int kExitUsage = 2;

class CommandLine {
 public:
  // `usage`: the usage lines, "Usage: tool ..." first; `description`: the
  // paragraphs after them; `footer`: what follows the options.
  CommandLine(std::string tool, std::string usage, std::string description,
              std::string footer = {});

  CLI::App& app() { return app_; }
  // -h, --help in `group`, after the options added so far; parse() adds it
  // in "Options" when this was not called.
  void addHelp(const std::string& group, const std::string& description = "show this help");
  // For a launcher: the first word that is none of our options starts
  // another program's command line, which rest() returns untouched. A
  // word there that looks like an option is still an unknown option.
  void passRest();
  const std::vector<std::string>& rest() const { return rest_; }
  // The option's own words when its value is missing: "option --junit
  // needs a file" for what = "a file".
  void needsValue(CLI::Option* option, std::string what);
  // A flag that refuses a value ("--list=x": "option --list takes no
  // value") instead of reading one as true or false.
  CLI::Option* addFlag(const std::string& name, bool* target, const std::string& description);
  const std::string& tool() const { return tool_; }

  // Parses. Returns -1 when the tool goes on; otherwise the exit status to
  // end with: 0 after --help or a version flag (printed on standard
  // output), kExitUsage after a bad command line (the message on standard
  // error).
  int parse(int argc, const char* const* argv);

  // For checks after parsing: prints "tool: message" and the pointer to
  // --help on standard error and returns kExitUsage.
  int usageError(const std::string& message) const;

 private:
  std::string tool_;
  std::string usageLine_;
  CLI::App app_;
  bool passRest_ = false;
  std::vector<std::string> rest_;
  std::vector<std::pair<std::string, std::string>> needs_;  // option name, what it needs
  // The tools' words for a value missing or given to a flag; empty for
  // other mismatches.
  std::string mismatchMessage(const std::string& what) const;
};

// An option taking a decimal integer from lo to hi.
CLI::Option* addInteger(CLI::App& app, const std::string& name, long* target, long lo, long hi,
                        const std::string& description);

// An option taking a percentage from 0 to 100 (no "nan", no "inf").
CLI::Option* addPercentage(CLI::App& app, const std::string& name, double* target,
                           const std::string& description);

}  // namespace qeltools
