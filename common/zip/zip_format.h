// Platform-free ZIP record layout (local and central headers, data descriptor, end record) and the
// entry rules that do not depend on Windows: names, method choice, flags, attributes and times.
//
// Every function takes and returns values; nothing is kept and nothing fails: values outside what a
// field can hold are clamped as each function says.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/zip/zip_writer.h"

namespace zip {

constexpr uint32_t kLocalHeaderSignature = 0x04034b50;
constexpr uint32_t kCentralHeaderSignature = 0x02014b50;
constexpr uint32_t kDataDescriptorSignature = 0x08074b50;
constexpr uint32_t kEndRecordSignature = 0x06054b50;
constexpr uint16_t kVersionMadeBy = 0x0B17;  // 2.3 of the format, made by host system 11
constexpr uint16_t kVersionNeeded = 20;
constexpr uint16_t kLocalExtraLength = 17;
constexpr uint16_t kCentralExtraLength = 9;
constexpr size_t kLocalHeaderFixed = 30;
constexpr size_t kCentralHeaderFixed = 46;
constexpr size_t kEndRecordLength = 22;
constexpr size_t kDataDescriptorLength = 16;
constexpr uint32_t kNoSize = 0xFFFFFFFF;
constexpr uint16_t kMethodStored = 0;
constexpr uint16_t kMethodDeflated = 8;
constexpr uint16_t kFlagEncrypted = 0x0001;
constexpr uint16_t kFlagMaxCompression = 0x0002;
constexpr uint16_t kFlagDataDescriptor = 0x0008;
constexpr uint16_t kFlagUtf8Name = 0x0800;          // the name is UTF-8, not the reader's code page
constexpr uint32_t kMemoryAttributes = 0x80000000;  // regular file, no permissions known
constexpr uint32_t kFolderAttributes = 0x41C00010;  // directory, rwx for the owner, DOS directory bit
constexpr size_t kWorkBufferSize = 16384;

// Longest stored names: ANSI names of variant D, UTF-8 names of variant U.
constexpr size_t kMaxNameD = 517;
constexpr size_t kMaxNameU = 259;

// Modification, access and creation time as Unix seconds, and the DOS time (low half) and date.
struct EntryTimes {
  uint32_t dos = 0;
  uint32_t mtime = 0, atime = 0, ctime = 0;
};

struct ZipEntryRecord {
  uint16_t version_made_by = kVersionMadeBy;
  uint16_t version_needed = kVersionNeeded;
  uint16_t flags = kFlagDataDescriptor;  // central copy
  uint16_t method = kMethodDeflated;
  uint32_t dos_time = 0;
  uint32_t crc = 0;
  uint32_t compressed_size = 0;
  uint32_t uncompressed_size = 0;
  uint16_t comment_length = 0;
  uint16_t disk_number_start = 0;
  uint16_t internal_attributes = 0;
  uint16_t local_flags = kFlagDataDescriptor;
  uint32_t external_attributes = 0;
  uint32_t offset = 0;  // of the local header, from the start of the output
  std::string name;
  uint32_t mtime = 0, atime = 0, ctime = 0;
};

std::vector<uint8_t> LocalHeaderBytes(const ZipEntryRecord& r);
std::vector<uint8_t> CentralHeaderBytes(const ZipEntryRecord& r);
std::vector<uint8_t> DataDescriptorBytes(const ZipEntryRecord& r);
std::vector<uint8_t> EndRecordBytes(uint16_t entries, uint32_t directory_size, uint32_t directory_offset);

// Backslashes become slashes; a folder entry's name ends in exactly the slash it needs.
std::string EntryName(const std::string& name, bool folder);
// Names whose extension (from the last dot of the whole name) marks already compressed data are
// stored instead of deflated.
bool IsStoredName(const std::string& name);
// Bytes 0..127 only: such a name reads the same in every code page, so it needs no UTF-8 flag.
bool IsPlainAscii(const std::string& name);
// External attributes of a disk file from its DOS attribute bits.
uint32_t DiskFileAttributes(uint32_t dos_attributes);
// Final flags once the data is written: sizes move into the header itself on seekable output and
// stay in a data descriptor otherwise.
void FinishFlags(ZipEntryRecord& r, bool seekable);

// Broken-down calendar time (month 1-12, day 1-31).
struct CivilTime {
  int year = 1601, month = 1, day = 1, hour = 0, minute = 0, second = 0;
};
// FILETIME value (100 ns units since 1601) to calendar fields, and back.
CivilTime FileTimeToCivil(uint64_t filetime);
uint64_t CivilToFileTime(const CivilTime& t);
// DOS date and time with two-second resolution. Years outside 1980..2107 cannot be expressed; they
// become the nearest end of the range rather than wrapping into an unrelated year.
uint32_t DosDateTime(const CivilTime& t);
// Variant U: Unix seconds straight from a UTC FILETIME (a signed 32-bit value in the archive).
uint32_t UnixTimeFromFileTime(uint64_t filetime);
// Variant D: Unix seconds of local calendar fields through the C library's local-time conversion,
// daylight saving off, years clamped to 1970..2037 with the time of day kept.
uint32_t UnixTimeFromLocal(const CivilTime& local);
// Variant D: a UTC FILETIME moved to local time by subtracting (UTC - local). Times within the shift
// of either end of the range clamp to it instead of wrapping (FILETIME 0 west of UTC once became 2107).
uint64_t UtcToLocalFileTime(uint64_t utc, int64_t utc_minus_local);
// Both variants: the entry times of a source from its three file times. Variant D is handed local
// FILETIMEs, variant U UTC ones.
EntryTimes TimesFromLocalFileTimes(uint64_t write, uint64_t access, uint64_t create);
EntryTimes TimesFromUtcFileTimes(uint64_t write, uint64_t access, uint64_t create);

}  // namespace zip
