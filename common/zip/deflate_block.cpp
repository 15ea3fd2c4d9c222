// Block layer of the DEFLATE compressor: Huffman trees, block-type choice and bit output.
#include "common/zip/deflate_block.h"

#include <algorithm>
#include <cstring>

namespace zip {
namespace detail {
namespace {

constexpr uint8_t kLengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                      2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr uint8_t kLengthBase[29] = {0,  1,  2,  3,  4,  5,  6,  7,  8,   10,  12,  14,  16,  20, 24,
                                     28, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 255};
constexpr uint8_t kDistExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                    6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
constexpr uint16_t kDistBase[30] = {0,    1,    2,    3,    4,    6,    8,    12,    16,    24,
                                    32,   48,   64,   96,   128,  192,  256,  384,   512,   768,
                                    1024, 1536, 2048, 3072, 4096, 6144, 8192, 12288, 16384, 24576};
constexpr uint8_t kBitLengthExtra[19] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 3, 7};
// Order in which the code-length code lengths are sent: rarely used lengths last, so they can be cut.
constexpr uint8_t kBitLengthOrder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

struct LengthCodeTable {
  uint8_t v[256];
  constexpr LengthCodeTable() : v() {
    for (int code = 0; code < 28; ++code) {
      for (int k = 0; k < (1 << kLengthExtra[code]); ++k) v[kLengthBase[code] + k] = uint8_t(code);
    }
    v[255] = 28;  // length 258 has a code of its own, shorter than 227..257's 5 extra bits
  }
};
constexpr LengthCodeTable kLengthCodeTable;

uint16_t ReverseBits(unsigned code, unsigned len) {
  unsigned r = 0;
  for (unsigned i = 0; i < len; ++i, code >>= 1) r = (r << 1) | (code & 1);
  return uint16_t(r);
}

// Canonical codes from code lengths, bit-reversed because DEFLATE sends Huffman codes from the top bit.
void AssignCodes(HuffmanTree& tree, int max_code) {
  uint16_t count[16] = {};
  for (int n = 0; n <= max_code; ++n) count[tree.len[n]]++;
  count[0] = 0;
  uint16_t next[16];
  unsigned code = 0;
  for (int bits = 1; bits < 16; ++bits) {
    code = (code + count[bits - 1]) << 1;
    next[bits] = uint16_t(code);
  }
  for (int n = 0; n <= max_code; ++n) {
    unsigned len = tree.len[n];
    if (len) tree.code[n] = ReverseBits(next[len]++, len);
  }
}

struct FixedTrees {
  HuffmanTree lit, dist;
  FixedTrees() {
    for (int n = 0; n < kLiteralCodes + 2; ++n) lit.len[n] = n < 144 ? 8 : n < 256 ? 9 : n < 280 ? 7 : 8;
    for (int n = 0; n < kDistanceCodes; ++n) dist.len[n] = 5;
    AssignCodes(lit, kLiteralCodes + 1);
    AssignCodes(dist, kDistanceCodes - 1);
  }
};
const FixedTrees& Fixed() {
  static const FixedTrees trees;
  return trees;
}

}  // namespace

const uint8_t kLengthCode[256] = {
#define ROW(i) \
  kLengthCodeTable.v[i], kLengthCodeTable.v[i + 1], kLengthCodeTable.v[i + 2], kLengthCodeTable.v[i + 3]
#define ROW16(i) ROW(i), ROW(i + 4), ROW(i + 8), ROW(i + 12)
    ROW16(0),   ROW16(16),  ROW16(32),  ROW16(48),  ROW16(64),  ROW16(80),  ROW16(96),  ROW16(112),
    ROW16(128), ROW16(144), ROW16(160), ROW16(176), ROW16(192), ROW16(208), ROW16(224), ROW16(240),
#undef ROW16
#undef ROW
};

int BuildCodeLengths(const uint32_t* freq, int n, int max_bits, uint8_t* len) {
  struct Leaf {
    uint32_t freq;
    uint16_t sym;
  };
  Leaf leaves[kLiteralCodes + 2];
  int count = 0;
  int max_code = -1;
  for (int s = 0; s < n; ++s) {
    len[s] = 0;
    if (freq[s]) {
      leaves[count++] = {freq[s], uint16_t(s)};
      max_code = s;
    }
  }
  if (count < 2) {
    // Readers want at least one bit per code, so a lone symbol (or none) is paired with a second
    // one that is never sent.
    if (count == 0) {
      len[0] = len[1] = 1;
      return 1;
    }
    int other = max_code < 1 ? 1 : 0;
    len[max_code] = len[other] = 1;
    return std::max(max_code, other);
  }
  std::sort(leaves, leaves + count,
            [](const Leaf& a, const Leaf& b) { return a.freq != b.freq ? a.freq < b.freq : a.sym < b.sym; });

  // Two-queue Huffman construction: leaves sorted by weight, internal nodes made in weight order.
  uint32_t weight[2 * (kLiteralCodes + 2)];
  uint16_t parent[2 * (kLiteralCodes + 2)];
  for (int i = 0; i < count; ++i) weight[i] = leaves[i].freq;
  int next_leaf = 0, next_node = count, made = count;
  auto take = [&]() {
    if (next_leaf < count && (next_node >= made || weight[next_leaf] <= weight[next_node]))
      return next_leaf++;
    return next_node++;
  };
  while (made < 2 * count - 1) {
    int a = take();
    int b = take();
    weight[made] = weight[a] + weight[b];
    parent[a] = parent[b] = uint16_t(made);
    ++made;
  }
  uint8_t depth[2 * (kLiteralCodes + 2)];
  int root = made - 1;
  depth[root] = 0;
  for (int i = root - 1; i >= 0; --i) depth[i] = uint8_t(std::min(depth[parent[i]] + 1, 255));

  // Clamp to max_bits, then restore a complete code: each step moves one leaf up from the deepest
  // level into a pair beside a shortened leaf, lowering the Kraft sum by exactly one unit.
  uint32_t bl_count[256] = {};
  uint32_t kraft = 0;
  for (int i = 0; i < count; ++i) {
    int d = std::min<int>(depth[i], max_bits);
    bl_count[d]++;
    kraft += 1u << (max_bits - d);
  }
  for (uint32_t excess = kraft - (1u << max_bits); excess > 0; --excess) {
    int bits = max_bits - 1;
    while (bits > 0 && bl_count[bits] == 0) --bits;
    if (bits == 0 || bl_count[max_bits] == 0) break;  // cannot happen for counts below 2^max_bits
    bl_count[bits]--;
    bl_count[bits + 1] += 2;
    bl_count[max_bits]--;
  }
  // Longest codes to the rarest symbols.
  int i = 0;
  for (int bits = max_bits; bits > 0; --bits) {
    for (uint32_t k = 0; k < bl_count[bits]; ++k) len[leaves[i++].sym] = uint8_t(bits);
  }
  return max_code;
}

void CBitWriter::Begin(uint8_t* work, size_t size, DeflateOutput* out) {
  work_ = work;
  size_ = size;
  pos_ = 0;
  out_ = out;
  buf_ = 0;
  count_ = 0;
  handed_ = 0;
  failed_ = false;
}

void CBitWriter::FlushWork() {
  if (pos_ == 0) return;
  if (!failed_ && !out_->Write(work_, pos_)) failed_ = true;
  handed_ += pos_;
  pos_ = 0;
}

void CBitWriter::AlignToByte() {
  unsigned pad = (8 - count_ % 8) % 8;
  count_ += pad;
  while (count_ > 0) {
    if (pos_ == size_) FlushWork();
    work_[pos_++] = uint8_t(buf_);
    buf_ >>= 8;
    count_ -= 8;
  }
}

void CBitWriter::PutBytes(const uint8_t* data, size_t len) {
  while (len > 0) {
    if (pos_ == size_) FlushWork();
    size_t n = std::min(len, size_ - pos_);
    memcpy(work_ + pos_, data, n);
    pos_ += n;
    data += n;
    len -= n;
  }
}

bool CBitWriter::Finish() {
  AlignToByte();
  FlushWork();
  return !failed_;
}

void CBlockEncoder::Begin(uint8_t* work, size_t size, DeflateOutput* out) {
  bits_.Begin(work, size, out);
  error_ = "";
  ResetBlock();
}

void CBlockEncoder::ResetBlock() {
  sym_next_ = 0;
  memset(lit_freq_, 0, sizeof(lit_freq_));
  memset(dist_freq_, 0, sizeof(dist_freq_));
  lit_freq_[kEndOfBlock] = 1;
}

void CBlockEncoder::EmitStored(const uint8_t* raw, size_t raw_len, bool last) {
  // A stored block holds at most 65535 bytes; a longer run is sent as several.
  do {
    size_t n = std::min<size_t>(raw_len, 65535);
    bool final_piece = last && n == raw_len;
    bits_.Put(final_piece ? 1 : 0, 3);
    bits_.AlignToByte();
    uint8_t hdr[4] = {uint8_t(n), uint8_t(n >> 8), uint8_t(~n), uint8_t(~n >> 8)};
    bits_.PutBytes(hdr, 4);
    bits_.PutBytes(raw, n);
    raw += n;
    raw_len -= n;
  } while (raw_len > 0);
}

void CBlockEncoder::EmitSymbols(const HuffmanTree& lit, const HuffmanTree& dist) {
  for (unsigned i = 0; i < sym_next_; i += 3) {
    unsigned d = sym_[i] | unsigned(sym_[i + 1]) << 8;
    unsigned lc = sym_[i + 2];
    if (d == 0) {
      bits_.Put(lit.code[lc], lit.len[lc]);
      continue;
    }
    unsigned code = kLengthCode[lc];
    // Length code and its extra bits together fit one Put (at most 15 + 5 bits).
    unsigned nlen = lit.len[257 + code];
    bits_.Put(lit.code[257 + code] | (unsigned(lc - kLengthBase[code]) << nlen), nlen + kLengthExtra[code]);
    d -= 1;
    unsigned dc = DistanceCode(d);
    unsigned ndist = dist.len[dc];
    bits_.Put(dist.code[dc] | ((d - kDistBase[dc]) << ndist), ndist + kDistExtra[dc]);
  }
  bits_.Put(lit.code[kEndOfBlock], lit.len[kEndOfBlock]);
}

void CBlockEncoder::EmitTreeHeader(int lcodes, int dcodes, int blcodes) {
  bits_.Put(lcodes - 257, 5);
  bits_.Put(dcodes - 1, 5);
  bits_.Put(blcodes - 4, 4);
  for (int i = 0; i < blcodes; ++i) bits_.Put(bl_tree_.len[kBitLengthOrder[i]], 3);
  for (int i = 0; i < rle_count_; ++i) {
    unsigned s = rle_sym_[i];
    bits_.Put(bl_tree_.code[s], bl_tree_.len[s]);
    if (kBitLengthExtra[s]) bits_.Put(rle_extra_[i], kBitLengthExtra[s]);
  }
}

namespace {

// Run-length coding of one tree's code lengths with the repeat codes 16 (previous length 3-6 times),
// 17 (zero 3-10 times) and 18 (zero 11-138 times).
int RunLengthCode(const uint8_t* len, int max_code, uint8_t* sym, uint8_t* extra) {
  int ops = 0;
  int prevlen = -1;
  int nextlen = len[0];
  int count = 0;
  int max_count = nextlen == 0 ? 138 : 7;
  int min_count = nextlen == 0 ? 3 : 4;
  for (int n = 0; n <= max_code; ++n) {
    int curlen = nextlen;
    nextlen = n + 1 <= max_code ? len[n + 1] : -1;
    if (++count < max_count && curlen == nextlen) continue;
    if (count < min_count) {
      while (count--) sym[ops] = uint8_t(curlen), extra[ops++] = 0;
    } else if (curlen != 0) {
      if (curlen != prevlen) sym[ops] = uint8_t(curlen), extra[ops++] = 0, --count;
      sym[ops] = 16, extra[ops++] = uint8_t(count - 3);
    } else if (count <= 10) {
      sym[ops] = 17, extra[ops++] = uint8_t(count - 3);
    } else {
      sym[ops] = 18, extra[ops++] = uint8_t(count - 11);
    }
    count = 0;
    prevlen = curlen;
    if (nextlen == 0) {
      max_count = 138, min_count = 3;
    } else if (curlen == nextlen) {
      max_count = 6, min_count = 3;
    } else {
      max_count = 7, min_count = 4;
    }
  }
  return ops;
}

}  // namespace

void CBlockEncoder::FlushBlock(const uint8_t* raw, size_t raw_len, bool last) {
  const FixedTrees& fixed = Fixed();
  int max_lit = BuildCodeLengths(lit_freq_, kLiteralCodes, 15, lit_tree_.len);
  int max_dist = BuildCodeLengths(dist_freq_, kDistanceCodes, 15, dist_tree_.len);
  AssignCodes(lit_tree_, max_lit);
  AssignCodes(dist_tree_, max_dist);

  uint64_t dyn_bits = 0, fixed_bits = 0;
  for (int n = 0; n < kLiteralCodes; ++n) {
    uint64_t f = lit_freq_[n];
    if (!f) continue;
    unsigned x = n > kEndOfBlock ? kLengthExtra[n - 257] : 0;
    dyn_bits += f * (lit_tree_.len[n] + x);
    fixed_bits += f * (fixed.lit.len[n] + x);
  }
  for (int n = 0; n < kDistanceCodes; ++n) {
    uint64_t f = dist_freq_[n];
    dyn_bits += f * (dist_tree_.len[n] + kDistExtra[n]);
    fixed_bits += f * (5 + kDistExtra[n]);
  }

  rle_count_ = RunLengthCode(lit_tree_.len, max_lit, rle_sym_, rle_extra_);
  rle_count_ += RunLengthCode(dist_tree_.len, max_dist, rle_sym_ + rle_count_, rle_extra_ + rle_count_);
  uint32_t bl_freq[kBitLengthCodes] = {};
  for (int i = 0; i < rle_count_; ++i) bl_freq[rle_sym_[i]]++;
  int max_bl = BuildCodeLengths(bl_freq, kBitLengthCodes, 7, bl_tree_.len);
  AssignCodes(bl_tree_, max_bl);
  int max_blindex = kBitLengthCodes - 1;
  while (max_blindex >= 3 && bl_tree_.len[kBitLengthOrder[max_blindex]] == 0) --max_blindex;
  dyn_bits += 3 * (max_blindex + 1) + 5 + 5 + 4;
  for (int n = 0; n < kBitLengthCodes; ++n)
    dyn_bits += uint64_t(bl_freq[n]) * (bl_tree_.len[n] + kBitLengthExtra[n]);

  // Sizes in bytes including the 3-bit block header; ties between the tree kinds go to fixed trees.
  uint64_t dyn_bytes = (dyn_bits + 3 + 7) >> 3;
  uint64_t fixed_bytes = (fixed_bits + 3 + 7) >> 3;
  uint64_t best_tree = std::min(dyn_bytes, fixed_bytes);
  uint64_t start = bits_.total_bits();
  if (raw && raw_len + 4 <= best_tree) {
    EmitStored(raw, raw_len, last);
  } else if (fixed_bytes == best_tree) {
    bits_.Put((last ? 1 : 0) | 2, 3);
    EmitSymbols(fixed.lit, fixed.dist);
    if (bits_.total_bits() - start != fixed_bits + 3) error_ = "bad compressed size";
  } else {
    bits_.Put((last ? 1 : 0) | 4, 3);
    EmitTreeHeader(max_lit + 1, max_dist + 1, max_blindex + 1);
    EmitSymbols(lit_tree_, dist_tree_);
    if (bits_.total_bits() - start != dyn_bits + 3) error_ = "bad compressed size";
  }
  ResetBlock();
  if (last) bits_.AlignToByte();
}

}  // namespace detail
}  // namespace zip
