// Registry value checks.
#include "kerneldump/registry_value.h"

#include "common/wformat.h"

namespace kerneldump {
namespace {

bool IsStringType(uint32_t type) { return type == kRegSz || type == kRegExpandSz; }

// UTF-16LE units up to the first zero unit or `units`.
std::wstring DecodeUnits(const uint8_t* bytes, size_t units) {
  std::u16string raw;
  for (size_t i = 0; i < units; ++i) {
    char16_t c = static_cast<char16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
    if (c == 0) break;
    raw.push_back(c);
  }
  return suite::FromUtf16(raw);
}

}  // namespace

long CheckRegString(uint32_t type, const uint8_t* bytes, size_t size, std::wstring& text) {
  if (!IsStringType(type) || size % 2 != 0) return kErrorInvalidData;
  if (size == 0) {
    text.clear();
    return kErrorSuccess;
  }
  if (!bytes || bytes[size - 1] != 0 || bytes[size - 2] != 0) return kErrorInvalidData;
  text = DecodeUnits(bytes, size / 2);
  return kErrorSuccess;
}

long CheckRegDword(uint32_t type, size_t size) {
  return type == kRegDword && size == 4 ? kErrorSuccess : kErrorInvalidData;
}

bool DecodeUnterminatedString(uint32_t type, const uint8_t* bytes, size_t size, std::wstring& text) {
  if (!IsStringType(type) || (size > 0 && !bytes)) return false;
  text = DecodeUnits(bytes, size / 2);
  return true;
}

}  // namespace kerneldump
