// CRC-32 of ZIP entries (reflected polynomial 0xEDB88320, initial value all ones, final inversion).
//
// Nothing is kept between calls and nothing can fail.
#pragma once
#include <cstddef>
#include <cstdint>

namespace zip {

// Continues `crc` (0 for a fresh run) over `len` bytes; Crc32Update(Crc32Update(0, a), b) equals the
// CRC of a followed by b.
uint32_t Crc32Update(uint32_t crc, const void* data, size_t len);

}  // namespace zip
