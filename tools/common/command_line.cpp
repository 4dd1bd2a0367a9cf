#include "qeltools/command_line.hpp"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <iostream>
#include <memory>

namespace qeltools {
namespace {

// Usage first, then the description, the options by group and the footer,
// as the tools' help has always read.
class HelpLayout : public CLI::Formatter {
 public:
  HelpLayout(std::string usage, std::string description)
      : usage_(std::move(usage)), description_(std::move(description)) {
    column_width(22);
  }
  // Usage, description, each group of options after one blank line, footer;
  // subcommands are in the usage lines.
  std::string make_help(const CLI::App* app, std::string, CLI::AppFormatMode) const override {
    std::string out = usage_ + (description_.empty() ? "" : "\n" + description_);
    for (const std::string& group : app->get_groups()) {
      const auto opts = app->get_options(
          [&](const CLI::Option* o) { return o->get_group() == group && o->nonpositional(); });
      if (group.empty() || opts.empty()) continue;
      out += "\n" + group + ":\n";
      for (const CLI::Option* o : opts) out += make_option(o, false);
    }
    const std::string footer = app->get_footer();
    return footer.empty() ? out : out + "\n" + footer + "\n";
  }
  std::string make_option_name(const CLI::Option* opt, bool positional) const override {
    std::string name = CLI::Formatter::make_option_name(opt, positional);
    for (std::size_t i = name.find(','); i != std::string::npos; i = name.find(',', i + 2))
      name.replace(i, 1, ", ");
    return name;
  }

 private:
  std::string usage_;
  std::string description_;
};

std::string firstLine(const std::string& s) { return s.substr(0, s.find('\n')); }

}  // namespace

CommandLine::CommandLine(std::string tool, std::string usage, std::string description,
                         std::string footer)
    : tool_(std::move(tool)), usageLine_(firstLine(usage)), app_("", tool_) {
  app_.formatter(std::make_shared<HelpLayout>(std::move(usage), std::move(description)));
  app_.set_help_flag();
  app_.footer(std::move(footer));
  // Words CLI11 does not know are reported here, in the tools' own words.
  app_.allow_extras();
}

int CommandLine::usageError(const std::string& message) const {
  std::cerr << tool_ << ": " << message << "\n"
            << usageLine_ << "\n"
            << tool_ << " --help for more\n";
  return kExitUsage;
}

void CommandLine::addHelp(const std::string& group, const std::string& description) {
  app_.set_help_flag("-h,--help", description)->group(group)->disable_flag_override();
}

void CommandLine::passRest() {
  passRest_ = true;
  app_.prefix_command();
}

void CommandLine::needsValue(CLI::Option* option, std::string what) {
  needs_.emplace_back(option->get_name(), std::move(what));
}

CLI::Option* CommandLine::addFlag(const std::string& name, bool* target,
                                  const std::string& description) {
  return app_.add_flag(name, *target, description)->disable_flag_override();
}

// CLI11 words these "NAME: 1 required TYPE missing" and "NAME was given a
// disallowed flag override", NAME being the option's get_name().
std::string CommandLine::mismatchMessage(const std::string& what) const {
  for (const auto& [name, need] : needs_)
    if (what.compare(0, name.size() + 2, name + ": ") == 0 &&
        what.find(" required ") != std::string::npos)
      return "option " + name + " needs " + need;
  const std::string flagged = " was given a disallowed flag override";
  if (what.size() > flagged.size() &&
      what.compare(what.size() - flagged.size(), flagged.size(), flagged) == 0) {
    // There the name comes without its dashes.
    std::string name = what.substr(0, what.size() - flagged.size());
    if (name[0] != '-') name = (name.size() == 1 ? "-" : "--") + name;
    return "option " + name + " takes no value";
  }
  return "";
}

int CommandLine::parse(int argc, const char* const* argv) {
  if (!app_.get_help_ptr()) addHelp("Options");
  try {
    app_.parse(argc, argv);
  } catch (const CLI::ArgumentMismatch& e) {
    const std::string message = mismatchMessage(e.what());
    return usageError(message.empty() ? e.what() : message);
  } catch (const CLI::CallForHelp&) {
    std::cout << app_.help();
    return 0;
  } catch (const CLI::Success& e) {
    std::cout << e.what() << "\n";
    return 0;
  } catch (const CLI::ParseError& e) {
    return usageError(e.what());
  }
  std::vector<std::string> extras = app_.remaining(true);
  if (passRest_) rest_ = extras;
  // CLI11 keeps the "--" that ended the options among the extras; the
  // words after it went to the positional options.
  const auto mark = std::find(extras.begin(), extras.end(), "--");
  if (!passRest_ && mark != extras.end()) extras.erase(mark);
  for (const std::string& extra : extras) {
    if (!extra.empty() && extra[0] == '-') return usageError("unknown option \"" + extra + "\"");
    if (passRest_) break;
    return usageError("unexpected \"" + extra + "\"");
  }
  return -1;
}

namespace {

// An option whose text `read` turns into its value, or refuses with the
// reason (after "needs ").
template <typename T, typename Read>
CLI::Option* addChecked(CLI::App& app, const std::string& name, T* target,
                        const std::string& description, Read read) {
  return app
      .add_option_function<std::string>(
          name,
          [=](const std::string& text) {
            std::string need;
            if (!read(text, target, &need))
              throw CLI::ValidationError(name, "needs " + need + ", not " + text);
          },
          description)
      ->option_text("N");
}

// The whole text as a number, or false.
template <typename T, typename Parse>
bool wholeNumber(const std::string& text, Parse parse, T* out) {
  char* end = nullptr;
  errno = 0;
  *out = parse(text.c_str(), &end);
  return !errno && end != text.c_str() && *end == '\0';
}

}  // namespace

CLI::Option* addInteger(CLI::App& app, const std::string& name, long* target, long lo, long hi,
                        const std::string& description) {
  return addChecked(app, name, target, description,
                    [lo, hi](const std::string& text, long* out, std::string* need) {
                      long v = 0;
                      const auto parse = [](const char* s, char** e) {
                        return std::strtol(s, e, 10);
                      };
                      if (wholeNumber(text, parse, &v) && v >= lo && v <= hi) {
                        *out = v;
                        return true;
                      }
                      *need = "a number from " + std::to_string(lo) + " to " + std::to_string(hi);
                      return false;
                    });
}

CLI::Option* addPercentage(CLI::App& app, const std::string& name, double* target,
                           const std::string& description) {
  return addChecked(app, name, target, description,
                    [](const std::string& text, double* out, std::string* need) {
                      double v = 0;
                      const auto parse = [](const char* s, char** e) { return std::strtod(s, e); };
                      if (wholeNumber(text, parse, &v) && v >= 0 && v <= 100) {
                        *out = v;
                        return true;
                      }
                      *need = "a percentage from 0 to 100";
                      return false;
                    });
}

}  // namespace qeltools
