// Every stream our compressor makes must inflate with zlib to exactly its input.
#include "common/zip/deflate.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <random>
#include <string>

#include "common/zip/crc32.h"
#include "common/zip/deflate_block.h"
#include "common/zip/zip_test_reader.h"
#include "common/zip/zip_test_source.h"

namespace zip {
namespace {

typedef std::vector<uint8_t> Bytes;

// Inflates a raw stream; fails the test unless the stream ends exactly at its last byte.
Bytes Inflate(const Bytes& packed) {
  z_stream z = {};
  EXPECT_EQ(Z_OK, inflateInit2(&z, -15));
  Bytes out(1 << 16);
  size_t have = 0;
  z.next_in = const_cast<Bytes::value_type*>(packed.data());
  z.avail_in = uInt(packed.size());
  int rc;
  do {
    if (have == out.size()) out.resize(out.size() * 2);
    z.next_out = out.data() + have;
    z.avail_out = uInt(out.size() - have);
    rc = inflate(&z, Z_NO_FLUSH);
    have = out.size() - z.avail_out;
  } while (rc == Z_OK);
  EXPECT_EQ(Z_STREAM_END, rc) << (z.msg ? z.msg : "");
  EXPECT_EQ(0u, z.avail_in) << "bytes after the final block";
  inflateEnd(&z);
  out.resize(have);
  return out;
}

Bytes RoundTrip(const Bytes& input) {
  Bytes packed = DeflateBuffer(input.data(), input.size());
  EXPECT_FALSE(packed.empty());
  Bytes back = Inflate(packed);
  EXPECT_TRUE(back == input) << "input of " << input.size() << " bytes came back as " << back.size();
  return packed;
}

Bytes Random(size_t n, unsigned seed) { return testing::RandomBytes(n, seed); }

// Text-like data: words from a small vocabulary, so there are many matches of many lengths.
Bytes Words(size_t n, unsigned seed) {
  static const char* kWords[] = {"crash",        "dump",  "module",          "thread", "0x7c90e4f4",
                                 "kernel32.dll", "stack", "frame",           "ntdll",  "exception",
                                 "\r\n",         " ",     "access violation"};
  std::mt19937 rng(seed);
  Bytes b;
  while (b.size() < n) {
    const char* w = kWords[rng() % 13];
    b.insert(b.end(), w, w + strlen(w));
  }
  b.resize(n);
  return b;
}

Bytes Utf16(const Bytes& ascii) {
  Bytes b;
  for (uint8_t c : ascii) b.push_back(c), b.push_back(0);
  return b;
}

TEST(Deflate, SmallInputs) {
  Bytes empty;
  Bytes packed = RoundTrip(empty);
  EXPECT_EQ(2u, packed.size()) << "an empty stream is one fixed block holding only its end code";
  RoundTrip(Bytes{0x41});
  RoundTrip(Bytes{0, 0, 0});
  RoundTrip(Bytes{1, 2, 1, 2, 1, 2, 1});
}

TEST(Deflate, ZerosAndLongRepeats) {
  Bytes zeros(3 << 20, 0);
  EXPECT_LT(RoundTrip(zeros).size(), zeros.size() / 500);
  Bytes pattern = Random(1000, 1);
  Bytes repeats;
  for (int i = 0; i < 300; ++i) repeats.insert(repeats.end(), pattern.begin(), pattern.end());
  EXPECT_LT(RoundTrip(repeats).size(), 4000u);
}

TEST(Deflate, RandomDataIsStoredWithLittleOverhead) {
  Bytes random = Random(300000, 2);
  Bytes packed = RoundTrip(random);
  EXPECT_LE(packed.size(), random.size() + random.size() / 1000 + 64);
}

TEST(Deflate, MatchesOfMaximumLength) {
  // Runs of exactly 258, 259 and 516 repeated bytes, separated by distinct bytes.
  Bytes b;
  for (int run : {258, 259, 260, 516, 517, 3, 4, 257}) {
    b.push_back(uint8_t(run));
    b.insert(b.end(), run, uint8_t('a' + run % 7));
    Bytes r = Random(300, run);
    b.insert(b.end(), r.begin(), r.end());
    b.insert(b.end(), r.begin(), r.begin() + 258);  // a 258-byte match at distance 300
  }
  RoundTrip(b);
}

TEST(Deflate, MatchesAtTheWindowEdge) {
  // Blocks of random data repeated at distances around the largest the compressor uses and 32 KiB.
  for (size_t gap : {32506u, 32507u, 32767u, 32768u, 32769u, 40000u}) {
    Bytes head = Random(600, unsigned(gap));
    Bytes b = head;
    Bytes filler = Random(gap - head.size(), unsigned(gap) + 1);
    b.insert(b.end(), filler.begin(), filler.end());
    b.insert(b.end(), head.begin(), head.end());
    RoundTrip(b);
  }
}

TEST(Deflate, ManyBlocksOfMixedData) {
  Bytes b = Words(900000, 3);
  Bytes r = Random(70000, 4);
  b.insert(b.begin() + 300000, r.begin(), r.end());  // an incompressible stretch inside a block
  Bytes z(100000, 0);
  b.insert(b.begin() + 600000, z.begin(), z.end());
  Bytes packed = RoundTrip(b);
  EXPECT_LT(packed.size(), b.size() / 3);
}

TEST(Deflate, Utf16Text) {
  Bytes text = Utf16(Words(400000, 5));
  Bytes packed = RoundTrip(text);
  EXPECT_LT(packed.size(), text.size() / 5);
}

TEST(Deflate, CloseToZlibLevel8) {
  // Lazy matching at level 8 like zlib's, with other tables for finding matches: the output may be
  // larger than zlib's by half a percent at most.
  Bytes text = Words(500000, 6);
  Bytes ours = DeflateBuffer(text.data(), text.size());
  z_stream z = {};
  ASSERT_EQ(Z_OK, deflateInit2(&z, 8, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY));
  Bytes theirs(deflateBound(&z, uLong(text.size())));
  z.next_in = text.data();
  z.avail_in = uInt(text.size());
  z.next_out = theirs.data();
  z.avail_out = uInt(theirs.size());
  ASSERT_EQ(Z_STREAM_END, deflate(&z, Z_FINISH));
  theirs.resize(z.total_out);
  deflateEnd(&z);
  EXPECT_LE(double(ours.size()), double(theirs.size()) * 1.005);
}

// The input in pieces of varying size, as a pipe or a chunked source hands it out.
testing::PieceSource Chunked(const Bytes& data, unsigned seed, long fail_at = -1) {
  return testing::PieceSource(data, testing::RandomPieces(seed, 5000), fail_at);
}

class CollectingOutput : public DeflateOutput {
 public:
  explicit CollectingOutput(size_t fail_after = SIZE_MAX) : fail_after_(fail_after) {}
  bool Write(const uint8_t* data, size_t len) override {
    if (bytes.size() + len > fail_after_) return false;
    bytes.insert(bytes.end(), data, data + len);
    return true;
  }
  Bytes bytes;

