// Public API of the archive writer, variants D and U: targets, sources and names on Windows, handed
// to the platform-free core.
#include <time.h>

#include "common/zip/zip_io_win.h"
#include "common/zip/zip_writer.h"

namespace zip {

constexpr uint32_t kArchiveBeingCreated = 2;

struct ZipWriterHandleObject {
  uint32_t type;
  CZipArchive* archive;
};

namespace {

ZipWriterHandle CreateArchive(ZipVariant variant, void* target, uint32_t length, uint32_t kind) {
  std::unique_ptr<IZipOutput> output;
  uint64_t start = 0;
  if (kind == ZIP_HANDLE) {
    HANDLE given = static_cast<HANDLE>(target);
    if (!given || given == INVALID_HANDLE_VALUE) return nullptr;
    suite::ScopedFile dup;
    if (!DuplicateHandle(GetCurrentProcess(), given, GetCurrentProcess(), dup.receive(), 0, FALSE,
                         DUPLICATE_SAME_ACCESS)) {
      return nullptr;
    }
    bool disk = IsDiskHandle(dup.get());
    if (disk) {
      // A disk file is written from where its pointer stands; offsets in the archive count from the
      // file's start, as readers look for them.
      LARGE_INTEGER zero = {}, pos = {};
      if (!SetFilePointerEx(dup.get(), zero, &pos, FILE_CURRENT)) return nullptr;
      start = uint64_t(pos.QuadPart);
    }
    output.reset(new CFileOutput(std::move(dup), disk, start));
  } else if (kind == ZIP_FILENAME) {
    const wchar_t* path = static_cast<const wchar_t*>(target);
    if (!path || !*path) return nullptr;
    suite::ScopedFile file(
        CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return nullptr;
    output.reset(new CFileOutput(std::move(file), true, 0));
  } else if (kind == ZIP_MEMORY) {
    if (length == 0) return nullptr;
    if (target) {
      output.reset(new CMemoryOutput(static_cast<uint8_t*>(target), length));
    } else {
      std::unique_ptr<IMemoryBlock> block = MakeMappedBlock(length);
      if (!block) return nullptr;
      output.reset(new CMemoryOutput(&MakeMappedBlock, std::move(block), length));
    }
  } else {
    return nullptr;
  }
  // Offsets in the archive are 32-bit: an archive can't begin beyond that.
  if (start > 0xFFFFFFFFu) return nullptr;
  auto* h = new ZipWriterHandleObject;
  h->type = kArchiveBeingCreated;
  h->archive = new CZipArchive(variant, std::move(output), uint32_t(start));
  return h;
}

ZipResult CheckHandle(ZipWriterHandle h) {
  if (!h) return ZR_ARGS;
  if (h->type != kArchiveBeingCreated || !h->archive) return ZR_ZMODE;
  return ZR_OK;
}

// Opens the source of an add and describes it. `owned` receives a handle the writer opened itself.
ZipResult OpenSource(ZipVariant variant, void* source, uint32_t length, uint32_t kind,
                     std::unique_ptr<IZipSource>* opened, ZipSourceInfo* info) {
  info->times = CurrentTimes(variant);
  switch (kind) {
    case ZIP_FILENAME: {
      const wchar_t* path = static_cast<const wchar_t*>(source);
      if (!path || !*path) return ZR_ARGS;
      suite::ScopedFile file(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                         FILE_ATTRIBUTE_NORMAL, nullptr));
      if (!file) return ZR_NOFILE;
      HANDLE h = file.get();
      opened->reset(new CHandleSource(std::move(file)));
      return DescribeDiskFile(h, variant, info) ? ZR_OK : ZR_NOFILE;
    }
    case ZIP_HANDLE: {
      HANDLE h = static_cast<HANDLE>(source);
      if (!h || h == INVALID_HANDLE_VALUE) return ZR_ARGS;
      opened->reset(new CHandleSource(h));
      if (IsDiskHandle(h)) return DescribeDiskFile(h, variant, info) ? ZR_OK : ZR_NOFILE;
      info->declared_size = length ? length : kNoSize;
      return ZR_OK;
    }
    case ZIP_MEMORY:
      if (!source || length == 0) return ZR_ARGS;
      opened->reset(new CMemorySource(source, length));
      info->declared_size = length;
      return ZR_OK;
    case ZIP_FOLDER:
      info->folder = true;
      info->attributes = kFolderAttributes;
      info->declared_size = 0;
      return ZR_OK;
    default:
      return ZR_ARGS;
  }
}

ZipResult AddEntry(ZipVariant variant, ZipWriterHandle h, const std::string& name, void* source,
                   uint32_t length, uint32_t kind) {
  std::unique_ptr<IZipSource> opened;
  ZipSourceInfo info;
  ZipResult r = OpenSource(variant, source, length, kind, &opened, &info);
  if (r) return r;
  return h->archive->Add(name, opened.get(), info);
}

ZipResult PrepareAdd(ZipWriterHandle h, uint32_t kind) {
  ZipResult r = CheckHandle(h);
  if (r) return r;
  r = h->archive->CanAdd();
  if (r) return r;
  if (kind < ZIP_HANDLE || kind > ZIP_FOLDER) return ZR_ARGS;
  return ZR_OK;
}

ZipResult CloseArchive(ZipWriterHandle h) {
  ZipResult r = CheckHandle(h);
  if (r) return r;
  r = h->archive->Close();
  delete h->archive;  // releases the view and mapping or closes the output file
  h->archive = nullptr;
  h->type = 0;
  delete h;
  return r;
}

}  // namespace

namespace variant_d {

ZipWriterHandle ZipWriterCreate(void* target, uint32_t length, uint32_t kind) {
  _tzset();  // the local-time conversion of entry times reads the time-zone data
  return CreateArchive(ZipVariant::D, target, length, kind);
}

ZipResult ZipWriterAdd(ZipWriterHandle handle, const void* name, void* source, uint32_t length,
                       uint32_t kind) {
  ZipResult r = PrepareAdd(handle, kind);
  if (r) return r;
  if (!name) return ZR_ARGS;
  std::string converted;
  if (kind == ZIP_FILENAME) {
    if (!WideToCodePage(static_cast<const wchar_t*>(name), CP_ACP, kMaxNameD, &converted, true))
      return ZR_ARGS;
  } else {
    converted = static_cast<const char*>(name);
    if (converted.size() > kMaxNameD) return ZR_ARGS;
  }
  if (converted.empty()) return ZR_ARGS;
  return AddEntry(ZipVariant::D, handle, converted, source, length, kind);
}

ZipResult ZipWriterClose(ZipWriterHandle handle) { return CloseArchive(handle); }

}  // namespace variant_d

namespace variant_u {

ZipWriterHandle ZipWriterCreate(void* target, uint32_t length, uint32_t kind, const char* password) {
  // The traditional encryption is not carried: an archive asked for with a password is refused rather
  // than written in the clear.
  if (password && *password) return nullptr;
  return CreateArchive(ZipVariant::U, target, length, kind);
}

ZipResult ZipWriterAdd(ZipWriterHandle handle, const wchar_t* name, void* source, uint32_t length,
                       uint32_t kind) {
  ZipResult r = PrepareAdd(handle, kind);
  if (r) return r;
  std::wstring chosen;
  if (name) {
    chosen = name;
  } else {
    // No name: the source file's own name, the text after the path's last backslash.
    const wchar_t* path = static_cast<const wchar_t*>(source);
    if (kind != ZIP_FILENAME || !path) return ZR_ARGS;
    std::wstring p = path;
    size_t slash = p.rfind(L'\\');
    if (slash == std::wstring::npos) return ZR_ARGS;
    chosen = p.substr(slash + 1);
  }
  std::string converted;
  if (!WideToCodePage(chosen.c_str(), CP_UTF8, kMaxNameU, &converted) || converted.empty()) return ZR_ARGS;
  return AddEntry(ZipVariant::U, handle, converted, source, length, kind);
}

ZipResult ZipWriterClose(ZipWriterHandle handle) { return CloseArchive(handle); }

}  // namespace variant_u

}  // namespace zip
