// Benchmark: our DEFLATE against zlib at level 8 (raw, window bits -15, memory level 8), in memory,
// interleaved runs, medians. Our output must inflate back to the input before anything is reported.
// Usage: bench_deflate [--runs N] FILE...
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "common/zip/deflate.h"

namespace {

typedef std::vector<uint8_t> Bytes;
typedef std::chrono::steady_clock Clock;

class MemoryInput : public zip::DeflateInput {
 public:
  explicit MemoryInput(const Bytes& b) : b_(b) {}
  long Read(uint8_t* buf, size_t max) override {
    size_t n = std::min(max, b_.size() - pos_);
    if (n) memcpy(buf, b_.data() + pos_, n);
    pos_ += n;
    return long(n);
  }

 private:
  const Bytes& b_;
  size_t pos_ = 0;
};

class MemoryOutput : public zip::DeflateOutput {
 public:
  explicit MemoryOutput(Bytes* out) : out_(out) {}
  bool Write(const uint8_t* data, size_t len) override {
    out_->insert(out_->end(), data, data + len);
    return true;
  }

 private:
  Bytes* out_;
};

// Our compressor as the writer runs it: fresh state, 16 KiB work buffer, streamed input.
Bytes Ours(const Bytes& in) {
  Bytes out;
  out.reserve(in.size() / 2 + 1024);
  zip::CDeflater deflater;
  MemoryInput src(in);
  MemoryOutput sink(&out);
  uint8_t work[16384];
  if (deflater.Compress(src, work, sizeof(work), sink, nullptr) != zip::DeflateStatus::Ok) out.clear();
  return out;
}

Bytes Zlib8(const Bytes& in) {
  z_stream z = {};
  deflateInit2(&z, 8, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
  Bytes out(deflateBound(&z, uLong(in.size())));
  z.next_in = const_cast<uint8_t*>(in.data());
  z.avail_in = uInt(in.size());
  z.next_out = out.data();
  z.avail_out = uInt(out.size());
  deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

bool InflatesTo(const Bytes& packed, const Bytes& expected) {
  z_stream z = {};
  if (inflateInit2(&z, -15) != Z_OK) return false;
  Bytes out(expected.size() + 1);
  z.next_in = const_cast<uint8_t*>(packed.data());
  z.avail_in = uInt(packed.size());
  z.next_out = out.data();
  z.avail_out = uInt(out.size());
  int rc = inflate(&z, Z_FINISH);
  bool ok = rc == Z_STREAM_END && z.total_out == expected.size() && z.avail_in == 0 &&
            std::equal(expected.begin(), expected.end(), out.begin());
  inflateEnd(&z);
  return ok;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

template <typename F>
double Seconds(F f, size_t* size) {
  auto t0 = Clock::now();
  Bytes out = f();
  auto t1 = Clock::now();
  *size = out.size();
  return std::chrono::duration<double>(t1 - t0).count();
}

}  // namespace

int main(int argc, char** argv) {
  int runs = 5;
  std::vector<std::string> files;
  for (int i = 1; i < argc; ++i) {
    if (std::string(argv[i]) == "--runs" && i + 1 < argc) {
      runs = std::max(5, atoi(argv[++i]));
    } else {
      files.push_back(argv[i]);
    }
  }
  if (files.empty()) {
    fprintf(stderr, "usage: bench-deflate [--runs N] FILE...\n");
    return 2;
  }
  double total_ours = 0, total_zlib = 0, time_ours = 0, time_zlib = 0;
  for (const std::string& name : files) {
    std::ifstream f(name, std::ios::binary);
    if (!f) {
      fprintf(stderr, "cannot read %s\n", name.c_str());
      return 1;
    }
    Bytes in((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    Bytes check = Ours(in);
    if (!InflatesTo(check, in)) {
      fprintf(stderr, "%s: our output does not inflate back to the input\n", name.c_str());
      return 1;
    }
    std::vector<double> ours, theirs;
    size_t ours_size = 0, zlib_size = 0;
    for (int r = 0; r < runs; ++r) {  // interleaved, so drift in machine load hits both alike
      ours.push_back(Seconds([&] { return Ours(in); }, &ours_size));
      theirs.push_back(Seconds([&] { return Zlib8(in); }, &zlib_size));
    }
    double to = Median(ours), tz = Median(theirs);
    double mb = double(in.size()) / 1e6;
    printf("%s %zu %zu %zu %.1f %.1f\n", name.c_str(), in.size(), ours_size, zlib_size, mb / to, mb / tz);
    fflush(stdout);
    total_ours += double(ours_size);
    total_zlib += double(zlib_size);
    time_ours += to;
    time_zlib += tz;
  }
  printf("TOTAL size_ratio=%.4f speed_ratio=%.2f\n", total_ours / total_zlib, time_zlib / time_ours);
  return 0;
}
