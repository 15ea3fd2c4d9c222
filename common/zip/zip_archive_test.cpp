// The writer core on memory, unseekable and failing outputs, read back by the independent test reader.
#include "common/zip/zip_archive.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <random>

#include "common/zip/zip_test_reader.h"
#include "common/zip/zip_test_source.h"

namespace zip {
namespace {

typedef std::vector<uint8_t> Bytes;
using testing::FixedPieces;
using testing::PieceSource;
using testing::ReadArchive;
using testing::ReadZip;

// The writer's input in pieces of 7000 bytes, failing from `fail_at` on when that is given.
PieceSource Source(Bytes data, long fail_at = -1) {
  return PieceSource(std::move(data), FixedPieces(7000), fail_at);
}

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
  ZipResult Truncate(uint32_t) override { return ZR_SEEK; }
  bool seekable() const override { return false; }

 private:
  Bytes* sink_;
  size_t fail_after_;
};

// Counts what is written without keeping the bulk: pieces of data (16 KiB copies, compressor output)
// are dropped, headers, descriptors and directory records are kept by position. Archives of 4 GiB and
// more thus cost neither disk nor memory.
class CountingOutput : public IZipOutput {
 public:
  explicit CountingOutput(bool seekable = true) : seekable_(seekable) {}
  ZipResult Write(const void* data, size_t len) override {
    if (len <= 512) {
      const uint8_t* p = static_cast<const uint8_t*>(data);
      kept[pos_] = Bytes(p, p + len);
    }
    pos_ += len;
    end = std::max(end, pos_);
    return ZR_OK;
  }
  ZipResult Seek(uint32_t offset) override {
    if (!seekable_) return ZR_SEEK;
    pos_ = offset;
    return ZR_OK;
  }
  ZipResult Truncate(uint32_t offset) override {
    if (!seekable_) return ZR_SEEK;
    pos_ = end = offset;
    kept.erase(kept.lower_bound(offset), kept.end());
    return ZR_OK;
  }
  bool seekable() const override { return seekable_; }
  // The last record written: the end record once the archive is closed.
  const Bytes& last() const { return kept.rbegin()->second; }

  std::map<uint64_t, Bytes> kept;
  uint64_t end = 0;

 private:
  bool seekable_;
  uint64_t pos_ = 0;
};

uint32_t Le32(const Bytes& b, size_t at) {
  return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 | uint32_t(b[at + 3]) << 24;
}

// Zeros without end (or up to a size), handed out in large pieces.
class ZeroSource : public IZipSource {
 public:
  explicit ZeroSource(uint64_t size) : left_(size) {}
  long Read(uint8_t* buf, size_t max) override {
    size_t n = size_t(std::min<uint64_t>(max, left_));
    memset(buf, 0, n);
    left_ -= n;
    return long(n);
  }

