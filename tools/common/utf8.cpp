#include "qeltools/utf8.hpp"

namespace qeltools {

std::size_t utf8SequenceLength(std::string_view s, std::size_t i) {
  const auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char c = b(i);
  std::size_t n = 0;
  if (c >= 0xC2 && c <= 0xDF)
    n = 2;
  else if (c >= 0xE0 && c <= 0xEF)
    n = 3;
  else if (c >= 0xF0 && c <= 0xF4)
    n = 4;
  else
    return 0;
  if (i + n > s.size()) return 0;
  for (std::size_t k = 1; k < n; ++k)
    if ((b(i + k) & 0xC0) != 0x80) return 0;
  // Overlong forms, surrogates and code points above U+10FFFF.
  if (c == 0xE0 && b(i + 1) < 0xA0) return 0;
  if (c == 0xED && b(i + 1) >= 0xA0) return 0;
  if (c == 0xF0 && b(i + 1) < 0x90) return 0;
  if (c == 0xF4 && b(i + 1) >= 0x90) return 0;
  return n;
}

}  // namespace qeltools
