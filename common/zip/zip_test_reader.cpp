// Independent test reader of archives (hand-parsed records, zlib for inflating and CRC).
#include "common/zip/zip_test_reader.h"

#include <random>

#if ZIP_TEST_READER_ZLIB
#include <zlib.h>
#endif

namespace zip {
namespace testing {
namespace {

uint32_t Get16(const std::vector<uint8_t>& b, size_t at) { return b[at] | uint32_t(b[at + 1]) << 8; }
uint32_t Get32(const std::vector<uint8_t>& b, size_t at) { return Get16(b, at) | Get16(b, at + 2) << 16; }

#if ZIP_TEST_READER_ZLIB
bool InflateRaw(const uint8_t* in, size_t in_len, size_t out_len, std::vector<uint8_t>* out,
                std::string* err) {
  z_stream z = {};
  if (inflateInit2(&z, -15) != Z_OK) return false;
  out->assign(out_len + 1, 0);  // one spare byte shows up a stream that runs long
  z.next_in = const_cast<uint8_t*>(in);
  z.avail_in = uInt(in_len);
  z.next_out = out->data();
  z.avail_out = uInt(out->size());
  int rc = inflate(&z, Z_FINISH);
  bool good = rc == Z_STREAM_END && z.total_out == out_len && z.avail_in == 0;
  if (!good) *err = "inflate failed: " + std::to_string(rc) + (z.msg ? std::string(" ") + z.msg : "");
  inflateEnd(&z);
  out->resize(out_len);
  return good;
}

uint32_t Crc(const std::vector<uint8_t>& data) { return uint32_t(crc32(0, data.data(), uInt(data.size()))); }
#else
// Without zlib (the Windows tree) deflated data is left to the host-side readers; only the records are
// checked.
uint32_t Crc(const std::vector<uint8_t>& data) {
  uint32_t c = 0xFFFFFFFF;
  for (uint8_t byte : data) {
    c ^= byte;
    for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1)));
  }
  return ~c;
}
#endif

bool Fail(ReadArchive& a, const std::string& why) {
  a.error = why;
  return false;
}

bool ReadEntryAt(const std::vector<uint8_t>& b, ReadArchive& a, ReadEntry& e) {
  size_t at = e.offset;
  if (at + 30 > b.size() || Get32(b, at) != 0x04034b50) return Fail(a, "no local header for " + e.name);
  e.local_flags = uint16_t(Get16(b, at + 6));
  if (Get16(b, at + 8) != e.method) return Fail(a, "method differs for " + e.name);
  if (Get32(b, at + 10) != e.dos_time) return Fail(a, "time differs for " + e.name);
  e.local_crc = Get32(b, at + 14);
  e.local_compressed = Get32(b, at + 18);
  e.local_uncompressed = Get32(b, at + 22);
  size_t name_len = Get16(b, at + 26), extra_len = Get16(b, at + 28);
  if (std::string(b.begin() + at + 30, b.begin() + at + 30 + name_len) != e.name)
    return Fail(a, "name differs");
  size_t extra = at + 30 + name_len;
  if (extra_len == 17 && Get16(b, extra) == 0x5455 && Get16(b, extra + 2) == 13 && b[extra + 4] == 7) {
    e.mtime = Get32(b, extra + 5);
    e.atime = Get32(b, extra + 9);
    e.ctime = Get32(b, extra + 13);
  }
  e.data_offset = uint32_t(extra + extra_len);
  if (size_t(e.data_offset) + e.compressed > b.size()) return Fail(a, "data runs past the end: " + e.name);
  const uint8_t* data = b.data() + e.data_offset;
  if (e.method == 0) {
    if (e.compressed != e.uncompressed) return Fail(a, "stored sizes differ: " + e.name);
    e.data.assign(data, data + e.compressed);
  } else if (e.method == 8) {
#if ZIP_TEST_READER_ZLIB
    if (!InflateRaw(data, e.compressed, e.uncompressed, &e.data, &a.error)) return false;
#else
    e.inflated = false;
#endif
  } else {
    return Fail(a, "unknown method");
  }
  if (e.inflated && Crc(e.data) != e.crc) return Fail(a, "CRC mismatch: " + e.name);
  e.end_offset = e.data_offset + e.compressed;
  if (e.end_offset + 4 <= b.size() && Get32(b, e.end_offset) == 0x08074b50) {
    if (Get32(b, e.end_offset + 4) != e.crc || Get32(b, e.end_offset + 8) != e.compressed ||
        Get32(b, e.end_offset + 12) != e.uncompressed) {
      return Fail(a, "descriptor differs: " + e.name);
    }
    e.has_descriptor = true;
    e.end_offset += 16;
  }
  return true;
}

}  // namespace

ReadArchive ReadZip(const std::vector<uint8_t>& b) {
  ReadArchive a;
  if (b.size() < 22) return Fail(a, "too short"), a;
  size_t end = b.size() - 22;  // the writer never adds an archive comment
  if (Get32(b, end) != 0x06054b50) return Fail(a, "no end record"), a;
  a.end_record_offset = end;
  a.entry_count = uint16_t(Get16(b, end + 10));
  if (Get16(b, end + 8) != a.entry_count) return Fail(a, "entry counts differ"), a;
  a.directory_size = Get32(b, end + 12);
  a.directory_offset = Get32(b, end + 16);
  if (size_t(a.directory_offset) + a.directory_size != end)
    return Fail(a, "directory does not end at the end record"), a;
  size_t at = a.directory_offset;
  for (unsigned i = 0; i < a.entry_count; ++i) {
    if (at + 46 > end || Get32(b, at) != 0x02014b50) return Fail(a, "bad central header"), a;
    ReadEntry e;
    e.central_flags = uint16_t(Get16(b, at + 8));
    e.method = uint16_t(Get16(b, at + 10));
    e.dos_time = Get32(b, at + 12);
    e.crc = Get32(b, at + 16);
    e.compressed = Get32(b, at + 20);
    e.uncompressed = Get32(b, at + 24);
    size_t name_len = Get16(b, at + 28), extra_len = Get16(b, at + 30), comment_len = Get16(b, at + 32);
    e.attributes = Get32(b, at + 38);
    e.offset = Get32(b, at + 42);
    e.name.assign(b.begin() + at + 46, b.begin() + at + 46 + name_len);
    size_t extra = at + 46 + name_len;
    if (extra_len == 9 && Get16(b, extra) == 0x5455) e.central_mtime = Get32(b, extra + 5);
    at += 46 + name_len + extra_len + comment_len;
    if (!ReadEntryAt(b, a, e)) return a;
    a.entries.push_back(std::move(e));
  }
  if (at != end) return Fail(a, "directory size wrong"), a;
  a.ok = true;
  return a;
}

std::vector<uint8_t> RandomBytes(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> b(n);
  for (auto& c : b) c = uint8_t(rng());
  return b;
}

}  // namespace testing
}  // namespace zip
