// The platform-free heart of the archive writer: entries in, local headers, data, descriptors and the
// central directory out. Outputs and sources are interfaces so the Windows layer stays thin and the
// logic is tested natively.
//
// Ownership: a CZipArchive owns its output (a file is closed and a memory block freed when the
// archive is destroyed); a source is borrowed for one Add. Results are ZipResult codes, ZR_OK (0) on
// success; after a failed entry the archive records the error and refuses further entries with
// ZR_FAILED.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/zip/deflate.h"
#include "common/zip/zip_format.h"
#include "common/zip/zip_writer.h"

namespace zip {

// Where the archive goes. Offsets are relative to where the archive begins in the output.
class IZipOutput {
 public:
  virtual ~IZipOutput() = default;
  // ZR_OK, or the code of the failure (ZR_WRITE for a short write, ZR_NOALLOC when a memory block
  // cannot grow, ZR_MEMSIZE when a caller's block is full).
  virtual ZipResult Write(const void* data, size_t len) = 0;
  virtual ZipResult Seek(uint32_t offset) = 0;
  // Cuts the output back to `offset` and continues there (seekable outputs only).
  virtual ZipResult Truncate(uint32_t offset) = 0;
  virtual bool seekable() const = 0;
};

// Without ZIP64 every position in the archive, from its start in the output to its last byte, must be
// a 32-bit offset below the all-ones value that readers take as "see the ZIP64 record".
constexpr uint64_t kMaxArchiveEnd = 0xFFFFFFFFu;
// The end record's entry count is 16 bits; all ones is again the ZIP64 marker.
constexpr size_t kMaxEntries = 0xFFFF;

// Growable memory block behind a memory target; the Windows layer backs it with the paging file.
class IMemoryBlock {
 public:
  virtual ~IMemoryBlock() = default;
  virtual uint8_t* data() = 0;
};
typedef std::unique_ptr<IMemoryBlock> (*MemoryBlockMaker)(size_t size);
std::unique_ptr<IMemoryBlock> MakeHeapBlock(size_t size);

// Memory target: the caller's block of fixed size, or a block of our own that grows by doubling.
class CMemoryOutput : public IZipOutput {
 public:
  CMemoryOutput(uint8_t* caller_block, size_t size);
  CMemoryOutput(MemoryBlockMaker maker, std::unique_ptr<IMemoryBlock> block, size_t size);
  ZipResult Write(const void* data, size_t len) override;
  ZipResult Seek(uint32_t offset) override;
  ZipResult Truncate(uint32_t offset) override;
  bool seekable() const override { return true; }
  const uint8_t* data() const { return base_; }
  size_t written() const { return end_; }
  size_t capacity() const { return size_; }

 private:
  uint8_t* base_;
  size_t size_;
  size_t pos_ = 0;
  size_t end_ = 0;
  MemoryBlockMaker maker_ = nullptr;
  std::unique_ptr<IMemoryBlock> block_;
};

// The data of one entry; Read as for DeflateInput (0 at the end, negative on failure).
class IZipSource {
 public:
  virtual ~IZipSource() = default;
  virtual long Read(uint8_t* buf, size_t max) = 0;
};

// What the caller's layer found out about a source before the entry is written.
struct ZipSourceInfo {
  bool folder = false;
  uint32_t declared_size = kNoSize;  // kNoSize when the size is not known in advance
  uint32_t attributes = kMemoryAttributes;
  EntryTimes times;
};

enum class ZipVariant { D, U };

class CZipArchive {
 public:
  CZipArchive(ZipVariant variant, std::unique_ptr<IZipOutput> output, uint32_t start_offset);
  ~CZipArchive();

  // ZR_FAILED after a recorded error, ZR_ENDED after close, else ZR_OK: checked before the caller's
  // layer opens anything.
  ZipResult CanAdd() const;
  // `name` is the converted 8-bit name; `source` may be null for a folder entry. An entry the format
  // can't describe (the 65,536th, or one whose bytes would reach past 4 GiB) is refused with ZR_WRITE;
  // on seekable output the archive is then cut back to what it was and stays open for more entries.
  ZipResult Add(const std::string& name, IZipSource* source, const ZipSourceInfo& info);
  // Writes the central directory and the end record; later calls return ZR_ENDED. ZR_WRITE, with
  // nothing written, when they would not fit below 4 GiB or a refused entry's bytes could not be
  // taken back: no reader could open that archive.
  ZipResult Close();

  const std::vector<ZipEntryRecord>& entries() const { return entries_; }
  ZipResult recorded_error() const { return error_; }
  IZipOutput& output() { return *output_; }

 private:
  ZipResult Write(const std::vector<uint8_t>& bytes);
  ZipResult Write(const void* data, size_t len);
  ZipResult WriteStored(IZipSource& source, uint32_t* crc, uint64_t* read, uint64_t* written);
  ZipResult WriteDeflated(IZipSource& source, uint32_t* crc, uint64_t* read, uint64_t* written);
  ZipResult WriteEntry(ZipEntryRecord& r, IZipSource* source, const ZipSourceInfo& info);
  ZipResult WriteEntryParts(ZipEntryRecord& r, IZipSource* source, const ZipSourceInfo& info);

  ZipVariant variant_;
  std::unique_ptr<IZipOutput> output_;
  uint32_t start_;
  uint64_t offset_ = 0;  // bytes written so far
  ZipResult error_ = ZR_OK;
  bool closed_ = false;
  bool too_large_ = false;   // the entry being written went past what the format can describe
  bool unreadable_ = false;  // bytes of a refused entry stay in an output that can't be cut back
  std::vector<ZipEntryRecord> entries_;
  std::vector<uint8_t> work_;
  std::unique_ptr<CDeflater> deflater_;  // kept across entries by variant U only
};

}  // namespace zip
