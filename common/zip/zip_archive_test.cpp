// The writer core on memory, unseekable and failing outputs, read back by the independent test reader.
#include "common/zip/zip_archive.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "common/zip/zip_test_reader.h"

namespace zip {
namespace {

typedef std::vector<uint8_t> Bytes;
using testing::ReadArchive;
using testing::ReadZip;

class BytesSource : public IZipSource {
 public:
  explicit BytesSource(Bytes data, size_t piece = 7000, long fail_at = -1)
      : data_(std::move(data)), piece_(piece), fail_at_(fail_at) {}
  long Read(uint8_t* buf, size_t max) override {
    if (fail_at_ >= 0 && pos_ >= size_t(fail_at_)) return -1;
    size_t n = std::min({max, piece_, data_.size() - pos_});
    if (n) memcpy(buf, data_.data() + pos_, n);
    pos_ += n;
    return long(n);
  }

 private:
  Bytes data_;
  size_t pos_ = 0;
  size_t piece_;
  long fail_at_;
};

// A pipe: appends only, cannot seek, and may refuse writes after a given amount.
class PipeOutput : public IZipOutput {
 public:
  explicit PipeOutput(Bytes* sink, size_t fail_after = SIZE_MAX) : sink_(sink), fail_after_(fail_after) {}
  ZipResult Write(const void* data, size_t len) override {
    if (sink_->size() + len > fail_after_) return ZR_WRITE;
    const uint8_t* p = static_cast<const uint8_t*>(data);
    sink_->insert(sink_->end(), p, p + len);
    return ZR_OK;
  }
  ZipResult Seek(uint32_t) override { return ZR_SEEK; }
  bool seekable() const override { return false; }

