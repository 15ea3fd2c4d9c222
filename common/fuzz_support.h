// Small helpers shared by the libFuzzer targets (fuzzing tree only).
//
// Nothing is owned or kept; a broken invariant ends the process, which is how a fuzz target reports a
// finding.
#pragma once
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>
#include <string>

namespace suite {

// A broken invariant is a finding: stop at once so libFuzzer keeps the input.
inline void FuzzCheck(bool ok) {
  if (!ok) abort();
}

// UTF-16 text of up to `max` units from the fuzzer's bytes, as Windows hands wide strings over
// (unpaired surrogates and NULs included).
inline std::wstring ConsumeWideText(FuzzedDataProvider& fdp, size_t max) {
  std::string raw = fdp.ConsumeRandomLengthString(max * 2);
  std::wstring text;
  for (size_t i = 0; i + 1 < raw.size(); i += 2)
    text.push_back(wchar_t(uint8_t(raw[i]) | uint8_t(raw[i + 1]) << 8));
  return text;
}

}  // namespace suite
