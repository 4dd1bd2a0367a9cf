// The driver generator: reads the functions of C sources through the shared
// parsing layer and writes one drive_<Function> routine per function, the
// driver's group table and main, and one vector skeleton per group.
//
// A group is one source file: its functions (defined there, with external
// linkage) in source order, its vector file Value_<file's base name>.json.
#ifndef QELGEN_GENERATOR_H
#define QELGEN_GENERATOR_H

#include <map>
#include <set>
#include <string>
#include <vector>

namespace qelgen {

struct Settings {
  std::vector<std::string> sources;      // one group each, in this order
  std::vector<std::string> compileArgs;  // -I, -D, -std, ...
  std::vector<std::string> headers;      // included by the driver, as written
  std::string program = "drive";         // name in messages
  std::string projectRoot;               // default root of the driver
  std::string vectorFolder = "/Korvo_Projects/Value";
  // Functions whose routine is written by hand elsewhere: the driver
  // declares and calls it.
  std::set<std::string> hand;
  // Calling order of a group's functions, by group name; functions not
  // named keep source order after the named ones.
  std::map<std::string, std::vector<std::string>> order;
};

struct Skipped {
  std::string function;
  std::string where;   // file:line
  std::string reason;  // "parameter f is a function pointer"
};

struct Output {
  std::string driver;                          // C++ source
  std::map<std::string, std::string> vectors;  // file name -> JSON skeleton
  std::vector<Skipped> skipped;
  std::vector<std::string> errors;  // parse errors; nothing is written then
  int functions = 0;                // routines generated
};

Output Generate(const Settings& settings);

}  // namespace qelgen

#endif  // QELGEN_GENERATOR_H