 private:
  size_t fail_after_;
};

TEST(Deflate, ChunkingAndReuseDoNotChangeTheStream) {
  CDeflater deflater;  // one state for several streams, as the uploader's archive uses it
  // The later, smaller inputs use only part of the tables the first ones filled.
  const struct {
    size_t size;
    unsigned words, pieces;
  } kStreams[] = {{200000, 7, 1}, {200000, 7, 2}, {200000, 7, 3}, {3000, 17, 4}, {700, 27, 5}};
  for (const auto& stream : kStreams) {
    Bytes input = Words(stream.size, stream.words);
    Bytes whole = DeflateBuffer(input.data(), input.size());
    testing::PieceSource in = Chunked(input, stream.pieces);
    CollectingOutput out;
    uint8_t work[100];  // a tiny work buffer makes many hand-overs
    uint64_t size = 0;
    ASSERT_EQ(DeflateStatus::Ok, deflater.Compress(in, work, sizeof(work), out, &size));
    EXPECT_EQ(out.bytes.size(), size);
    EXPECT_TRUE(out.bytes == whole);
  }
}

TEST(Deflate, ReadAndWriteFailuresAreReported) {
  Bytes input = Words(100000, 8);
  CDeflater deflater;
  uint8_t work[16384];
  testing::PieceSource failing_in = Chunked(input, 1, 50000);
  CollectingOutput out;
  EXPECT_EQ(DeflateStatus::ReadFailed, deflater.Compress(failing_in, work, sizeof(work), out, nullptr));
  testing::PieceSource in = Chunked(input, 2);
  CollectingOutput failing_out(1000);
  EXPECT_EQ(DeflateStatus::WriteFailed, deflater.Compress(in, work, sizeof(work), failing_out, nullptr));
  // The state is usable again after a failure.
  testing::PieceSource in2 = Chunked(input, 3);
  CollectingOutput out2;
  EXPECT_EQ(DeflateStatus::Ok, deflater.Compress(in2, work, sizeof(work), out2, nullptr));
  EXPECT_TRUE(Inflate(out2.bytes) == input);
}

TEST(DeflateTrees, LengthLimitKeepsTheCodeComplete) {
  // Fibonacci frequencies make the unlimited Huffman code as deep as the symbol count.
  uint32_t freq[30];
  freq[0] = freq[1] = 1;
  for (int i = 2; i < 30; ++i) freq[i] = freq[i - 1] + freq[i - 2];
  for (int max_bits : {7, 15}) {
    uint8_t len[30];
    int max_code = detail::BuildCodeLengths(freq, 30, max_bits, len);
    EXPECT_EQ(29, max_code);
    double kraft = 0;
    for (int i = 0; i < 30; ++i) {
      EXPECT_GE(len[i], 1);
      EXPECT_LE(len[i], max_bits);
      kraft += 1.0 / double(1u << len[i]);
      if (i > 0) {
        EXPECT_LE(len[i], len[i - 1]) << "a more frequent symbol got a longer code";
      }
    }
    EXPECT_DOUBLE_EQ(1.0, kraft);
  }
  uint32_t lone[5] = {0, 0, 7, 0, 0};
  uint8_t len[5];
  EXPECT_EQ(2, detail::BuildCodeLengths(lone, 5, 15, len));
  EXPECT_EQ(1, len[2]);
  EXPECT_EQ(1, len[0]);
}

TEST(DeflateTrees, DistanceCodes) {
  EXPECT_EQ(0u, detail::DistanceCode(0));
  EXPECT_EQ(3u, detail::DistanceCode(3));
  EXPECT_EQ(4u, detail::DistanceCode(4));
  EXPECT_EQ(5u, detail::DistanceCode(7));
  EXPECT_EQ(29u, detail::DistanceCode(32767));
  EXPECT_EQ(28u, detail::DistanceCode(24575));
  EXPECT_EQ(28, detail::kLengthCode[255]);
  EXPECT_EQ(27, detail::kLengthCode[254]);
}

TEST(Crc32, MatchesZlib) {
  Bytes data = Random(100003, 9);
  uint32_t expected = uint32_t(crc32(0, data.data(), uInt(data.size())));
  EXPECT_EQ(expected, Crc32Update(0, data.data(), data.size()));
  uint32_t split = Crc32Update(Crc32Update(0, data.data(), 777), data.data() + 777, data.size() - 777);
  EXPECT_EQ(expected, split);
  EXPECT_EQ(0xCBF43926u, Crc32Update(0, "123456789", 9));
  EXPECT_EQ(0u, Crc32Update(0, "", 0));
}

}  // namespace
}  // namespace zip
