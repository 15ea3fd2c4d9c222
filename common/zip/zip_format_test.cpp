// Record layout, names, flags, attributes and the two time rules.
#include "common/zip/zip_format.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

namespace zip {
namespace {

TEST(ZipFormat, LocalAndCentralHeaderLayout) {
  ZipEntryRecord r;
  r.flags = 0x0002;
  r.local_flags = 0x0002;
  r.method = 8;
  r.dos_time = 0x11223344;
  r.crc = 0xAABBCCDD;
  r.compressed_size = 0x01020304;
  r.uncompressed_size = 0x05060708;
  r.external_attributes = 0x81800020;
  r.offset = 0x00001000;
  r.name = "ab";
  r.mtime = 0x61000001;
  r.atime = 0x61000002;
  r.ctime = 0x61000003;
  std::vector<uint8_t> local = LocalHeaderBytes(r);
  const std::vector<uint8_t> expected_local = {
      0x50, 0x4B, 0x03, 0x04, 20,   0,    0x02, 0,    8,    0, 0x44, 0x33, 0x22, 0x11, 0xDD, 0xCC, 0xBB,
      0xAA, 0x04, 0x03, 0x02, 0x01, 0x08, 0x07, 0x06, 0x05, 2, 0,    17,   0,    'a',  'b',  0x55, 0x54,
      13,   0,    7,    0x01, 0,    0,    0x61, 0x02, 0,    0, 0x61, 0x03, 0,    0,    0x61};
  EXPECT_EQ(expected_local, local);
  std::vector<uint8_t> central = CentralHeaderBytes(r);
  const std::vector<uint8_t> expected_central = {
      0x50, 0x4B, 0x01, 0x02, 0x17, 0x0B, 20,   0,    0x02, 0,    8,    0,    0x44, 0x33, 0x22,
      0x11, 0xDD, 0xCC, 0xBB, 0xAA, 0x04, 0x03, 0x02, 0x01, 0x08, 0x07, 0x06, 0x05, 2,    0,
      9,    0,    0,    0,    0,    0,    0,    0,    0x20, 0x00, 0x80, 0x81, 0x00, 0x10, 0,
      0,    'a',  'b',  0x55, 0x54, 5,    0,    7,    0x01, 0,    0,    0x61};
  EXPECT_EQ(expected_central, central);
  EXPECT_EQ((std::vector<uint8_t>{0x50, 0x4B, 0x07, 0x08, 0xDD, 0xCC, 0xBB, 0xAA, 4, 3, 2, 1, 8, 7, 6, 5}),
            DataDescriptorBytes(r));
  EXPECT_EQ((std::vector<uint8_t>{0x50, 0x4B, 0x05, 0x06, 0, 0,    0,    0, 2, 0, 2,
                                  0,    0x5C, 0,    0,    0, 0x10, 0x20, 0, 0, 0, 0}),
            EndRecordBytes(2, 0x5C, 0x2010));
}

TEST(ZipFormat, StoredExtensions) {
  for (const char* stored :
       {"a.ZIP", "x.Gz", "notes.txt.zip", "a.z", "b.zoo", "c.ARC", "d.lzh", "e.arj", "f.tgz"}) {
    EXPECT_TRUE(IsStoredName(stored)) << stored;
  }
  for (const char* deflated :
       {"archive.zip.txt", "zip", "dump.dmp", "a.zipx", "gz", "dir.zip/file", "a.tar"}) {
    EXPECT_FALSE(IsStoredName(deflated)) << deflated;
  }
}

TEST(ZipFormat, NamesAndFolders) {
  EXPECT_EQ("dir/file.txt", EntryName("dir\\file.txt", false));
  EXPECT_EQ("logs/", EntryName("logs", true));
  EXPECT_EQ("logs/", EntryName("logs\\", true));
  EXPECT_EQ("a/b/", EntryName("a/b/", true));
}

TEST(ZipFormat, AttributesAndFlags) {
  EXPECT_EQ(0x81800020u, DiskFileAttributes(0x20));
  EXPECT_EQ(0x81000021u, DiskFileAttributes(0x21));
  EXPECT_EQ(0x81800026u, DiskFileAttributes(0x26));
  EXPECT_EQ(0x41800010u, DiskFileAttributes(0x10));
  EXPECT_EQ(0x81800000u, DiskFileAttributes(0x80));  // FILE_ATTRIBUTE_NORMAL carries no DOS bit
  ZipEntryRecord deflated;
  deflated.flags |= kFlagMaxCompression;
  ZipEntryRecord seek = deflated;
  FinishFlags(seek, true);
  EXPECT_EQ(0x0002, seek.flags);
  EXPECT_EQ(0x0002, seek.local_flags);
  ZipEntryRecord pipe = deflated;
  FinishFlags(pipe, false);
  EXPECT_EQ(0x0008, pipe.flags);
  EXPECT_EQ(0x0008, pipe.local_flags);
  ZipEntryRecord stored;
  FinishFlags(stored, true);
  EXPECT_EQ(0, stored.flags);
}

TEST(ZipFormat, ResultTexts) {
  EXPECT_STREQ("Success", ZipResultText(ZR_OK));
  EXPECT_STREQ("Culdn't duplicate handle", ZipResultText(0x100));
  EXPECT_STREQ("Caller: faulty arguments", ZipResultText(0x10000));
  EXPECT_STREQ("Zip-bug: the anticipated size turned out wrong", ZipResultText(0x60000));
  EXPECT_STREQ("Zip-bug: an internal error during flation", ZipResultText(0x5000000));
  EXPECT_STREQ("Zipfile is corrupt or not a zipfile", ZipResultText(ZR_CORRUPT));
  EXPECT_STREQ("unknown zip result code", ZipResultText(0x12345));
}

TEST(ZipTimes, CalendarConversions) {
  CivilTime t{2024, 2, 29, 10, 15, 31};
  uint64_t ft = CivilToFileTime(t);
  CivilTime back = FileTimeToCivil(ft);
  EXPECT_EQ(2024, back.year);
  EXPECT_EQ(2, back.month);
  EXPECT_EQ(29, back.day);
  EXPECT_EQ(31, back.second);
  EXPECT_EQ(116444736000000000ULL, CivilToFileTime(CivilTime{1970, 1, 1, 0, 0, 0}));
  EXPECT_EQ(0ULL, CivilToFileTime(CivilTime{1601, 1, 1, 0, 0, 0}));
}

TEST(ZipTimes, DosTimeHalvesSecondsAndClampsItsRange) {
  uint32_t dos = DosDateTime(CivilTime{2024, 3, 5, 10, 15, 31});
  EXPECT_EQ(uint32_t((44 << 9) | (3 << 5) | 5), dos >> 16);
  EXPECT_EQ(uint32_t((10 << 11) | (15 << 5) | 15), dos & 0xFFFF);  // 10:15:30
  EXPECT_EQ(0x00210000u, DosDateTime(CivilTime{1965, 6, 1, 8, 0, 0}));
  EXPECT_EQ(uint32_t((127 << 9) | (12 << 5) | 31) << 16 | ((23 << 11) | (59 << 5) | 29),
            DosDateTime(CivilTime{2200, 1, 1, 0, 0, 0}));
}

TEST(ZipTimes, VariantUUsesUtcFieldsAndPlainUnixSeconds) {
  uint64_t ft = CivilToFileTime(CivilTime{2024, 3, 5, 10, 15, 31});
  EntryTimes e = TimesFromUtcFileTimes(ft, ft + 20000000, ft - 10000000);
  EXPECT_EQ(1709633731u, e.mtime);
  EXPECT_EQ(1709633733u, e.atime);
  EXPECT_EQ(1709633730u, e.ctime);
  EXPECT_EQ(uint32_t((10 << 11) | (15 << 5) | 15), e.dos & 0xFFFF);
  // Before 1970 the signed field goes negative rather than being clamped.
  EXPECT_EQ(uint32_t(-86400), UnixTimeFromFileTime(CivilToFileTime(CivilTime{1969, 12, 31, 0, 0, 0})));
  EXPECT_EQ(uint32_t(-1), UnixTimeFromFileTime(116444736000000000ull - 10000001));  // toward zero
  // FILETIMEs at and above 2^63 once overflowed a signed subtraction (found by zip_entry_fuzz).
  EXPECT_EQ(uint32_t((UINT64_MAX - 116444736000000000ull) / 10000000), UnixTimeFromFileTime(UINT64_MAX));
}

class ZipLocalTimes : public ::testing::Test {
 protected:
  void SetUp() override { SetZone("UTC0"); }
  void TearDown() override {
    if (saved_.empty()) {
      unsetenv("TZ");
    } else {
      setenv("TZ", saved_.c_str(), 1);
    }
    tzset();
  }
  void SetZone(const char* tz) {
    const char* old = getenv("TZ");
    if (!saved_set_) saved_ = old ? old : "", saved_set_ = true;
    setenv("TZ", tz, 1);
    tzset();
  }
  std::string saved_;
  bool saved_set_ = false;
};

TEST_F(ZipLocalTimes, VariantDConvertsLocalFieldsWithClamping) {
  uint64_t ft = CivilToFileTime(CivilTime{2024, 3, 5, 10, 15, 31});
  EntryTimes e = TimesFromLocalFileTimes(ft, ft, ft);
  EXPECT_EQ(1709633731u, e.mtime);
  EXPECT_EQ(uint32_t((10 << 11) | (15 << 5) | 15), e.dos & 0xFFFF);
  // 1965 becomes 1970-01-01 at the same time of day; after 2037 the last day of 2037.
  EXPECT_EQ(uint32_t(10 * 3600 + 15 * 60 + 31), UnixTimeFromLocal(CivilTime{1965, 7, 14, 10, 15, 31}));
  EXPECT_EQ(2145916800u - 86400u + 3600u, UnixTimeFromLocal(CivilTime{2050, 6, 1, 1, 0, 0}));
  // Local means the zone of the process: three hours east of Greenwich is three hours earlier in UTC.
  SetZone("XYZ-3");
  EXPECT_EQ(1709633731u - 3 * 3600, UnixTimeFromLocal(CivilTime{2024, 3, 5, 10, 15, 31}));
  EXPECT_EQ(0u, UnixTimeFromLocal(CivilTime{1960, 1, 1, 1, 0, 0}));  // before the epoch in UTC
  // West of Greenwich the same fields are later in UTC.
  SetZone("PST8");
  EXPECT_EQ(1709633731u + 8 * 3600, UnixTimeFromLocal(CivilTime{2024, 3, 5, 10, 15, 31}));
}

TEST_F(ZipLocalTimes, ShiftNearEitherEndOfTheRangeClamps) {
  const int64_t fiveHours = 5 * 3600 * 10000000LL;
  // FILETIME 0 five hours west of UTC once wrapped to the year 60056 and was stored as 2107-12-31.
  EXPECT_EQ(0u, UtcToLocalFileTime(0, fiveHours));
  EXPECT_EQ(0u, UtcToLocalFileTime(uint64_t(fiveHours) - 1, fiveHours));
  EXPECT_EQ(1u, UtcToLocalFileTime(uint64_t(fiveHours) + 1, fiveHours));
  EXPECT_EQ(uint64_t(fiveHours), UtcToLocalFileTime(0, -fiveHours));
  EXPECT_EQ(UINT64_MAX, UtcToLocalFileTime(UINT64_MAX - 5, -fiveHours));
  EXPECT_EQ(UINT64_MAX, UtcToLocalFileTime(UINT64_MAX, INT64_MIN));
  SetZone("EST5");
  EntryTimes e = TimesFromLocalFileTimes(UtcToLocalFileTime(0, fiveHours), 0, 0);
  EXPECT_EQ(DosDateTime(CivilTime{1980, 1, 1, 0, 0, 0}), e.dos);  // the earliest DOS date, not 2107
  EXPECT_EQ(5u * 3600, e.mtime);                                  // 1970-01-01 00:00 local, 05:00 UTC
}

}  // namespace
}  // namespace zip
