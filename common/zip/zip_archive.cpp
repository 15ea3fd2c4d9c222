// Archive writer core: one local header, data and (on unseekable output) descriptor per entry, then
// the central directory.
#include "common/zip/zip_archive.h"

#include <algorithm>
#include <cstring>

#include "common/zip/crc32.h"

namespace zip {
namespace {

class HeapBlock : public IMemoryBlock {
 public:
  explicit HeapBlock(size_t size) : bytes_(size) {}
  uint8_t* data() override { return bytes_.data(); }

 private:
  std::vector<uint8_t> bytes_;
};

// Feeds the compressor from a source and keeps the CRC and count of what went in.
class CountingInput : public DeflateInput {
 public:
  explicit CountingInput(IZipSource& source) : source_(source) {}
  long Read(uint8_t* buf, size_t max) override {
    long n = source_.Read(buf, max);
    if (n > 0) {
      crc = Crc32Update(crc, buf, size_t(n));
      count += uint64_t(n);
    }
    return n;
  }
  uint32_t crc = 0;
  uint64_t count = 0;

 private:
  IZipSource& source_;
};

}  // namespace

std::unique_ptr<IMemoryBlock> MakeHeapBlock(size_t size) {
  return std::unique_ptr<IMemoryBlock>(new HeapBlock(size));
}

CMemoryOutput::CMemoryOutput(uint8_t* caller_block, size_t size) : base_(caller_block), size_(size) {}

CMemoryOutput::CMemoryOutput(MemoryBlockMaker maker, std::unique_ptr<IMemoryBlock> block, size_t size)
    : base_(block->data()), size_(size), maker_(maker), block_(std::move(block)) {}

ZipResult CMemoryOutput::Write(const void* data, size_t len) {
  size_t needed = pos_ + len;
  if (maker_ ? needed >= size_ : needed > size_) {
    // Only a block we made ourselves can be replaced by a larger one.
    if (!maker_) return ZR_MEMSIZE;
    size_t grown = std::max(size_ * 2, needed);
    std::unique_ptr<IMemoryBlock> bigger = maker_(grown);
    if (!bigger) return ZR_NOALLOC;
    memcpy(bigger->data(), base_, end_);
    block_ = std::move(bigger);
    base_ = block_->data();
    size_ = grown;
  }
  if (len) memcpy(base_ + pos_, data, len);
  pos_ = needed;
  end_ = std::max(end_, pos_);
  return ZR_OK;
}

ZipResult CMemoryOutput::Seek(uint32_t offset) {
  if (offset > size_) return ZR_MEMSIZE;
  pos_ = offset;
  return ZR_OK;
}

ZipResult CMemoryOutput::Truncate(uint32_t offset) {
  if (offset > end_) return ZR_MEMSIZE;
  pos_ = end_ = offset;
  return ZR_OK;
}

CZipArchive::CZipArchive(ZipVariant variant, std::unique_ptr<IZipOutput> output, uint32_t start_offset)
    : variant_(variant), output_(std::move(output)), start_(start_offset), work_(kWorkBufferSize) {}

CZipArchive::~CZipArchive() = default;

ZipResult CZipArchive::CanAdd() const {
  if (error_) return ZR_FAILED;
  if (closed_) return ZR_ENDED;
  return ZR_OK;
}

ZipResult CZipArchive::Write(const void* data, size_t len) {
  if (!output_) return ZR_NOTINITED;
  // Nothing is written where no 32-bit offset reaches; the entry that asks for it is refused.
  if (start_ + offset_ + len > kMaxArchiveEnd) {
    too_large_ = true;
    return ZR_WRITE;
  }
  // However the output failed (a full disk, a memory block that can't grow), the archive got a short write.
  if (output_->Write(data, len) != ZR_OK) return ZR_WRITE;
  offset_ += len;
  return ZR_OK;
}

ZipResult CZipArchive::Write(const std::vector<uint8_t>& bytes) { return Write(bytes.data(), bytes.size()); }

ZipResult CZipArchive::Add(const std::string& name, IZipSource* source, const ZipSourceInfo& info) {
  ZipResult r = CanAdd();
  if (r) return r;
  if (name.empty() || (!info.folder && !source)) return ZR_ARGS;
  if (entries_.size() >= kMaxEntries) return ZR_WRITE;  // nothing written: the archive stays as it was
  ZipEntryRecord rec;
  rec.name = EntryName(name, info.folder);
  rec.method = info.folder || IsStoredName(rec.name) ? kMethodStored : kMethodDeflated;
  rec.dos_time = info.times.dos;
  rec.mtime = info.times.mtime;
  rec.atime = info.times.atime;
  rec.ctime = info.times.ctime;
  rec.external_attributes = info.attributes;
  uint32_t declared = info.folder ? 0 : info.declared_size;
  rec.compressed_size = rec.method == kMethodStored && declared != kNoSize ? declared : 0;
  rec.uncompressed_size = declared;
  rec.offset = uint32_t(start_ + offset_);
  // Variant U names are UTF-8; without the flag a reader takes them for its own code page.
  if (variant_ == ZipVariant::U && !IsPlainAscii(rec.name)) {
    rec.flags |= kFlagUtf8Name;
    rec.local_flags |= kFlagUtf8Name;
  }
  return WriteEntry(rec, source, info);
}

ZipResult CZipArchive::WriteEntry(ZipEntryRecord& rec, IZipSource* source, const ZipSourceInfo& info) {
  const uint64_t entry_start = offset_;
  too_large_ = false;
  ZipResult r = WriteEntryParts(rec, source, info);
  if (r == ZR_OK || !too_large_) return r;
  // A refused entry leaves the archive as it was, where the output can be cut back.
  if (output_->seekable() && output_->Truncate(uint32_t(entry_start)) == ZR_OK) {
    offset_ = entry_start;
    error_ = ZR_OK;
    return ZR_WRITE;
  }
  unreadable_ = true;
  return error_ = ZR_WRITE;
}

ZipResult CZipArchive::WriteEntryParts(ZipEntryRecord& rec, IZipSource* source, const ZipSourceInfo& info) {
  const ZipEntryRecord announced = rec;
  ZipResult r = Write(LocalHeaderBytes(rec));
  if (r) return error_ = r;

  uint32_t crc = 0;
  uint64_t read = 0, written = 0;
  if (!info.folder) {
    if (rec.method == kMethodDeflated) rec.flags |= kFlagMaxCompression;
    r = rec.method == kMethodStored ? WriteStored(*source, &crc, &read, &written)
                                    : WriteDeflated(*source, &crc, &read, &written);
    if (r) return r;
  }
  // Without ZIP64 sizes of 4 GiB and more can't be described; give the entry up rather than write wrapped
  // ones.
  if (read >= kMaxArchiveEnd || written >= kMaxArchiveEnd) {
    too_large_ = true;
    return error_ = ZR_WRITE;
  }
  rec.crc = crc;
  rec.compressed_size = uint32_t(written);
  rec.uncompressed_size = uint32_t(read);
  FinishFlags(rec, output_->seekable());

  if (output_->seekable()) {
    uint64_t end = offset_;
    if (output_->Seek(rec.offset - start_) != ZR_OK) return error_ = ZR_SEEK;
    offset_ = rec.offset - start_;  // the header is rewritten where it lies, well inside the limit
    r = Write(LocalHeaderBytes(rec));
    offset_ = end;
    if (r) return error_ = r;
    if (output_->Seek(uint32_t(end)) != ZR_OK) return error_ = ZR_SEEK;
  } else {
    // The local header already went out; it must not contradict what follows.
    if (rec.method != announced.method ||
        (rec.method == kMethodStored && rec.compressed_size != announced.compressed_size)) {
      return error_ = ZR_NOCHANGE;
    }
    r = Write(DataDescriptorBytes(rec));
    if (r) return error_ = r;
  }
  entries_.push_back(rec);
  return ZR_OK;
}

ZipResult CZipArchive::WriteStored(IZipSource& source, uint32_t* crc, uint64_t* read, uint64_t* written) {
  for (;;) {
    long n = source.Read(work_.data(), work_.size());
    if (n < 0) return ZR_WRITE;  // the source failed; the output is still sound for later entries
    if (n == 0) return ZR_OK;
    *crc = Crc32Update(*crc, work_.data(), size_t(n));
    *read += uint64_t(n);
    ZipResult r = Write(work_.data(), size_t(n));
    if (r) return error_ = r;
    *written += uint64_t(n);
  }
}

ZipResult CZipArchive::WriteDeflated(IZipSource& source, uint32_t* crc, uint64_t* read, uint64_t* written) {
  class ArchiveOutput : public DeflateOutput {
   public:
    explicit ArchiveOutput(CZipArchive& a) : a_(a) {}
    bool Write(const uint8_t* data, size_t len) override {
      result = a_.Write(data, len);
      return result == ZR_OK;
    }
    ZipResult result = ZR_OK;

   private:
    CZipArchive& a_;
  };

  // Variant D gives the compressor's state back after every entry; variant U keeps it for the archive.
  std::unique_ptr<CDeflater> per_entry;
  CDeflater* deflater;
  if (variant_ == ZipVariant::U) {
    if (!deflater_) deflater_.reset(new CDeflater);
    deflater = deflater_.get();
  } else {
    per_entry.reset(new CDeflater);
    deflater = per_entry.get();
  }
  CountingInput in(source);
  ArchiveOutput out(*this);
  DeflateStatus status = deflater->Compress(in, work_.data(), work_.size(), out, written);
  *crc = in.crc;
  *read = in.count;
  switch (status) {
    case DeflateStatus::Ok:
      return ZR_OK;
    case DeflateStatus::ReadFailed:
      return ZR_WRITE;
    case DeflateStatus::WriteFailed:
      return error_ = out.result ? out.result : ZR_WRITE;
    case DeflateStatus::Inconsistent:
      return error_ = ZR_FLATE;
  }
  return error_ = ZR_FLATE;
}

ZipResult CZipArchive::Close() {
  if (closed_) return ZR_ENDED;
  closed_ = true;
  uint64_t directory_start = offset_;
  uint64_t directory_size = 0;
  for (const ZipEntryRecord& rec : entries_)
    directory_size += kCentralHeaderFixed + rec.name.size() + kCentralExtraLength + rec.comment_length;
  // A directory that can't be placed below 4 GiB, or one behind bytes it can't describe, would make
  // even the complete entries unreadable: report the archive as failed instead.
  if (unreadable_ || start_ + directory_start + directory_size + kEndRecordLength > kMaxArchiveEnd)
    return ZR_WRITE;
  ZipResult failure = ZR_OK;
  for (const ZipEntryRecord& rec : entries_) {
    // After the first failed write nothing more is written.
    if (!failure) failure = Write(CentralHeaderBytes(rec));
  }
  if (!failure) {
    failure = Write(EndRecordBytes(uint16_t(entries_.size()), uint32_t(directory_size),
                                   uint32_t(start_ + directory_start)));
  }
  return failure;
}

}  // namespace zip
