// Test support: bytes from memory handed out in pieces of chosen sizes, as a file, a pipe or a
// chunked reader hands them out, to the archive writer (IZipSource) and the compressor (DeflateInput)
// alike, optionally failing from a given offset on. Shared by the zip tests and fuzz targets, so that
// every one of them reads its input the same way (the benchmark streams through DeflateBuffer).
//
// Ownership: a source keeps its own copy of the bytes and of its piece sizes.
#pragma once
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <random>
#include <utility>
#include <vector>

#include "common/zip/deflate.h"
#include "common/zip/zip_archive.h"

namespace zip {
namespace testing {

// The size of the next piece. A read never takes more than its caller asks for or than is left.
typedef std::function<size_t()> PieceSizes;

// As much as the caller asks for.
inline PieceSizes WholePieces() {
  return [] { return SIZE_MAX; };
}
inline PieceSizes FixedPieces(size_t size) {
  return [size] { return size; };
}
// Sizes from 1 to `largest`, drawn from a generator seeded with `seed`: the same pieces on every run
// and platform.
inline PieceSizes RandomPieces(unsigned seed, size_t largest) {
  std::mt19937 rng(seed);
  return [rng, largest]() mutable { return size_t(rng() % largest + 1); };
}
// The given sizes in turn, over and over; 4096 bytes a piece when none are given.
inline PieceSizes CyclingPieces(std::vector<size_t> sizes) {
  size_t next = 0;
  return [sizes, next]() mutable { return sizes.empty() ? size_t(4096) : sizes[next++ % sizes.size()]; };
}

class PieceSource : public IZipSource, public DeflateInput {
 public:
  // With `fail_at` >= 0, every read from that offset on fails (-1), as a broken file or pipe does.
  explicit PieceSource(std::vector<uint8_t> data, PieceSizes pieces = WholePieces(), long fail_at = -1)
      : data_(std::move(data)), pieces_(std::move(pieces)), fail_at_(fail_at) {}
  long Read(uint8_t* buf, size_t max) override {
    if (fail_at_ >= 0 && pos_ >= size_t(fail_at_)) return -1;
    size_t n = std::min({max, pieces_(), data_.size() - pos_});
    if (n) memcpy(buf, data_.data() + pos_, n);
    pos_ += n;
    return long(n);
  }

 private:
  std::vector<uint8_t> data_;
  PieceSizes pieces_;
  long fail_at_;
  size_t pos_ = 0;
};

}  // namespace testing
}  // namespace zip
