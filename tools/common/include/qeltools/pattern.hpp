// Shell wildcard patterns, as --filter reads them, with one set of rules on
// every system (the Windows C library has no fnmatch()): the rules of POSIX
// fnmatch() without flags in the C locale.
//   *        any run of characters, empty included ('/' and a leading '.' too)
//   ?        any one character
//   [set]    one character of the set: single characters, ranges "a-z" (by
//            byte value), classes "[:digit:]"; "[!set]" or "[^set]" any
//            character outside it; a ']' first in the set is one of its
//            characters; a '[' that no ']' closes is an ordinary character
//   \c       the character c itself; a pattern ending in a lone '\' matches
//            nothing
#pragma once

#include <string>

namespace qeltools {

bool matchesPattern(const std::string& pattern, const std::string& name);

}  // namespace qeltools
