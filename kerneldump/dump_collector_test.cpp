#include "kerneldump/dump_collector.h"

#include <gtest/gtest.h>

#include <limits>

namespace kerneldump {
namespace {

TEST(ParseLastDmpTime, FollowsTheWideStringConversion) {
  EXPECT_EQ(ParseLastDmpTime(L""), 0);
  EXPECT_EQ(ParseLastDmpTime(L"abc"), 0);
  EXPECT_EQ(ParseLastDmpTime(L"  \t42xyz"), 42);
  EXPECT_EQ(ParseLastDmpTime(L"+7"), 7);
  EXPECT_EQ(ParseLastDmpTime(L"-"), 0);
  EXPECT_EQ(ParseLastDmpTime(L"-15"), -15);
  EXPECT_EQ(ParseLastDmpTime(L"132537600000000000"), 132537600000000000LL);
  EXPECT_EQ(ParseLastDmpTime(L"9223372036854775807"), std::numeric_limits<int64_t>::max());
  EXPECT_EQ(ParseLastDmpTime(L"9223372036854775808"), std::numeric_limits<int64_t>::max());
  EXPECT_EQ(ParseLastDmpTime(L"99999999999999999999999"), std::numeric_limits<int64_t>::max());
  EXPECT_EQ(ParseLastDmpTime(L"-9223372036854775808"), std::numeric_limits<int64_t>::min());
  EXPECT_EQ(ParseLastDmpTime(L"-99999999999999999999999"), std::numeric_limits<int64_t>::min());
}

TEST(FormatLastDmpTime, RoundTripsThroughTheParser) {
  EXPECT_EQ(FormatLastDmpTime(0), L"0");
  EXPECT_EQ(FormatLastDmpTime(132537600000000001ULL), L"132537600000000001");
  EXPECT_EQ(ParseLastDmpTime(FormatLastDmpTime(132537600000000001ULL)), 132537600000000001LL);
}

TEST(AddCandidates, TakesOnlyFilesStrictlyNewerThanFloorAndLast) {
  CandidateDumpMap map;
  std::vector<FolderEntry> entries = {
      {L".", kFolderAttribute, 900}, {L"..", kFolderAttribute, 900}, {L"sub", kFolderAttribute, 900},
      {L"floor.dmp", 0, 100},        {L"last.dmp", 0, 200},          {L"next.dmp", 0, 201},
      {L"readonly.dmp", 0x1, 300},   {L"any.txt", 0x20, 250},
  };
  AddCandidates(map, L"C:\\Windows\\Minidump", entries, 100, 200);
  ASSERT_EQ(map.size(), 3u);
  auto it = map.begin();
  EXPECT_EQ(it->first, 201u);
  EXPECT_EQ(it->second, L"C:\\Windows\\Minidump\\next.dmp");
  EXPECT_EQ((++it)->second, L"C:\\Windows\\Minidump\\any.txt");
  EXPECT_EQ((++it)->second, L"C:\\Windows\\Minidump\\readonly.dmp");
}

TEST(AddCandidates, SameTimeKeepsTheLaterEnumerated) {
  CandidateDumpMap map;
  AddCandidates(map, L"D", {{L"a.dmp", 0, 5}, {L"b.dmp", 0, 5}}, 0, 0);
  ASSERT_EQ(map.size(), 1u);
  EXPECT_EQ(map.at(5), L"D\\b.dmp");
}

TEST(AddCandidates, ComparesUnsigned) {
  // A negative "LastDmpTime" reads as a huge unsigned time and holds every dump back.
  CandidateDumpMap map;
  AddCandidates(map, L"D", {{L"a.dmp", 0, 0x7000000000000000ULL}}, 0, FileTime(ParseLastDmpTime(L"-1")));
  EXPECT_TRUE(map.empty());
}

TEST(MinidumpDirOrDefault, NeverLeavesTheFolderEmpty) {
  EXPECT_EQ(MinidumpDirOrDefault(L""), L"%SystemRoot%\\Minidump");
  EXPECT_EQ(MinidumpDirOrDefault(L"D:\\Dumps"), L"D:\\Dumps");
}

TEST(HasRootedPathForm, DriveOrUncOnly) {
  EXPECT_TRUE(HasRootedPathForm(L"C:\\Windows\\Minidump"));
  EXPECT_TRUE(HasRootedPathForm(L"\\\\server\\share\\x"));
  EXPECT_FALSE(HasRootedPathForm(L"Minidump"));
  EXPECT_FALSE(HasRootedPathForm(L"\\Windows"));
  EXPECT_FALSE(HasRootedPathForm(L"C:relative"));
}

// Records what the run does to registry and uploads.
class FakePlatform : public DumpPlatform {
 public:
  FileTime floor = 0;
  bool crashControlOpens = true, uninstallOpens = true, expandFits = true, pathIsFile = false;
  bool haveEnabled = false;
  uint32_t enabled = 0;
  std::wstring minidumpDir = L"C:\\Dumps", lastDmpTime, unreadableDmp;
  FileTime now = 5000;
  std::vector<FolderEntry> entries;
  std::vector<int> results;  // per report; 1 when missing
  std::vector<std::wstring> reported, writtenTimes, passedOver, listed;
  std::vector<uint32_t> enabledWrites;
  int uninstallCloses = 0;

