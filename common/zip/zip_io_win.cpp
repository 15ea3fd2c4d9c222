// Win32 outputs, sources, times and text conversion of the archive writer.
#include "common/zip/zip_io_win.h"

#include <cstring>
#include <cwchar>
#include <vector>

namespace zip {
namespace {

uint64_t ToU64(const FILETIME& ft) { return uint64_t(ft.dwHighDateTime) << 32 | ft.dwLowDateTime; }

uint64_t NowUtc() {
  FILETIME ft;
  GetSystemTimeAsFileTime(&ft);
  return ToU64(ft);
}

uint64_t NowLocal() {
  SYSTEMTIME st;
  GetLocalTime(&st);
  FILETIME ft;
  if (!SystemTimeToFileTime(&st, &ft)) return NowUtc();
  return ToU64(ft);
}

// UTC minus local time. The two clock readings are a few ticks apart; zones differ from UTC in whole
// minutes, so the difference is rounded to one and a file's seconds are not nudged across a boundary.
int64_t UtcMinusLocal() {
  int64_t diff = int64_t(NowUtc()) - int64_t(NowLocal());
  const int64_t kMinute = 600000000;
  int64_t half = diff >= 0 ? kMinute / 2 : -kMinute / 2;
  return (diff + half) / kMinute * kMinute;
}

class CMappedBlock : public IMemoryBlock {
 public:
  CMappedBlock(suite::ScopedKernelObject mapping, void* view)
      : mapping_(std::move(mapping)), view_(static_cast<uint8_t*>(view)) {}
  // The view goes first; the mapping member closes after it.
  ~CMappedBlock() override { UnmapViewOfFile(view_); }
  uint8_t* data() override { return view_; }

 private:
  suite::ScopedKernelObject mapping_;
  uint8_t* view_;
};

}  // namespace

CFileOutput::CFileOutput(suite::ScopedFile owned, bool seekable, uint64_t start)
    : h_(std::move(owned)), seekable_(seekable), start_(start) {}

ZipResult CFileOutput::Write(const void* data, size_t len) {
  const uint8_t* p = static_cast<const uint8_t*>(data);
  while (len > 0) {
    DWORD done = 0;
    if (!WriteFile(h_.get(), p, DWORD(len), &done, nullptr) || done == 0) return ZR_WRITE;
    p += done;
    len -= done;
  }
  return ZR_OK;
}

ZipResult CFileOutput::Seek(uint32_t offset) {
  if (!seekable_) return ZR_SEEK;
  LARGE_INTEGER to;
  to.QuadPart = LONGLONG(start_ + offset);
  return SetFilePointerEx(h_.get(), to, nullptr, FILE_BEGIN) ? ZR_OK : ZR_SEEK;
}

ZipResult CFileOutput::Truncate(uint32_t offset) {
  if (Seek(offset) != ZR_OK) return ZR_SEEK;
  return SetEndOfFile(h_.get()) ? ZR_OK : ZR_SEEK;
}

std::unique_ptr<IMemoryBlock> MakeMappedBlock(size_t size) {
  uint64_t s = size;
  suite::ScopedKernelObject mapping(
      CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, DWORD(s >> 32), DWORD(s), nullptr));
  if (!mapping) return nullptr;
  void* view = MapViewOfFile(mapping.get(), FILE_MAP_ALL_ACCESS, 0, 0, size);
  if (!view) return nullptr;
  return std::unique_ptr<IMemoryBlock>(new CMappedBlock(std::move(mapping), view));
}

long CHandleSource::Read(uint8_t* buf, size_t max) {
  DWORD got = 0;
  if (!ReadFile(h_, buf, DWORD(max), &got, nullptr)) {
    // A pipe whose writer has gone reports its end as an error.
    DWORD e = GetLastError();
    return e == ERROR_BROKEN_PIPE || e == ERROR_HANDLE_EOF ? 0 : -1;
  }
  return long(got);
}

long CMemorySource::Read(uint8_t* buf, size_t max) {
  size_t n = left_ < max ? left_ : max;
  memcpy(buf, p_, n);
  p_ += n;
  left_ -= n;
  return long(n);
}

bool IsDiskHandle(HANDLE h) { return GetFileType(h) == FILE_TYPE_DISK; }

bool DescribeDiskFile(HANDLE h, ZipVariant variant, ZipSourceInfo* info) {
  BY_HANDLE_FILE_INFORMATION fi;
  if (!GetFileInformationByHandle(h, &fi)) return false;
  if (fi.nFileSizeHigh != 0 || fi.nFileSizeLow == kNoSize) return false;
  LARGE_INTEGER zero = {};
  if (!SetFilePointerEx(h, zero, nullptr, FILE_BEGIN)) return false;
  info->declared_size = fi.nFileSizeLow;
  info->attributes = DiskFileAttributes(fi.dwFileAttributes);
  uint64_t w = ToU64(fi.ftLastWriteTime), a = ToU64(fi.ftLastAccessTime), c = ToU64(fi.ftCreationTime);
  if (variant == ZipVariant::D) {
    int64_t shift = UtcMinusLocal();
    info->times = TimesFromLocalFileTimes(UtcToLocalFileTime(w, shift), UtcToLocalFileTime(a, shift),
                                          UtcToLocalFileTime(c, shift));
  } else {
    info->times = TimesFromUtcFileTimes(w, a, c);
  }
  return true;
}

EntryTimes CurrentTimes(ZipVariant variant) {
  if (variant == ZipVariant::D) {
    uint64_t now = NowLocal();
    return TimesFromLocalFileTimes(now, now, now);
  }
  uint64_t now = NowUtc();
  return TimesFromUtcFileTimes(now, now, now);
}

bool WideToCodePage(const wchar_t* text, UINT code_page, size_t max_bytes, std::string* out, bool exact) {
  if (!text) return false;
  std::vector<char> buf(max_bytes + 1);
  // Best-fit mapping would turn a fullwidth or division slash into "/" and a fullwidth backslash into
  // "\" (then "/"): a name could gain path parts or collide with another. Such a name is refused.
  BOOL defaulted = FALSE;
  const bool ansi = exact && code_page != CP_UTF8 && code_page != CP_UTF7;
  int n = WideCharToMultiByte(code_page, ansi ? WC_NO_BEST_FIT_CHARS : 0, text, -1, buf.data(),
                              int(buf.size()), nullptr, ansi ? &defaulted : nullptr);
  if (n <= 0 || defaulted) return false;  // includes names whose converted form would not fit
  if (exact) {
    // Whatever the flags did: only a name that converts back to itself is taken.
    int back = MultiByteToWideChar(code_page, 0, buf.data(), n, nullptr, 0);
    std::vector<wchar_t> round(back > 0 ? size_t(back) : 1);
    if (back <= 0 || MultiByteToWideChar(code_page, 0, buf.data(), n, round.data(), back) != back ||
        wcscmp(round.data(), text) != 0)
      return false;
  }
  out->assign(buf.data(), size_t(n - 1));
  return true;
}

}  // namespace zip
