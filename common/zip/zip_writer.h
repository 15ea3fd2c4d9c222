// Zip archive writer (PKWARE format, no ZIP64) with our own DEFLATE, in two variants:
// variant D (kernel-dump reporter) and variant U (crash uploader). Create, add entries, close.
//
// Ownership: ZipWriterCreate returns a handle the caller owns until ZipWriterClose, which frees a
// valid handle whatever it returns; null means nothing was created (bad arguments, a target that
// cannot be opened, a variant U password). A handle target is duplicated, so the caller keeps and
// closes its own; a caller's memory block stays the caller's. Add and Close return ZR_OK (0) or a
// failure code, which ZipResultText names.
#pragma once
#include <cstdint>

namespace zip {

typedef uint32_t ZipResult;
enum : ZipResult {
  ZR_OK = 0x0,
  ZR_NODUPH = 0x100,
  ZR_NOFILE = 0x200,
  ZR_NOALLOC = 0x300,
  ZR_WRITE = 0x400,
  ZR_ARGS = 0x10000,
  ZR_MEMSIZE = 0x30000,
  ZR_FAILED = 0x40000,
  ZR_ENDED = 0x50000,
  ZR_MISSIZE = 0x60000,
  ZR_ZMODE = 0x80000,
  ZR_NOTINITED = 0x1000000,
  ZR_SEEK = 0x2000000,
  ZR_NOCHANGE = 0x4000000,
  ZR_FLATE = 0x5000000,
  // Codes of the reading side; the writer never returns them, but their texts are part of the table.
  ZR_NOTFOUND = 0x500,
  ZR_MORE = 0x600,
  ZR_CORRUPT = 0x700,
  ZR_READ = 0x800,
  ZR_NOTMMAP = 0x20000,
  ZR_PARTIALUNZ = 0x70000,
};

// Kinds of target (create) and source (add).
enum ZipSourceKind : uint32_t {
  ZIP_HANDLE = 1,    // an open handle
  ZIP_FILENAME = 2,  // a file by path
  ZIP_MEMORY = 3,    // a memory block
  ZIP_FOLDER = 4,    // a folder entry, no data (add only)
};

struct ZipWriterHandleObject;
typedef ZipWriterHandleObject* ZipWriterHandle;

// The fixed text of a result code ("unknown zip result code" for any other value).
const char* ZipResultText(ZipResult code);

namespace variant_d {
// target: HANDLE (kind 1), const wchar_t* path (kind 2), memory block or null (kind 3).
ZipWriterHandle ZipWriterCreate(void* target, uint32_t length, uint32_t kind);
// name: const wchar_t* for kind 2 (converted to the ANSI code page), an 8-bit string otherwise.
ZipResult ZipWriterAdd(ZipWriterHandle handle, const void* name, void* source, uint32_t length,
                       uint32_t kind);
ZipResult ZipWriterClose(ZipWriterHandle handle);
}  // namespace variant_d

namespace variant_u {
ZipWriterHandle ZipWriterCreate(void* target, uint32_t length, uint32_t kind, const char* password);
// name: UTF-16 for every kind, stored as UTF-8; null with kind 2 = the source path's file name.
ZipResult ZipWriterAdd(ZipWriterHandle handle, const wchar_t* name, void* source, uint32_t length,
                       uint32_t kind);
ZipResult ZipWriterClose(ZipWriterHandle handle);
}  // namespace variant_u

}  // namespace zip