  FileTime LogFolderCreationTime() override { return floor; }
  bool OpenCrashControl() override { return crashControlOpens; }
  std::wstring ReadMinidumpDir() override { return minidumpDir; }
  bool ExpandEnvironment(const std::wstring& text, std::wstring& expanded) override {
    expanded = text == L"%SystemRoot%\\Minidump" ? L"C:\\windows\\Minidump" : text == L"%EMPTY%" ? L"" : text;
    return expandFits;
  }
  void ReadCrashDumpEnabled(uint32_t& value) override {
    if (haveEnabled) value = enabled;
  }
  void WriteCrashDumpEnabled(uint32_t value) override { enabledWrites.push_back(value); }
  void CloseCrashControl() override {}
  bool OpenUninstallKey() override { return uninstallOpens; }
  std::wstring ReadLastDmpTime() override { return lastDmpTime; }
  void WriteLastDmpTime(const std::wstring& text) override { writtenTimes.push_back(text); }
  void WritePassedOverDmpTime(const std::wstring& text) override { passedOver.push_back(text); }
  std::wstring ReadUnreadableDmp() override { return unreadableDmp; }
  void WriteUnreadableDmp(const std::wstring& text) override { unreadableDmp = text; }
  FileTime Now() override { return now; }
  void CloseUninstallKey() override { ++uninstallCloses; }
  bool IsExistingFilePath(const std::wstring&) override { return pathIsFile; }
  std::vector<FolderEntry> ListFolder(const std::wstring& dir) override {
    listed.push_back(dir);
    return entries;
  }
  int ReportDumpFile(const std::wstring& path) override {
    size_t n = reported.size();
    reported.push_back(path);
    return n < results.size() ? results[n] : 1;
  }
};

TEST(RunDumpCollection, ReportsOldestFirstAndRecordsEachSuccess) {
  FakePlatform p;
  p.haveEnabled = true;
  p.enabled = 3;
  p.entries = {{L"c.dmp", 0, 30}, {L"a.dmp", 0, 10}, {L"b.dmp", 0, 20}};
  RunDumpCollection(p);
  EXPECT_EQ(p.reported,
            (std::vector<std::wstring>{L"C:\\Dumps\\a.dmp", L"C:\\Dumps\\b.dmp", L"C:\\Dumps\\c.dmp"}));
  EXPECT_EQ(p.writtenTimes, (std::vector<std::wstring>{L"10", L"20", L"30"}));
  EXPECT_TRUE(p.enabledWrites.empty());
  EXPECT_EQ(p.uninstallCloses, 1);
}

TEST(RunDumpCollection, AFailedReportHoldsBackTheRest) {
  FakePlatform p;
  p.entries = {{L"a.dmp", 0, 10}, {L"b.dmp", 0, 20}, {L"c.dmp", 0, 30}};
  p.results = {1, 0, 1};
  RunDumpCollection(p);
  EXPECT_EQ(p.reported.size(), 2u);
  EXPECT_EQ(p.writtenTimes, (std::vector<std::wstring>{L"10"}));
}

TEST(RunDumpCollection, UnknownResultsHoldBackTheRest) {
  for (int result : {-1, 4, 0x7FFFFFFF}) {
    FakePlatform p;
    p.entries = {{L"a.dmp", 0, 10}, {L"b.dmp", 0, 20}};
    p.results = {result};
    RunDumpCollection(p);
    EXPECT_EQ(p.reported.size(), 1u);
    EXPECT_TRUE(p.writtenTimes.empty());
  }
}

// Hundreds of dumps behind one that can never be sent all go out, oldest first, and the one given up
// is recorded apart; behind one that may still go out (locked, server down) every one of them waits.
TEST(RunDumpCollection, AnUnsendableDumpDoesNotHoldBackHundredsBehindIt) {
  FakePlatform p;
  p.entries.push_back({L"huge.dmp", 0, 1000});
  for (FileTime t = 1001; t <= 1400; ++t) p.entries.push_back({L"m" + std::to_wstring(t) + L".dmp", 0, t});
  p.results = {kReportPassedOver};
  RunDumpCollection(p);
  ASSERT_EQ(p.reported.size(), 401u);
  EXPECT_EQ(p.reported.front(), L"C:\\Dumps\\huge.dmp");
  EXPECT_EQ(p.reported.back(), L"C:\\Dumps\\m1400.dmp");
  EXPECT_EQ(p.passedOver, std::vector<std::wstring>{L"1000"});
  EXPECT_EQ(p.writtenTimes.size(), 401u);
  EXPECT_EQ(p.writtenTimes.back(), L"1400");

  FakePlatform locked;
  locked.entries = p.entries;
  locked.results = {kReportRetryLater};
  RunDumpCollection(locked);
  EXPECT_EQ(locked.reported.size(), 1u);
  EXPECT_TRUE(locked.writtenTimes.empty());
  EXPECT_TRUE(locked.passedOver.empty());
}

// A dump that can't be opened holds the newer ones back for a few runs or days, not for ever: then it
// is passed over like an unsendable one. Each row is one run on the state the previous runs left.
TEST(RunDumpCollection, AnUnreadableDumpHoldsTheWalkForBoundedRunsOrDays) {
  const FileTime day = 24ull * 3600 * 10000000;
  struct Run {
    FileTime now;
    const wchar_t* storedBefore;  // null: whatever the previous run left
    bool passedOver;
    const wchar_t* storedAfter;
  } runs[] = {
      {5000, L"", false, L"10 5000 1"},
      {6000, nullptr, false, L"10 5000 2"},
      {7000, nullptr, false, L"10 5000 3"},
      {8000, nullptr, false, L"10 5000 4"},
      {9000, nullptr, true, L""},                          // the fifth run gives it up
      {3 * day, L"10 1 1", false, L"10 1 2"},              // not quite three days since it was found
      {3 * day + 1, L"10 1 1", true, L""},                 // three days: given up on its second run
      {3 * day, L"99 1 4", false, L"10 2592000000000 1"},  // a record of another dump starts afresh
      {1, L"10 5000 1", false, L"10 5000 2"},              // a clock set back counts no time
      {5000, L"10 5000 x", false, L"10 5000 1"},           // a broken record starts afresh
  };
  FakePlatform p;
  for (const Run& r : runs) {
    SCOPED_TRACE(::testing::Message() << r.now << " " << (r.storedBefore ? "given" : "kept"));
    p.now = r.now;
    if (r.storedBefore) p.unreadableDmp = r.storedBefore;
    p.entries = {{L"denied.dmp", 0, 10}, {L"next.dmp", 0, 20}};
    p.results = {kReportUnreadable};
    p.reported.clear();
    p.writtenTimes.clear();
    p.passedOver.clear();
    RunDumpCollection(p);
    EXPECT_EQ(p.reported.size(), r.passedOver ? 2u : 1u);
    EXPECT_EQ(p.passedOver, r.passedOver ? std::vector<std::wstring>{L"10"} : std::vector<std::wstring>{});
    EXPECT_EQ(p.writtenTimes,
              r.passedOver ? (std::vector<std::wstring>{L"10", L"20"}) : std::vector<std::wstring>{});
    EXPECT_EQ(p.unreadableDmp, r.storedAfter);
  }
}

TEST(UnreadableDump, OnlyAWholeRecordIsRead) {
  for (const wchar_t* text :
       {L"1 2", L"1 2 3 4", L"1  2 3", L"1 2 6", L"-1 2 3", L"99999999999999999999 2 3"})
    EXPECT_EQ(ParseUnreadableDump(text).runs, 0u) << text;
  EXPECT_EQ(FormatUnreadableDump(ParseUnreadableDump(L"18446744073709551615 7 5")),
            L"18446744073709551615 7 5");
}

TEST(RunDumpCollection, RespectsFloorAndLastDmpTime) {
  FakePlatform p;
  p.floor = 15;
  p.lastDmpTime = L"20";
  p.entries = {{L"old.dmp", 0, 15}, {L"same.dmp", 0, 20}, {L"new.dmp", 0, 21}};
  RunDumpCollection(p);
  EXPECT_EQ(p.reported, (std::vector<std::wstring>{L"C:\\Dumps\\new.dmp"}));
}

TEST(RunDumpCollection, RepairsCrashDumpEnabledOnlyWhenZeroOrAbsent) {
  for (uint32_t value : {0u, 1u, 2u, 3u, 7u}) {
    FakePlatform p;
    p.haveEnabled = true;
    p.enabled = value;
    RunDumpCollection(p);
    EXPECT_EQ(p.enabledWrites, value == 0 ? std::vector<uint32_t>{3} : std::vector<uint32_t>{}) << value;
  }
  FakePlatform absent;
  absent.uninstallOpens = false;  // the repair happens before the uninstall key is needed
  RunDumpCollection(absent);
  EXPECT_EQ(absent.enabledWrites, std::vector<uint32_t>{3});
  EXPECT_TRUE(absent.listed.empty());
}

TEST(RunDumpCollection, NoCrashControlKeyMeansNothingAtAll) {
  FakePlatform p;
  p.crashControlOpens = false;
  p.entries = {{L"a.dmp", 0, 10}};
  RunDumpCollection(p);
  EXPECT_TRUE(p.enabledWrites.empty());
  EXPECT_TRUE(p.reported.empty());
}

TEST(RunDumpCollection, MissingFolderSettingSearchesWindowsDefaultNotTheDriveRoot) {
  FakePlatform p;
  p.minidumpDir = L"";
  p.entries = {{L"a.dmp", 0, 10}};
  RunDumpCollection(p);
  EXPECT_EQ(p.listed, std::vector<std::wstring>{L"C:\\windows\\Minidump"});
  EXPECT_EQ(p.reported, std::vector<std::wstring>{L"C:\\windows\\Minidump\\a.dmp"});
}

TEST(RunDumpCollection, FolderThatExpandsToNothingOrOverflowsIsNotSearched) {
  FakePlatform empty;
  empty.minidumpDir = L"%EMPTY%";
  RunDumpCollection(empty);
  EXPECT_TRUE(empty.listed.empty());
  FakePlatform overflow;
  overflow.expandFits = false;
  RunDumpCollection(overflow);
  EXPECT_TRUE(overflow.listed.empty());
  EXPECT_EQ(overflow.uninstallCloses, 1);
}

TEST(RunDumpCollection, AFileNamedAsTheFolderIsNotSearched) {
  FakePlatform p;
  p.pathIsFile = true;
  p.entries = {{L"a.dmp", 0, 10}};
  RunDumpCollection(p);
  EXPECT_TRUE(p.listed.empty());
  EXPECT_TRUE(p.reported.empty());
}

}  // namespace
}  // namespace kerneldump