 private:
  uint64_t left_;
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

// Adds `data` under `name` with its size declared, read as Source reads it.
ZipResult Add(CZipArchive& archive, const std::string& name, const Bytes& data, long fail_at = -1) {
  PieceSource source = Source(data, fail_at);
  return archive.Add(name, &source, FileInfo(uint32_t(data.size())));
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
  ASSERT_EQ(ZR_OK, Add(*m.archive, "dump.dmp", a));
  ASSERT_EQ(ZR_OK, Add(*m.archive, "report.txt", b));
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
  ASSERT_EQ(ZR_OK, Add(archive, "a.txt", a));
  ASSERT_EQ(ZR_OK, Add(archive, "b.zip", b));
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

// Variant U flags a UTF-8 name (bit 11) in both headers, seekable or not; a plain ASCII name and
// variant D's code-page names stay unflagged.
TEST(ZipArchive, VariantUFlagsNamesThatAreNotPlainAscii) {
  Bytes a = Text(100, 5);
  const std::string utf8 = "ORV_\xc3\xa9\xc3\x9f.txt";
  for (bool seekable : {true, false}) {
    for (ZipVariant v : {ZipVariant::U, ZipVariant::D}) {
      Bytes sink;
      MemoryArchive m(v);
      std::unique_ptr<CZipArchive> pipe(
          new CZipArchive(v, std::unique_ptr<IZipOutput>(new PipeOutput(&sink)), 0));
      CZipArchive& archive = seekable ? *m.archive : *pipe;
      for (const std::string& name : {utf8, std::string("plain.txt")}) {
        ASSERT_EQ(ZR_OK, Add(archive, name, a));
      }
      ASSERT_EQ(ZR_OK, archive.Close());
      ReadArchive z = ReadZip(seekable ? m.bytes() : sink);
      ASSERT_EQ(2u, z.entries.size());
      const int flag = v == ZipVariant::U ? 0x0800 : 0;
      EXPECT_EQ(flag, z.entries[0].central_flags & 0x0800) << seekable;
      EXPECT_EQ(flag, z.entries[0].local_flags & 0x0800) << seekable;
      EXPECT_EQ(0, (z.entries[1].central_flags | z.entries[1].local_flags) & 0x0800) << seekable;
    }
  }
}

TEST(ZipArchive, UnseekableStoredEntryMayNotChangeItsAnnouncedSize) {
  Bytes sink;
  CZipArchive archive(ZipVariant::D, std::unique_ptr<IZipOutput>(new PipeOutput(&sink)), 0);
  PieceSource s = Source(Text(500, 5));
  EXPECT_EQ(ZR_NOCHANGE, archive.Add("x.gz", &s, FileInfo(400)));
  EXPECT_EQ(ZR_FAILED, archive.Add("y.txt", &s, FileInfo(0)));
}

TEST(ZipArchive, FolderAndEmptyEntries) {
  MemoryArchive m;
  ZipSourceInfo folder;
  folder.folder = true;
  folder.attributes = kFolderAttributes;
  ASSERT_EQ(ZR_OK, m.archive->Add("logs", nullptr, folder));
  ASSERT_EQ(ZR_OK, Add(*m.archive, "dir\\empty.txt", Bytes()));
  ASSERT_EQ(ZR_OK, Add(*m.archive, "old.ZIP", Text(2000, 6)));
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
  ASSERT_EQ(ZR_OK, Add(archive, "a.txt", Text(1000, 7)));
  ASSERT_EQ(ZR_OK, archive.Close());
  ReadArchive z = ReadZip(sink);
  ASSERT_TRUE(z.ok) << z.error;
  EXPECT_EQ(100u, z.entries[0].offset);
}

TEST(ZipArchive, BadInputAndCallOrder) {
  MemoryArchive m;
  EXPECT_EQ(ZR_ARGS, Add(*m.archive, "", Text(10, 8)));
  EXPECT_EQ(ZR_ARGS, m.archive->Add("a.txt", nullptr, FileInfo(10)));
  ASSERT_EQ(ZR_OK, Add(*m.archive, "a.txt", Text(10, 8)));
  ASSERT_EQ(ZR_OK, m.archive->Close());
  EXPECT_EQ(ZR_ENDED, Add(*m.archive, "b.txt", Text(10, 8)));
  EXPECT_EQ(ZR_ENDED, m.archive->Close());
  ReadArchive z = ReadZip(m.bytes());
  ASSERT_TRUE(z.ok) << z.error;
  EXPECT_EQ(1u, z.entries.size());
}

TEST(ZipArchive, FailedSourceLeavesEarlierEntriesReadable) {
  MemoryArchive m;
  Bytes a = Text(30000, 9);
  ASSERT_EQ(ZR_OK, Add(*m.archive, "good.txt", a));
  EXPECT_EQ(ZR_WRITE, Add(*m.archive, "bad.txt", Text(90000, 10), 40000));
  EXPECT_EQ(ZR_WRITE, Add(*m.archive, "bad.gz", Text(90000, 10), 40000));
  // A source failing is no fault of the output: later entries still go in.
  ASSERT_EQ(ZR_OK, Add(*m.archive, "after.txt", a));
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
  ASSERT_EQ(ZR_OK, Add(archive, "a.txt", a));
  Bytes big(100000);
  std::mt19937 rng(12);
  for (auto& c : big) c = uint8_t(rng());
  EXPECT_EQ(ZR_WRITE, Add(archive, "b.bin", big));
  EXPECT_EQ(ZR_WRITE, archive.recorded_error());
  EXPECT_EQ(ZR_FAILED, Add(archive, "c.txt", a));
  // The refused piece never reached the pipe, so the directory fits and the first entry reads back.
  EXPECT_EQ(ZR_OK, archive.Close());
  ReadArchive z = ReadZip(sink);
  ASSERT_TRUE(z.ok) << z.error;
  ASSERT_EQ(1u, z.entries.size());
  EXPECT_TRUE(z.entries[0].data == a);

  // Seekable output: the completed entry survives a failed one.
  uint8_t block[2500];
  CZipArchive small(ZipVariant::U, std::unique_ptr<IZipOutput>(new CMemoryOutput(block, sizeof(block))), 0);
  ASSERT_EQ(ZR_OK, Add(small, "a.txt", a));
  // A full caller's block is a short write like any other (not the block-size code).
  EXPECT_EQ(ZR_WRITE, Add(small, "b.bin", big));
  EXPECT_EQ(ZR_FAILED, Add(small, "c.txt", a));
}

TEST(ZipArchive, DirectoryThatDoesNotFitTheCallersBlockFailsClose) {
  Bytes a = Text(1000, 11);
  uint8_t block[700];  // the entry fits, its directory record and end record do not
  CZipArchive archive(ZipVariant::D, std::unique_ptr<IZipOutput>(new CMemoryOutput(block, sizeof(block))), 0);
  ASSERT_EQ(ZR_OK, Add(archive, "a.txt", a));
  EXPECT_EQ(ZR_WRITE, archive.Close());
}

// An archive whose start lies just below 4 GiB in its output (a handle target positioned there) meets
// the 32-bit limit after a few hundred KB.
const uint32_t kNearLimit = 0xFFFFFFFFu - 300000;

TEST(ZipArchive, EntryPastFourGiBIsRolledBackOnSeekableOutput) {
  auto* out = new CountingOutput;
  CZipArchive archive(ZipVariant::D, std::unique_ptr<IZipOutput>(out), kNearLimit);
  Bytes a = Text(1000, 21);
  ASSERT_EQ(ZR_OK, Add(archive, "a.txt", a));
  const uint64_t before = out->end;
  ZeroSource endless(1ull << 40);
  EXPECT_EQ(ZR_WRITE, archive.Add("big.zip", &endless, FileInfo(kNoSize)));
  EXPECT_EQ(before, out->end);  // cut back: not a byte of the refused entry is left
  EXPECT_EQ(ZR_OK, archive.recorded_error());
  ASSERT_EQ(ZR_OK, Add(archive, "c.txt", a));
  ASSERT_EQ(ZR_OK, archive.Close());
  const Bytes& end = out->last();
  ASSERT_EQ(kEndRecordSignature, Le32(end, 0));
  EXPECT_EQ(2, end[10]);
  EXPECT_EQ(kNearLimit + before + 0, archive.entries()[1].offset);
  // Directory offset (counted from the output's start) + its size = where the end record lies.
  EXPECT_EQ(uint64_t(Le32(end, 16)) + Le32(end, 12), kNearLimit + out->end - kEndRecordLength);
}

TEST(ZipArchive, EntryPastFourGiBOnUnseekableOutputFailsClose) {
  auto* out = new CountingOutput(false);
  CZipArchive archive(ZipVariant::U, std::unique_ptr<IZipOutput>(out), kNearLimit);
  ASSERT_EQ(ZR_OK, Add(archive, "a.txt", Text(1000, 22)));
  ZeroSource endless(1ull << 40);
  EXPECT_EQ(ZR_WRITE, archive.Add("big.gz", &endless, FileInfo(kNoSize)));
  const uint64_t written = out->end;
  // The refused bytes can't be taken back: no directory is written and Close says so.
  EXPECT_EQ(ZR_WRITE, archive.Close());
  EXPECT_EQ(written, out->end);
}

TEST(ZipArchive, DirectoryThatWouldCrossFourGiBFailsClose) {
  auto* out = new CountingOutput;
  CZipArchive archive(ZipVariant::D, std::unique_ptr<IZipOutput>(out), 0xFFFFFFFFu - 100);
  ASSERT_EQ(ZR_OK, Add(archive, "a.txt", Text(10, 23)));  // ends below the limit ...
  EXPECT_EQ(ZR_WRITE, archive.Close());                   // ... its directory would not
}

#if !defined(__SANITIZE_ADDRESS__) && !defined(__has_feature)
#define ZIP_TEST_FULL_SIZE 1
#elif defined(__has_feature)
#if !__has_feature(address_sanitizer)
#define ZIP_TEST_FULL_SIZE 1
#endif
#endif

TEST(ZipArchive, FourPointFourGigabyteArchiveKeepsItsCompleteEntryReadable) {
#ifndef ZIP_TEST_FULL_SIZE
  GTEST_SKIP() << "4.4 GB of CRC work is left to the unsanitized build";
#else
  // Two stored entries of 2.2 GB each: the second crosses 4 GiB and is refused; the first and its
  // directory make a sound 2.2 GB archive.
  auto* out = new CountingOutput;
  CZipArchive archive(ZipVariant::D, std::unique_ptr<IZipOutput>(out), 0);
  const uint64_t half = 2200000000ull;
  ZeroSource first(half), second(half);
  ASSERT_EQ(ZR_OK, archive.Add("first.zip", &first, FileInfo(uint32_t(half))));
  const uint64_t before = out->end;
  EXPECT_EQ(ZR_WRITE, archive.Add("second.zip", &second, FileInfo(uint32_t(half))));
  EXPECT_EQ(before, out->end);
  ASSERT_EQ(ZR_OK, archive.Close());
  const Bytes& end = out->last();
  EXPECT_EQ(1, end[10]);
  EXPECT_EQ(before, Le32(end, 16));  // the directory follows the complete entry
  EXPECT_EQ(uint32_t(half), archive.entries()[0].uncompressed_size);
#endif
}

TEST(ZipArchive, EntryCountStopsAt65535) {
  auto* out = new CountingOutput;
  CZipArchive archive(ZipVariant::U, std::unique_ptr<IZipOutput>(out), 0);
  ZipSourceInfo folder;
  folder.folder = true;
  folder.attributes = kFolderAttributes;
  for (size_t i = 0; i < 65535; ++i)
    ASSERT_EQ(ZR_OK, archive.Add("d" + std::to_string(i), nullptr, folder)) << i;
  const uint64_t before = out->end;
  EXPECT_EQ(ZR_WRITE, archive.Add("one-too-many", nullptr, folder));
  EXPECT_EQ(before, out->end);
  ASSERT_EQ(ZR_OK, archive.Close());
  const Bytes& end = out->last();
  EXPECT_EQ(0xFFFFu, uint32_t(end[8] | end[9] << 8));
  EXPECT_EQ(0xFFFFu, uint32_t(end[10] | end[11] << 8));
}

TEST(ZipArchive, MemoryTargetGrowsByDoubling) {
  MemoryArchive m(ZipVariant::U, 16);
  Bytes a = Text(200000, 13);
  ASSERT_EQ(ZR_OK, Add(*m.archive, "a.txt", a));
  ASSERT_EQ(ZR_OK, Add(*m.archive, "b.txt", a));
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
