// What the user's -Werror makes of the counted compile's warnings.
//
// The counted text is preprocessed, so the compiler no longer knows what came
// from a macro and warns where the original compile does not (gcc's -Waddress
// on `(p) != NULL` in a macro given `&x`). Under a global -Werror that would
// fail the build, so the counted text is compiled with -Wno-error instead: its
// object is kept, and only when a warning appears that -Werror would have made
// an error does the original compile decide, one compile instead of two more.
#pragma once

#include <set>
#include <string>
#include <vector>

namespace qelcc {

// The global -Werror as the user's arguments leave it (the last of -Werror
// and -Wno-error wins), and the warnings -Wno-error=X keeps as warnings.
struct WarningsAsErrors {
  bool all = false;
  std::set<std::string> tolerated;  // X of -Wno-error=X, without "-W"
};
WarningsAsErrors WarningsAsErrorsOf(const std::vector<std::string>& args);

// Whether a compile's diagnostics, made with -Wno-error appended, hold a
// warning the user's -Werror would have made an error: one whose option is
// not tolerated, or that names no option.
bool HasWarningMadeError(const std::string& diagnostics, const WarningsAsErrors& w);

}  // namespace qelcc
