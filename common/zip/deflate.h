// Raw DEFLATE compressor (RFC 1951) at level 8: lazy matching over a 32 KiB window, streamed.
//
// Ownership: the caller owns the input, the output and the work buffer; Compress borrows them for the
// one call. Anything but Ok means the stream is not to be used: ReadFailed (the input reported a
// failure), WriteFailed (the output refused bytes) or Inconsistent (the compressor's own size checks
// failed, error_text() says which). DeflateBuffer returns an empty vector for any failure (a
// successful stream is never empty).
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace zip {

// Where the compressor pulls its input from. Read places up to `max` bytes into `buf` and returns how
// many it placed, 0 at the end of the data, or a negative value when reading failed.
class DeflateInput {
 public:
  virtual ~DeflateInput() = default;
  virtual long Read(uint8_t* buf, size_t max) = 0;
};

// Where the compressed bytes go, one filled work buffer at a time. False when the bytes were not taken.
class DeflateOutput {
 public:
  virtual ~DeflateOutput() = default;
  virtual bool Write(const uint8_t* data, size_t len) = 0;
};

enum class DeflateStatus { Ok, ReadFailed, WriteFailed, Inconsistent };

// The compressor's state: about 350 KiB whatever the size of the input. One object may compress any
// number of streams one after the other.
class CDeflater {
 public:
  CDeflater();
  ~CDeflater();
  CDeflater(const CDeflater&) = delete;
  CDeflater& operator=(const CDeflater&) = delete;

  // Compresses everything `in` delivers into one complete raw DEFLATE stream. All output passes
  // through `work` (at least 64 bytes) and is handed to `out` whenever `work` fills and at the end.
  // `compressed` receives the number of bytes handed over.
  DeflateStatus Compress(DeflateInput& in, uint8_t* work, size_t work_size, DeflateOutput& out,
                         uint64_t* compressed);

  // Why the last Compress failed its own consistency checks; empty otherwise.
  const char* error_text() const;

 private:
  struct State;
  std::unique_ptr<State> s_;
};

// Whole-buffer convenience for tests, the benchmark and the fuzzer.
std::vector<uint8_t> DeflateBuffer(const uint8_t* data, size_t len);

}  // namespace zip
