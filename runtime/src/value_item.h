#pragma once
// One item of a value record, as QelPrint appends it.
#include <cstdarg>
#include <cstddef>

namespace qel_text {
// Size of the local buffer one item is formatted into.
constexpr std::size_t kItemBuffer = 1024;

// Formats the item of value code `typeCode` ("$" name "#" tag "#" value),
// reading the value from `args`, into `out` (kItemBuffer bytes). Returns the
// item's length without terminator, at most kItemBuffer - 1 (a longer item is
// cut to its first kItemBuffer - 1 characters), or -1 when the call adds no
// item (unused code, null text).
int format_item(char* out, const char* name, int typeCode, va_list args);
}  // namespace qel_text
