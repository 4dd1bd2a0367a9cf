// Well-formed UTF-8, as every text output of the tools decides it: JSON
// carries such text as it is and the XML writer too; any other byte gets
// the format's own notation, so no output is ever invalid.
#pragma once

#include <cstddef>
#include <string_view>

namespace qeltools {

// Length of the well-formed UTF-8 sequence of two to four bytes that starts
// at s[i] (no overlong form, no surrogate, nothing above U+10FFFF); 0 when
// none starts there. ASCII is not counted: callers handle it first.
std::size_t utf8SequenceLength(std::string_view s, std::size_t i);

}  // namespace qeltools
