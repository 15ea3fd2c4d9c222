// Windows side of the archive writer: file and pipe outputs, paging-file memory blocks, sources,
// file times and name conversion. Everything else lives in the platform-free core.
//
// Ownership: a CFileOutput owns its handle and closes it with the archive; a CHandleSource closes
// only a handle it was given as a ScopedFile (one the writer opened itself), never a caller's; a
// CMemorySource borrows the caller's bytes. False results are described with each function.
#pragma once
#include <windows.h>

#include <memory>
#include <string>
#include <utility>

#include "common/scoped_handle_win.h"
#include "common/zip/zip_archive.h"

namespace zip {

// Output to an owned file or pipe handle; seekable outputs start at `start` in the file.
class CFileOutput : public IZipOutput {
 public:
  CFileOutput(suite::ScopedFile owned, bool seekable, uint64_t start);
  ZipResult Write(const void* data, size_t len) override;
  ZipResult Seek(uint32_t offset) override;
  ZipResult Truncate(uint32_t offset) override;
  bool seekable() const override { return seekable_; }

 private:
  suite::ScopedFile h_;
  bool seekable_;
  uint64_t start_;
};

// A block backed by the paging file (a file mapping and its view); null when either can't be made.
std::unique_ptr<IMemoryBlock> MakeMappedBlock(size_t size);

// Reads a file, pipe or other handle until it reports the end: a borrowed one, or an owned one that
// it closes.
class CHandleSource : public IZipSource {
 public:
  explicit CHandleSource(HANDLE borrowed) : h_(borrowed) {}
  explicit CHandleSource(suite::ScopedFile owned) : h_(owned.get()), owned_(std::move(owned)) {}
  long Read(uint8_t* buf, size_t max) override;

 private:
  HANDLE h_;
  suite::ScopedFile owned_;
};

class CMemorySource : public IZipSource {
 public:
  CMemorySource(const void* data, size_t len) : p_(static_cast<const uint8_t*>(data)), left_(len) {}
  long Read(uint8_t* buf, size_t max) override;

 private:
  const uint8_t* p_;
  size_t left_;
};

bool IsDiskHandle(HANDLE h);
// Size, attributes and times of a disk file, its pointer set back to the start. False when its
// information can't be read (or it is too large for an archive without 64-bit sizes).
bool DescribeDiskFile(HANDLE h, ZipVariant variant, ZipSourceInfo* info);
// Entry times of data without a file of its own: the current time in the variant's clock.
EntryTimes CurrentTimes(ZipVariant variant);

// Name conversions; false when the text can't be converted or is longer than `max_bytes`. With
// `exact`, also false when any character has no exact counterpart in the code page.
bool WideToCodePage(const wchar_t* text, UINT code_page, size_t max_bytes, std::string* out,
                    bool exact = false);

}  // namespace zip