 private:
  Bytes* sink_;
  size_t fail_after_;
};

Bytes Text(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  Bytes b(n);
  for (auto& c : b) c = uint8_t("crash dump report \r\n0123456789"[rng() % 30]);
  return b;
}

ZipSourceInfo FileInfo(uint32_t size) {
  ZipSourceInfo info;
  info.declared_size = size;
  info.attributes = 0x81800020;
  info.times.dos = 0x58A55A2F;
  info.times.mtime = 1709633731;
  return info;
}

struct MemoryArchive {
  CMemoryOutput* out;
  std::unique_ptr<CZipArchive> archive;
  explicit MemoryArchive(ZipVariant v = ZipVariant::D, size_t initial = 64) {
    out = new CMemoryOutput(&MakeHeapBlock, MakeHeapBlock(initial), initial);
    archive.reset(new CZipArchive(v, std::unique_ptr<IZipOutput>(out), 0));
  }
  Bytes bytes() const { return Bytes(out->data(), out->data() + out->written()); }
};

TEST(ZipArchive, SeekableOutputHasFinalHeadersAndNoDescriptors) {
  MemoryArchive m;
  Bytes a = Text(100000, 1), b = Text(5000, 2);
  BytesSource sa(a), sb(b);
  ASSERT_EQ(ZR_OK, m.archive->Add("dump.dmp", &sa, FileInfo(uint32_t(a.size()))));
  ASSERT_EQ(ZR_OK, m.archive->Add("report.txt", &sb, FileInfo(uint32_t(b.size()))));
  ASSERT_EQ(ZR_OK, m.archive->Close());
  ReadArchive z = ReadZip(m.bytes());
  ASSERT_TRUE(z.ok) << z.error;
  ASSERT_EQ(2u, z.entries.size());
  EXPECT_EQ(2, z.entry_count);
  EXPECT_TRUE(z.entries[0].data == a);
  EXPECT_TRUE(z.entries[1].data == b);
  for (const auto& e : z.entries) {
    EXPECT_EQ(0x0002, e.central_flags);
    EXPECT_EQ(0x0002, e.local_flags);
    EXPECT_EQ(8, e.method);
    EXPECT_EQ(e.crc, e.local_crc);
    EXPECT_EQ(e.compressed, e.local_compressed);
    EXPECT_EQ(e.uncompressed, e.local_uncompressed);
    EXPECT_FALSE(e.has_descriptor);
    EXPECT_EQ(0x81800020u, e.attributes);
    EXPECT_EQ(1709633731u, e.mtime);
    EXPECT_EQ(1709633731u, e.central_mtime);
  }
  EXPECT_EQ(z.entries[0].end_offset, z.entries[1].offset);
  EXPECT_EQ(z.entries[1].end_offset, z.directory_offset);
}

TEST(ZipArchive, UnseekableOutputWritesDataDescriptors) {
  Bytes sink;
  CZipArchive archive(ZipVariant::U, std::unique_ptr<IZipOutput>(new PipeOutput(&sink)), 0);
  Bytes a = Text(70000, 3), b = Text(3000, 4);
  BytesSource sa(a), sb(b);
  ASSERT_EQ(ZR_OK, archive.Add("a.txt", &sa, FileInfo(uint32_t(a.size()))));
  ASSERT_EQ(ZR_OK, archive.Add("b.zip", &sb, FileInfo(uint32_t(b.size()))));
  ASSERT_EQ(ZR_OK, archive.Close());
  ReadArchive z = ReadZip(sink);
  ASSERT_TRUE(z.ok) << z.error;
  ASSERT_EQ(2u, z.entries.size());
  for (const auto& e : z.entries) {
    EXPECT_EQ(0x0008, e.central_flags);
    EXPECT_EQ(0x0008, e.local_flags);
    EXPECT_TRUE(e.has_descriptor);
    EXPECT_EQ(0u, e.local_crc);
  }
  EXPECT_EQ(0u, z.entries[0].local_compressed) << "a deflated size is unknown when the header goes out";
  EXPECT_EQ(a.size(), z.entries[0].local_uncompressed);
  EXPECT_EQ(0, z.entries[1].method);
  EXPECT_EQ(b.size(), z.entries[1].local_compressed);
  EXPECT_TRUE(z.entries[0].data == a);
  EXPECT_TRUE(z.entries[1].data == b);
  EXPECT_EQ(z.entries[1].end_offset, z.directory_offset);
}

TEST(ZipArchive, UnseekableStoredEntryMayNotChangeItsAnnouncedSize) {
  Bytes sink;
  CZipArchive archive(ZipVariant::D, std::unique_ptr<IZipOutput>(new PipeOutput(&sink)), 0);
  BytesSource s(Text(500, 5));
  EXPECT_EQ(ZR_NOCHANGE, archive.Add("x.gz", &s, FileInfo(400)));
  EXPECT_EQ(ZR_FAILED, archive.Add("y.txt", &s, FileInfo(0)));
}

TEST(ZipArchive, FolderAndEmptyEntries) {
  MemoryArchive m;
  ZipSourceInfo folder;
  folder.folder = true;
  folder.attributes = kFolderAttributes;
  ASSERT_EQ(ZR_OK, m.archive->Add("logs", nullptr, folder));
  BytesSource empty{Bytes()};
  ASSERT_EQ(ZR_OK, m.archive->Add("dir\\empty.txt", &empty, FileInfo(0)));
  BytesSource stored(Text(2000, 6));
  ASSERT_EQ(ZR_OK, m.archive->Add("old.ZIP", &stored, FileInfo(2000)));
  ASSERT_EQ(ZR_OK, m.archive->Close());
  ReadArchive z = ReadZip(m.bytes());
  ASSERT_TRUE(z.ok) << z.error;
  ASSERT_EQ(3u, z.entries.size());
  EXPECT_EQ("logs/", z.entries[0].name);
  EXPECT_EQ(0, z.entries[0].method);
  EXPECT_EQ(0u, z.entries[0].compressed);
  EXPECT_EQ(0u, z.entries[0].uncompressed);
  EXPECT_EQ(0x41C00010u, z.entries[0].attributes);
  EXPECT_EQ(0, z.entries[0].central_flags);
  EXPECT_EQ("dir/empty.txt", z.entries[1].name);
  EXPECT_EQ(0u, z.entries[1].uncompressed);
  EXPECT_EQ(0u, z.entries[1].crc);
  EXPECT_EQ(0, z.entries[2].method);
  EXPECT_EQ(0, z.entries[2].central_flags);
  EXPECT_EQ(2000u, z.entries[2].compressed);
}

TEST(ZipArchive, StartOffsetIsAddedToEveryOffset) {
  // A handle target positioned after existing bytes: offsets count from the start of the file.
  Bytes sink(100, 0xEE);
  CZipArchive archive(ZipVariant::D, std::unique_ptr<IZipOutput>(new PipeOutput(&sink)), 100);
  BytesSource s(Text(1000, 7));
  ASSERT_EQ(ZR_OK, archive.Add("a.txt", &s, FileInfo(1000)));
  ASSERT_EQ(ZR_OK, archive.Close());
  ReadArchive z = ReadZip(sink);
  ASSERT_TRUE(z.ok) << z.error;
  EXPECT_EQ(100u, z.entries[0].offset);
}

TEST(ZipArchive, BadInputAndCallOrder) {
  MemoryArchive m;
  BytesSource s(Text(10, 8));
  EXPECT_EQ(ZR_ARGS, m.archive->Add("", &s, FileInfo(10)));
  EXPECT_EQ(ZR_ARGS, m.archive->Add("a.txt", nullptr, FileInfo(10)));
  ASSERT_EQ(ZR_OK, m.archive->Add("a.txt", &s, FileInfo(10)));
  ASSERT_EQ(ZR_OK, m.archive->Close());
  EXPECT_EQ(ZR_ENDED, m.archive->Add("b.txt", &s, FileInfo(10)));
  EXPECT_EQ(ZR_ENDED, m.archive->Close());
  ReadArchive z = ReadZip(m.bytes());
  ASSERT_TRUE(z.ok) << z.error;
  EXPECT_EQ(1u, z.entries.size());
}

TEST(ZipArchive, FailedSourceLeavesEarlierEntriesReadable) {
  MemoryArchive m;
  Bytes a = Text(30000, 9);
  BytesSource good(a);
  ASSERT_EQ(ZR_OK, m.archive->Add("good.txt", &good, FileInfo(uint32_t(a.size()))));
  BytesSource bad(Text(90000, 10), 7000, 40000);
  EXPECT_EQ(ZR_WRITE, m.archive->Add("bad.txt", &bad, FileInfo(90000)));
  BytesSource bad_stored(Text(90000, 10), 7000, 40000);
  EXPECT_EQ(ZR_WRITE, m.archive->Add("bad.gz", &bad_stored, FileInfo(90000)));
  // A source failing is no fault of the output: later entries still go in.
  BytesSource after(a);
  ASSERT_EQ(ZR_OK, m.archive->Add("after.txt", &after, FileInfo(uint32_t(a.size()))));
  ASSERT_EQ(ZR_OK, m.archive->Close());
  ReadArchive z = ReadZip(m.bytes());
  ASSERT_TRUE(z.ok) << z.error;
  ASSERT_EQ(2u, z.entries.size());
  EXPECT_TRUE(z.entries[0].data == a);
  EXPECT_TRUE(z.entries[1].data == a);
}

TEST(ZipArchive, FailedWriteIsRecordedAndTheDirectoryStillWritten) {
  Bytes sink;
  // Room for the first entry and the directory, not for the second entry's data.
  CZipArchive archive(ZipVariant::D, std::unique_ptr<IZipOutput>(new PipeOutput(&sink, 3000)), 0);
  Bytes a = Text(1000, 11);
  BytesSource sa(a);
  ASSERT_EQ(ZR_OK, archive.Add("a.txt", &sa, FileInfo(1000)));
  Bytes big(100000);
  std::mt19937 rng(12);
  for (auto& c : big) c = uint8_t(rng());
  BytesSource sb(big);
  EXPECT_EQ(ZR_WRITE, archive.Add("b.bin", &sb, FileInfo(uint32_t(big.size()))));
  EXPECT_EQ(ZR_WRITE, archive.recorded_error());
  BytesSource sc(a);
  EXPECT_EQ(ZR_FAILED, archive.Add("c.txt", &sc, FileInfo(1000)));
  // The refused piece never reached the pipe, so the directory fits and the first entry reads back.
  EXPECT_EQ(ZR_OK, archive.Close());
  ReadArchive z = ReadZip(sink);
  ASSERT_TRUE(z.ok) << z.error;
  ASSERT_EQ(1u, z.entries.size());
  EXPECT_TRUE(z.entries[0].data == a);

  // Seekable output: the completed entry survives a failed one.
  uint8_t block[2500];
  CZipArchive small(ZipVariant::U, std::unique_ptr<IZipOutput>(new CMemoryOutput(block, sizeof(block))), 0);
  BytesSource sa2(a);
  ASSERT_EQ(ZR_OK, small.Add("a.txt", &sa2, FileInfo(1000)));
  BytesSource sd(big);
  EXPECT_EQ(ZR_MEMSIZE, small.Add("b.bin", &sd, FileInfo(uint32_t(big.size()))));
  EXPECT_EQ(ZR_FAILED, small.Add("c.txt", &sc, FileInfo(1000)));
}

TEST(ZipArchive, MemoryTargetGrowsByDoubling) {
  MemoryArchive m(ZipVariant::U, 16);
  Bytes a = Text(200000, 13);
  BytesSource s(a);
  ASSERT_EQ(ZR_OK, m.archive->Add("a.txt", &s, FileInfo(uint32_t(a.size()))));
  BytesSource s2(a);
  ASSERT_EQ(ZR_OK, m.archive->Add("b.txt", &s2, FileInfo(uint32_t(a.size()))));
  ASSERT_EQ(ZR_OK, m.archive->Close());
  EXPECT_GT(m.out->capacity(), m.out->written());
  ReadArchive z = ReadZip(m.bytes());
  ASSERT_TRUE(z.ok) << z.error;
  EXPECT_TRUE(z.entries[1].data == a);
}

TEST(ZipArchive, GrowthDoublesOrTakesTheNeededSize) {
  CMemoryOutput out(&MakeHeapBlock, MakeHeapBlock(16), 16);
  uint8_t bytes[100];
  for (int i = 0; i < 100; ++i) bytes[i] = uint8_t(i);
  EXPECT_EQ(ZR_OK, out.Write(bytes, 10));
  EXPECT_EQ(16u, out.capacity());
  EXPECT_EQ(ZR_OK, out.Write(bytes, 6));  // reaching the end grows the block
  EXPECT_EQ(32u, out.capacity());
  EXPECT_EQ(ZR_OK, out.Write(bytes, 40));
  EXPECT_EQ(64u, out.capacity());
  EXPECT_EQ(ZR_OK, out.Write(bytes, 100));
  EXPECT_EQ(156u, out.capacity());
  EXPECT_EQ(0, memcmp(out.data() + 16, bytes, 40));
  EXPECT_EQ(0, memcmp(out.data() + 56, bytes, 100));
}

TEST(ZipArchive, CallersBlockIsNotGrown) {
  uint8_t block[64];
  CMemoryOutput out(block, sizeof(block));
  EXPECT_EQ(ZR_OK, out.Write(block, 64));
  EXPECT_EQ(ZR_MEMSIZE, out.Write(block, 1));
  EXPECT_EQ(ZR_MEMSIZE, out.Seek(65));
}

}  // namespace
}  // namespace zip
