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
// The values are fixed (callers compare and store them); ZipResultText gives each its fixed text.
enum : ZipResult {
  ZR_OK = 0x0,  // done
  // Never returned: a target handle that can't be duplicated makes ZipWriterCreate return null.
  ZR_NODUPH = 0x100,
  ZR_NOFILE = 0x200,  // a kind 2 source can't be opened, or a source file's size and times can't be read
  // An output's own codes (IZipOutput), which the archive passes on as ZR_WRITE: a growing memory target
  // could not get a larger block (NOALLOC), a caller's fixed block is full or an offset lies past its
  // end (MEMSIZE).
  ZR_NOALLOC = 0x300,
  // A short write: the output refused bytes (disk full, pipe closed), a source failed while it was read
  // (the archive stays sound for later entries), the archive would pass 4 GiB or hold more than 65,535
  // entries (the entry is refused, and cut back where the output can seek), or Close found the directory
  // unplaceable.
  ZR_WRITE = 0x400,
  // Bad arguments: a null handle, an unknown kind, a missing or empty source, a name that is
  // empty, too long or has no form in the variant's code page.
  ZR_ARGS = 0x10000,
  ZR_MEMSIZE = 0x30000,
  ZR_FAILED = 0x40000,  // an earlier failure broke the archive: nothing more is added
  ZR_ENDED = 0x50000,   // the archive is already closed
  // Never returned: the writer measures what it wrote instead of trusting an announced size.
  ZR_MISSIZE = 0x60000,
  ZR_ZMODE = 0x80000,        // the handle is not an archive being created
  ZR_NOTINITED = 0x1000000,  // the archive has no output (an internal fault)
  ZR_SEEK = 0x2000000,       // an output that should seek could not, or one that can't was asked to
  ZR_NOCHANGE = 0x4000000,   // unseekable output: the entry's data contradicts its header already written
  ZR_FLATE = 0x5000000,      // the compressor failed its own consistency checks
  // Codes of the reading side; the writer never returns them, but their texts are part of the table.
  ZR_NOTFOUND = 0x500,      // no such entry in the archive
  ZR_MORE = 0x600,          // more of the entry is still to be read
  ZR_CORRUPT = 0x700,       // not an archive, or a damaged one
  ZR_READ = 0x800,          // the archive could not be read
  ZR_NOTMMAP = 0x20000,     // only an archive in memory has a memory block to give
  ZR_PARTIALUNZ = 0x70000,  // the entry was already partly read
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
