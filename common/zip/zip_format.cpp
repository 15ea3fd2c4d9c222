// ZIP record layout and the platform-free entry rules of the archive writer.
#include "common/zip/zip_format.h"

#include <cctype>
#include <ctime>

namespace zip {
namespace {

void Put16(std::vector<uint8_t>& b, uint32_t v) {
  b.push_back(uint8_t(v));
  b.push_back(uint8_t(v >> 8));
}
void Put32(std::vector<uint8_t>& b, uint32_t v) {
  Put16(b, v & 0xFFFF);
  Put16(b, v >> 16);
}

// The extended time stamp field: flags 7 says modification, access and creation times follow; the
// central copy carries the modification time only.
void PutTimeField(std::vector<uint8_t>& b, const ZipEntryRecord& r, bool local) {
  b.push_back(0x55);
  b.push_back(0x54);
  Put16(b, local ? 13 : 5);
  b.push_back(7);
  Put32(b, r.mtime);
  if (local) {
    Put32(b, r.atime);
    Put32(b, r.ctime);
  }
}

// What the local and the central header share, from the general-purpose flags (which differ between
// the two copies) to the extra field's length; the name follows.
void PutSharedFields(std::vector<uint8_t>& b, const ZipEntryRecord& r, uint32_t flags,
                     uint32_t extra_length) {
  Put16(b, flags);
  Put16(b, r.method);
  Put32(b, r.dos_time);
  Put32(b, r.crc);
  Put32(b, r.compressed_size);
  Put32(b, r.uncompressed_size);
  Put16(b, uint32_t(r.name.size()));
  Put16(b, extra_length);
}

}  // namespace

const char* ZipResultText(ZipResult code) {
  switch (code) {
    case ZR_OK:
      return "Success";
    case ZR_NODUPH:
      return "Culdn't duplicate handle";
    case ZR_NOFILE:
      return "Couldn't create/open file";
    case ZR_NOALLOC:
      return "Failed to allocate memory";
    case ZR_WRITE:
      return "Error writing to file";
    case ZR_NOTFOUND:
      return "File not found in the zipfile";
    case ZR_MORE:
      return "Still more data to unzip";
    case ZR_CORRUPT:
      return "Zipfile is corrupt or not a zipfile";
    case ZR_READ:
      return "Error reading file";
    case ZR_ARGS:
      return "Caller: faulty arguments";
    case ZR_PARTIALUNZ:
      return "Caller: the file had already been partially unzipped";
    case ZR_NOTMMAP:
      return "Caller: can only get memory of a memory zipfile";
    case ZR_MEMSIZE:
      return "Caller: not enough space allocated for memory zipfile";
    case ZR_FAILED:
      return "Caller: there was a previous error";
    case ZR_ENDED:
      return "Caller: additions to the zip have already been ended";
    case ZR_MISSIZE:
      return "Zip-bug: the anticipated size turned out wrong";
    case ZR_ZMODE:
      return "Caller: mixing creation and opening of zip";
    case ZR_NOTINITED:
      return "Zip-bug: internal initialisation not completed";
    case ZR_SEEK:
      return "Zip-bug: trying to seek the unseekable";
    case ZR_NOCHANGE:
      return "Zip-bug: tried to change mind, but not allowed";
    case ZR_FLATE:
      return "Zip-bug: an internal error during flation";
    default:
      return "unknown zip result code";
  }
}

std::vector<uint8_t> LocalHeaderBytes(const ZipEntryRecord& r) {
  std::vector<uint8_t> b;
  b.reserve(kLocalHeaderFixed + r.name.size() + kLocalExtraLength);
  Put32(b, kLocalHeaderSignature);
  Put16(b, r.version_needed);
  PutSharedFields(b, r, r.local_flags, kLocalExtraLength);
  b.insert(b.end(), r.name.begin(), r.name.end());
  PutTimeField(b, r, true);
  return b;
}

std::vector<uint8_t> CentralHeaderBytes(const ZipEntryRecord& r) {
  std::vector<uint8_t> b;
  b.reserve(kCentralHeaderFixed + r.name.size() + kCentralExtraLength);
  Put32(b, kCentralHeaderSignature);
  Put16(b, r.version_made_by);
  Put16(b, r.version_needed);
  PutSharedFields(b, r, r.flags, kCentralExtraLength);
  Put16(b, r.comment_length);
  Put16(b, r.disk_number_start);
  Put16(b, r.internal_attributes);
  Put32(b, r.external_attributes);
  Put32(b, r.offset);
  b.insert(b.end(), r.name.begin(), r.name.end());
  PutTimeField(b, r, false);
  return b;
}

std::vector<uint8_t> DataDescriptorBytes(const ZipEntryRecord& r) {
  std::vector<uint8_t> b;
  Put32(b, kDataDescriptorSignature);
  Put32(b, r.crc);
  Put32(b, r.compressed_size);
  Put32(b, r.uncompressed_size);
  return b;
}

std::vector<uint8_t> EndRecordBytes(uint16_t entries, uint32_t directory_size, uint32_t directory_offset) {
  std::vector<uint8_t> b;
  Put32(b, kEndRecordSignature);
  Put16(b, 0);  // this disk
  Put16(b, 0);  // disk of the central directory
  Put16(b, entries);
  Put16(b, entries);
  Put32(b, directory_size);
  Put32(b, directory_offset);
  Put16(b, 0);  // comment length
  return b;
}

std::string EntryName(const std::string& name, bool folder) {
  std::string n = name;
  for (char& c : n) {
    if (c == '\\') c = '/';
  }
  if (folder && (n.empty() || n.back() != '/')) n += '/';
  return n;
}

bool IsStoredName(const std::string& name) {
  size_t dot = name.rfind('.');
  if (dot == std::string::npos) return false;
  std::string ext = name.substr(dot);
  for (char& c : ext) c = char(tolower(static_cast<unsigned char>(c)));
  static const char* const kStored[] = {".z", ".zip", ".zoo", ".arc", ".lzh", ".arj", ".gz", ".tgz"};
  for (const char* s : kStored) {
    if (ext == s) return true;
  }
  return false;
}

uint32_t DiskFileAttributes(uint32_t dos) {
  const uint32_t kReadOnly = 0x01, kDirectory = 0x10;
  uint32_t mode = (dos & kDirectory) ? 0x4000 : 0x8000;
  mode |= 0x0100;                          // owner read
  if (!(dos & kReadOnly)) mode |= 0x0080;  // owner write
  return mode << 16 | (dos & 0x37);        // read-only, hidden, system, directory, archive
}

bool IsPlainAscii(const std::string& name) {
  for (unsigned char c : name)
    if (c >= 0x80) return false;
  return true;
}

void FinishFlags(ZipEntryRecord& r, bool seekable) {
  if (seekable) {
    if (!(r.flags & kFlagEncrypted)) r.flags &= ~kFlagDataDescriptor;
    r.local_flags = r.flags;
  } else {
    r.flags = r.local_flags;
  }
}

namespace {

constexpr uint64_t kTicksPerSecond = 10000000;
constexpr int64_t kDaysFrom1601To1970 = 134774;

// Days since 1970-01-01 of a proleptic Gregorian date, and back (valid for any year >= 1601).
int64_t DaysFromCivil(int y, int m, int d) {
  y -= m <= 2;
  int64_t era = (y >= 0 ? y : y - 399) / 400;
  int64_t yoe = y - era * 400;
  int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

void CivilFromDays(int64_t z, CivilTime& t) {
  z += 719468;
  int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  int64_t doe = z - era * 146097;
  int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  int64_t mp = (5 * doy + 2) / 153;
  t.day = int(doy - (153 * mp + 2) / 5 + 1);
  t.month = int(mp < 10 ? mp + 3 : mp - 9);
  t.year = int(yoe + era * 400 + (t.month <= 2));
}

}  // namespace

CivilTime FileTimeToCivil(uint64_t filetime) {
  uint64_t secs = filetime / kTicksPerSecond;
  CivilTime t;
  CivilFromDays(int64_t(secs / 86400) - kDaysFrom1601To1970, t);
  uint32_t sod = uint32_t(secs % 86400);
  t.hour = int(sod / 3600);
  t.minute = int(sod / 60 % 60);
  t.second = int(sod % 60);
  return t;
}

uint64_t CivilToFileTime(const CivilTime& t) {
  int64_t days = DaysFromCivil(t.year, t.month, t.day) + kDaysFrom1601To1970;
  uint64_t secs = uint64_t(days) * 86400 + uint64_t(t.hour * 3600 + t.minute * 60 + t.second);
  return secs * kTicksPerSecond;
}

uint32_t DosDateTime(const CivilTime& in) {
  CivilTime t = in;
  if (t.year < 1980) {
    t = CivilTime{1980, 1, 1, 0, 0, 0};
  } else if (t.year > 2107) {
    t = CivilTime{2107, 12, 31, 23, 59, 58};
  }
  uint32_t date =
      uint32_t((t.year - 1980) & 0x7F) << 9 | uint32_t(t.month & 0xF) << 5 | uint32_t(t.day & 0x1F);
  uint32_t time = uint32_t(t.hour & 0x1F) << 11 | uint32_t(t.minute & 0x3F) << 5 | uint32_t(t.second / 2);
  return date << 16 | time;
}

uint32_t UnixTimeFromFileTime(uint64_t filetime) {
  // Whole seconds from 1970 toward zero, worked out unsigned: a FILETIME at or above 2^63 (none valid
  // on Windows, but a file system can hand one over) must not overflow the signed subtraction.
  const uint64_t kEpoch = 116444736000000000ull;
  int64_t secs = filetime >= kEpoch ? int64_t((filetime - kEpoch) / kTicksPerSecond)
                                    : -int64_t((kEpoch - filetime) / kTicksPerSecond);
  return uint32_t(secs);
}

uint32_t UnixTimeFromLocal(const CivilTime& local) {
  CivilTime t = local;
  if (t.year < 1970) {
    t.year = 1970, t.month = 1, t.day = 1;
  } else if (t.year > 2037) {
    t.year = 2037, t.month = 12, t.day = 31;
  }
  struct tm tm = {};
  tm.tm_year = t.year - 1900;
  tm.tm_mon = t.month - 1;
  tm.tm_mday = t.day;
  tm.tm_hour = t.hour;
  tm.tm_min = t.minute;
  tm.tm_sec = t.second;
  tm.tm_isdst = 0;
  time_t result = mktime(&tm);
  // A local time just after midnight 1970-01-01 east of Greenwich has no Unix time; give the epoch.
  if (result == time_t(-1) || result < 0) return 0;
  return uint32_t(result);
}

uint64_t UtcToLocalFileTime(uint64_t utc, int64_t utc_minus_local) {
  if (utc_minus_local >= 0) {
    uint64_t shift = uint64_t(utc_minus_local);
    return utc < shift ? 0 : utc - shift;
  }
  uint64_t shift = uint64_t(-(utc_minus_local + 1)) + 1;  // |shift| without overflowing INT64_MIN
  return utc > UINT64_MAX - shift ? UINT64_MAX : utc + shift;
}

EntryTimes TimesFromLocalFileTimes(uint64_t write, uint64_t access, uint64_t create) {
  EntryTimes e;
  CivilTime w = FileTimeToCivil(write);
  e.dos = DosDateTime(w);
  e.mtime = UnixTimeFromLocal(w);
  e.atime = UnixTimeFromLocal(FileTimeToCivil(access));
  e.ctime = UnixTimeFromLocal(FileTimeToCivil(create));
  return e;
}

EntryTimes TimesFromUtcFileTimes(uint64_t write, uint64_t access, uint64_t create) {
  EntryTimes e;
  e.dos = DosDateTime(FileTimeToCivil(write));
  e.mtime = UnixTimeFromFileTime(write);
  e.atime = UnixTimeFromFileTime(access);
  e.ctime = UnixTimeFromFileTime(create);
  return e;
}

}  // namespace zip
