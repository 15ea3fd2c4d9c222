// Benchmark: our DEFLATE against zlib at level 8 (raw, window bits -15, memory level 8) and against
// libdeflate at level 8, in memory, in one process. The three run interleaved (one sample of each in
// turn), so drift in machine load hits all alike; a file's figure is the median of its samples, in
// processor time of the benchmark's thread. Every
// output must inflate back to the input with both zlib and libdeflate before anything is reported.
// Each compressor starts from fresh state for every stream, as a writer that compresses one file does.
// Usage: bench_deflate [--runs N] FILE...
#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "common/zip/deflate.h"

namespace {

typedef std::vector<uint8_t> Bytes;

// Our compressor as the writer runs it: fresh state, 16 KiB work buffer, streamed input.
Bytes Ours(const Bytes& in) { return zip::DeflateBuffer(in.data(), in.size()); }

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

Bytes Libdeflate8(const Bytes& in) {
  libdeflate_compressor* c = libdeflate_alloc_compressor(8);
  Bytes out(libdeflate_deflate_compress_bound(c, in.size()));
  out.resize(libdeflate_deflate_compress(c, in.data(), in.size(), out.data(), out.size()));
  libdeflate_free_compressor(c);
  return out;
}

bool ZlibInflatesTo(const Bytes& packed, const Bytes& expected) {
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

bool LibdeflateInflatesTo(const Bytes& packed, const Bytes& expected) {
  libdeflate_decompressor* d = libdeflate_alloc_decompressor();
  Bytes out(expected.size() + 1);
  size_t in_used = 0, out_len = 0;
  bool ok = libdeflate_deflate_decompress_ex(d, packed.data(), packed.size(), out.data(), out.size(),
                                             &in_used, &out_len) == LIBDEFLATE_SUCCESS &&
            in_used == packed.size() && out_len == expected.size() &&
            std::equal(expected.begin(), expected.end(), out.begin());
  libdeflate_free_decompressor(d);
  return ok;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// The thread's processor time: on a machine shared with other work, time spent waiting for a core is
// not the compressor's.
double CpuSeconds() {
  timespec t;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

// Seconds per stream, over `reps` streams in a row (small files are too quick to time one by one).
template <typename F>
double Seconds(F f, int reps, size_t* size) {
  double t0 = CpuSeconds();
  for (int i = 0; i < reps; ++i) *size = f().size();
  return (CpuSeconds() - t0) / reps;
}

struct Coder {
  const char* name;
  Bytes (*run)(const Bytes&);
  std::vector<double> seconds;
  size_t size = 0;
};

// One line of the table: the input's bytes and each coder's, our size against each other coder's, each
// coder's speed, and each other coder's time against ours.
void PrintLine(const char* name, double in, const double size[3], const double seconds[3]) {
  double mb = in / 1e6;
  printf("%-28s %10.0f %10.0f %10.0f %10.0f %9.4f %9.4f %8.1f %8.1f %8.1f %9.2f %9.2f\n", name, in, size[0],
         size[1], size[2], size[0] / size[1], size[0] / size[2], mb / seconds[0], mb / seconds[1],
         mb / seconds[2], seconds[1] / seconds[0], seconds[2] / seconds[0]);
}

}  // namespace

int main(int argc, char** argv) {
  int runs = 7;
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
  Coder coders[3] = {{"ours", Ours, {}}, {"zlib-8", Zlib8, {}}, {"libdeflate-8", Libdeflate8, {}}};
  printf("%-28s %10s %10s %10s %10s %9s %9s %8s %8s %8s %9s %9s\n", "file", "bytes", "ours", "zlib-8",
         "libdefl-8", "size/zl8", "size/ld8", "MB/s", "zl8 MB/s", "ld8 MB/s", "speed/zl8", "speed/ld8");
  double total_in = 0, total_size[3] = {}, total_seconds[3] = {};
  for (const std::string& path : files) {
    std::ifstream f(path, std::ios::binary);
    if (!f) {
      fprintf(stderr, "cannot read %s\n", path.c_str());
      return 1;
    }
    Bytes in((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    for (Coder& c : coders) {
      Bytes packed = c.run(in);
      if (!ZlibInflatesTo(packed, in) || !LibdeflateInflatesTo(packed, in)) {
        fprintf(stderr, "%s: the output of %s does not inflate back to the input\n", path.c_str(), c.name);
        return 1;
      }
      c.seconds.clear();
    }
    // Enough streams per sample that one sample takes about 20 ms with our compressor at 20 MB/s.
    int reps = int(std::max<size_t>(1, 400000 / (in.size() + 1)));
    for (int r = 0; r < runs; ++r) {
      for (Coder& c : coders) c.seconds.push_back(Seconds([&] { return c.run(in); }, reps, &c.size));
    }
    double size[3], t[3];
    for (int i = 0; i < 3; ++i) {
      size[i] = double(coders[i].size);
      t[i] = Median(coders[i].seconds);
      total_size[i] += size[i];
      total_seconds[i] += t[i];
    }
    total_in += double(in.size());
    PrintLine(path.substr(path.find_last_of('/') + 1).c_str(), double(in.size()), size, t);
    fflush(stdout);
  }
  PrintLine("TOTAL", total_in, total_size, total_seconds);
  printf(
      "(size/x: our bytes / x's bytes; speed/x: x's median processor time / ours, above 1 = ours faster; "
      "%d runs)\n",
      runs);
  return 0;
}
