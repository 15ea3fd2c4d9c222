// Cutting text kept as UTF-16 units (as Windows keeps it) to a length in units.
#pragma once
#include <string>

namespace suite {

// At most `units` units of `text`, never ending in the first half of a surrogate pair (its second
// half cut off, or missing already): a lone half would make the text invalid UTF-16.
inline std::wstring CutWithoutSplittingPairs(const std::wstring& text, size_t units) {
  size_t n = text.size() < units ? text.size() : units;
  if (n > 0 && text[n - 1] >= 0xD800 && text[n - 1] <= 0xDBFF) --n;
  return text.substr(0, n);
}

}  // namespace suite
