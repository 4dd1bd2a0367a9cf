// Which tests ran a line: `qelcollect --tests-for FILE:LINE`, the tests to
// rerun for a change there.
#pragma once

#include <iosfwd>
#include <string>

#include "coverage.hpp"

namespace qelc {

// The file of `m` that `file` names: the same file once spelled as the
// model spells paths (relative ones from `root`), else the one file whose
// path ends in "/" + file. Null with a message when none or several match.
const FileCov* findFile(const CoverageModel& m, const std::string& file, const std::string& root,
                        std::string* error);

// Writes the names of the tests that ran FILE:LINE to `out`, one a line, in
// the order they ran, and a summary naming the failed ones to `err`. False
// with a message in `error` when the file or the code line is not known.
bool writeTestsFor(std::ostream& out, std::ostream& err, const CoverageModel& m,
                   const std::string& spec, const std::string& root, std::string* error);

}  // namespace qelc
