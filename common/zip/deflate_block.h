// Block layer of the DEFLATE compressor: collects literals and matches, builds the Huffman trees and
// emits each block as stored, fixed-tree or dynamic-tree, whichever is smallest.
//
// Internal to the compressor (namespace detail), exposed for deflate.cpp and the tests. The encoder
// borrows the work buffer and the output of the Compress call it serves; a refused write sticks
// (failed(), write_failed()) and the rest of the stream is dropped; error() names a broken
// consistency check, and is empty while there is none.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "common/zip/deflate.h"

namespace zip {
namespace detail {

constexpr int kLiteralCodes = 286;  // 256 literals, end of block, 29 length codes
constexpr int kDistanceCodes = 30;
constexpr int kBitLengthCodes = 19;
constexpr int kEndOfBlock = 256;
constexpr unsigned kSymbolBufferSize = 16384;  // symbols per block, as with the classic memory level 8

// Length code (0..28) of a match length minus 3, and distance code of a distance minus 1.
extern const uint8_t kLengthCode[256];
inline unsigned DistanceCode(unsigned d) {
  if (d < 4) return d;
  unsigned top = 31 - __builtin_clz(d);  // position of the highest set bit, >= 2
  return 2 * top + ((d >> (top - 1)) & 1);
}

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the bit packer stores its words as they lie");

// Least-significant-bit-first bit packer writing through the work buffer into a DeflateOutput.
class CBitWriter {
 public:
  void Begin(uint8_t* work, size_t size, DeflateOutput* out);
  // Appends the low `n` bits of `bits` (n <= 32, upper bits clear).
  inline void Put(uint32_t bits, unsigned n) {
    buf_ |= uint64_t(bits) << count_;
    count_ += n;
    if (count_ >= 32) Spill();
  }
  void AlignToByte();                              // pads with zero bits to a byte boundary
  void PutBytes(const uint8_t* data, size_t len);  // only on a byte boundary
  bool Finish();                                   // aligns, hands over the rest of the work buffer
  uint64_t total_bits() const { return (handed_ + pos_) * 8 + count_; }
  uint64_t bytes_out() const { return handed_ + pos_; }
  bool failed() const { return failed_; }

 private:
  inline void Spill() {
    if (pos_ + 4 > size_) FlushWork();
    uint32_t w = uint32_t(buf_);  // the low bits first: little-endian order is the stream's order
    memcpy(work_ + pos_, &w, 4);
    pos_ += 4;
    buf_ >>= 32;
    count_ -= 32;
  }
  void FlushWork();

  uint8_t* work_ = nullptr;
  size_t size_ = 0;
  size_t pos_ = 0;
  DeflateOutput* out_ = nullptr;
  uint64_t buf_ = 0;
  unsigned count_ = 0;
  uint64_t handed_ = 0;
  bool failed_ = false;
};

struct HuffmanTree {
  uint16_t code[kLiteralCodes + 2];  // bit-reversed, ready for CBitWriter::Put
  uint8_t len[kLiteralCodes + 2];
};

class CBlockEncoder {
 public:
  void Begin(uint8_t* work, size_t size, DeflateOutput* out);
  // Both return true when the symbol buffer is full and the block must be flushed.
  inline bool TallyLiteral(uint8_t c) {
    sym_[sym_next_++] = 0;
    sym_[sym_next_++] = 0;
    sym_[sym_next_++] = c;
    lit_freq_[c]++;
    return sym_next_ == kSymEnd;
  }
  // dist 1..32768, len 3..258.
  inline bool TallyMatch(unsigned dist, unsigned len) {
    if (dist - 1 >= 32768 || len - 3 > 255) error_ = "ct_tally: bad match";
    sym_[sym_next_++] = uint8_t(dist);
    sym_[sym_next_++] = uint8_t(dist >> 8);
    sym_[sym_next_++] = uint8_t(len - 3);
    lit_freq_[257 + kLengthCode[(len - 3) & 255]]++;
    dist_freq_[DistanceCode((dist - 1) & 32767)]++;
    return sym_next_ == kSymEnd;
  }
  // Emits the collected symbols as one block. `raw` is the block's input when it is still in the
  // window (null otherwise), which is what makes a stored block possible.
  void FlushBlock(const uint8_t* raw, size_t raw_len, bool last);
  bool Finish() { return bits_.Finish(); }
  uint64_t bytes_out() const { return bits_.bytes_out(); }
  bool write_failed() const { return bits_.failed(); }
  const char* error() const { return error_; }

 private:
  static constexpr unsigned kSymEnd = (kSymbolBufferSize - 1) * 3;

  void ResetBlock();
  void EmitStored(const uint8_t* raw, size_t raw_len, bool last);
  void EmitSymbols(const HuffmanTree& lit, const HuffmanTree& dist);
  void EmitTreeHeader(int lcodes, int dcodes, int blcodes);

  CBitWriter bits_;
  uint8_t sym_[kSymEnd + 3];
  unsigned sym_next_ = 0;
  uint32_t lit_freq_[kLiteralCodes + 2];
  uint32_t dist_freq_[kDistanceCodes];
  HuffmanTree lit_tree_, dist_tree_, bl_tree_;
  // Code length run-length operations of the current dynamic header: symbol and extra-bits value.
  uint8_t rle_sym_[kLiteralCodes + kDistanceCodes];
  uint8_t rle_extra_[kLiteralCodes + kDistanceCodes];
  int rle_count_ = 0;
  const char* error_ = "";
};

// Code lengths of a length-limited Huffman code for freq[0..n). Symbols of frequency 0 get length 0;
// at least two symbols get a length (a lone code is paired as the format's readers expect). Returns
// the highest symbol with a length. Exposed for tests.
int BuildCodeLengths(const uint32_t* freq, int n, int max_bits, uint8_t* len);

}  // namespace detail
}  // namespace zip
