// Test-only archive reader: parses the end record, the central directory and the local headers by
// hand and inflates with zlib, so what our writer produced is checked by code that shares nothing
// with it.
//
// Nothing is kept: ReadZip reads the caller's bytes. `ok` false means the archive did not parse, and
// `error` says why.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace zip {
namespace testing {

struct ReadEntry {
  std::string name;
  uint16_t central_flags = 0, local_flags = 0, method = 0;
  uint32_t dos_time = 0, crc = 0, compressed = 0, uncompressed = 0;
  uint32_t local_crc = 0, local_compressed = 0, local_uncompressed = 0;
  uint32_t attributes = 0, offset = 0;
  uint32_t mtime = 0, atime = 0, ctime = 0;  // from the local extended time stamp field
  uint32_t central_mtime = 0;
  bool has_descriptor = false;
  uint32_t data_offset = 0;
  uint32_t end_offset = 0;    // after the data and its descriptor
  std::vector<uint8_t> data;  // inflated (or stored) contents, CRC-checked
  bool inflated = true;       // false where the reader has no inflater (data then left empty)
};

struct ReadArchive {
  bool ok = false;
  std::string error;
  std::vector<ReadEntry> entries;
  uint32_t directory_offset = 0, directory_size = 0;
  uint16_t entry_count = 0;
  size_t end_record_offset = 0;
};

// Offsets in the archive count from bytes[0].
ReadArchive ReadZip(const std::vector<uint8_t>& bytes);

// `n` bytes from a generator seeded with `seed`: the same input on every run and platform.
std::vector<uint8_t> RandomBytes(size_t n, unsigned seed);

}  // namespace testing
}  // namespace zip
