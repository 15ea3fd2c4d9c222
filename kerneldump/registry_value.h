// Checks applied to registry values before they are trusted (platform-free, so they can be tested
// on any build): stored type, byte size, terminating zero.
//
// Every function takes and returns values; the caller owns the bytes. A result other than
// kErrorSuccess (or false) means the value is not to be trusted, and `text` is left as it was.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace kerneldump {

constexpr uint32_t kRegSz = 1;
constexpr uint32_t kRegExpandSz = 2;
constexpr uint32_t kRegDword = 4;
constexpr long kErrorSuccess = 0;
constexpr long kErrorInvalidData = 13;

// A string value as it came back from the registry: REG_SZ or REG_EXPAND_SZ, an even byte count,
// and a terminating zero character when it is not empty. On success `text` holds the characters
// up to the first zero; on failure `text` is left alone.
long CheckRegString(uint32_t type, const uint8_t* bytes, size_t size, std::wstring& text);

// A DWORD value: only REG_DWORD with four bytes is accepted.
long CheckRegDword(uint32_t type, size_t size);

// The stored identity is written without its terminating zero, so its reader takes the UTF-16
// units up to the first zero or the end of the data. Any string type; false for other types.
bool DecodeUnterminatedString(uint32_t type, const uint8_t* bytes, size_t size, std::wstring& text);

}  // namespace kerneldump
