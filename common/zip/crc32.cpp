// Table-driven CRC-32 for ZIP entries, eight bytes per step (slicing by 8).
#include "common/zip/crc32.h"

#include <cstring>

namespace zip {
namespace {

struct Crc32Tables {
  uint32_t t[8][256];
  constexpr Crc32Tables() : t() {
    for (uint32_t n = 0; n < 256; ++n) {
      uint32_t c = n;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[0][n] = c;
    }
    // t[k][n] is the CRC of byte n followed by k zero bytes: lets eight bytes be folded at once.
    for (uint32_t n = 0; n < 256; ++n) {
      for (int k = 1; k < 8; ++k) t[k][n] = (t[k - 1][n] >> 8) ^ t[0][t[k - 1][n] & 0xFF];
    }
  }
};

constexpr Crc32Tables kTables;

inline uint32_t Load32Le(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

}  // namespace

uint32_t Crc32Update(uint32_t crc, const void* data, size_t len) {
  const uint8_t* p = static_cast<const uint8_t*>(data);
  const auto& t = kTables.t;
  uint32_t c = ~crc;
  while (len >= 8) {
    uint32_t lo = c ^ Load32Le(p);
    uint32_t hi = Load32Le(p + 4);
    c = t[7][lo & 0xFF] ^ t[6][(lo >> 8) & 0xFF] ^ t[5][(lo >> 16) & 0xFF] ^ t[4][lo >> 24] ^
        t[3][hi & 0xFF] ^ t[2][(hi >> 8) & 0xFF] ^ t[1][(hi >> 16) & 0xFF] ^ t[0][hi >> 24];
    p += 8;
    len -= 8;
  }
  while (len--) c = t[0][(c ^ *p++) & 0xFF] ^ (c >> 8);
  return ~c;
}

}  // namespace zip
