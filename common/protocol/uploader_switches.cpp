// The rule that keeps a value of the uploader's command line in one piece.
#include "common/protocol/uploader_switches.h"

namespace protocol {

std::wstring SafeSwitchValue(std::wstring value) {
  for (wchar_t& c : value)
    if (c < 0x20 || c == L' ' || c == L'/' || c == L'\\') c = L'_';
  return value;
}

}  // namespace protocol
