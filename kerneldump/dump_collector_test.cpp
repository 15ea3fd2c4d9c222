#include "kerneldump/dump_collector.h"

#include <gtest/gtest.h>

#include <functional>
#include <limits>
#include <sstream>

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

// Records what the run changes and asks for, in order, as words: "enabled=N" (CrashDumpEnabled
// written), "list=DIR", "report=PATH", "unreadable=[TEXT]", "passed=T", "last=T" and "closed" (the
// uninstall key). Reports end Delivered unless `results` says otherwise, one result per report.
class FakePlatform : public DumpPlatform {
 public:
  FileTime floor = 0;
  bool crashControlOpens = true, uninstallOpens = true, expandFits = true, pathIsFile = false;
  bool haveEnabled = false;
  uint32_t enabled = 0;
  std::wstring minidumpDir = L"C:\\Dumps", lastDmpTime, unreadableDmp;
  FileTime now = 5000;
  std::vector<FolderEntry> entries;
  std::vector<ReportOutcome> results;
  std::wstring trace;

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
  void WriteCrashDumpEnabled(uint32_t value) override { Note(L"enabled=" + std::to_wstring(value)); }
  void CloseCrashControl() override {}
  bool OpenUninstallKey() override { return uninstallOpens; }
  std::wstring ReadLastDmpTime() override { return lastDmpTime; }
  void WriteLastDmpTime(const std::wstring& text) override { Note(L"last=" + text); }
  void WritePassedOverDmpTime(const std::wstring& text) override { Note(L"passed=" + text); }
  std::wstring ReadUnreadableDmp() override { return unreadableDmp; }
  void WriteUnreadableDmp(const std::wstring& text) override {
    unreadableDmp = text;
    Note(L"unreadable=[" + text + L"]");
  }
  FileTime Now() override { return now; }
  void CloseUninstallKey() override { Note(L"closed"); }
  bool IsExistingFilePath(const std::wstring&) override { return pathIsFile; }
  std::vector<FolderEntry> ListFolder(const std::wstring& dir) override {
    Note(L"list=" + dir);
    return entries;
  }
  ReportOutcome ReportDumpFile(const std::wstring& path) override {
    Note(L"report=" + path);
    return reports_ < results.size() ? results[reports_++] : ReportOutcome::Delivered;
  }

  // A new run on what the last one stored: a fresh trace and count of reports.
  void NextRun() {
    trace.clear();
    reports_ = 0;
  }

 private:
  void Note(const std::wstring& word) { trace += trace.empty() ? word : L" " + word; }
  size_t reports_ = 0;
};

// The words of a trace that start with `prefix`.
std::vector<std::wstring> Words(const std::wstring& trace, const std::wstring& prefix) {
  std::vector<std::wstring> found;
  std::wistringstream words(trace);
  std::wstring word;
  while (words >> word)
    if (word.compare(0, prefix.size(), prefix) == 0) found.push_back(word);
  return found;
}

const ReportOutcome kDelivered = ReportOutcome::Delivered, kRetryLater = ReportOutcome::RetryLater;
ReportOutcome Unknown(int value) { return static_cast<ReportOutcome>(value); }

typedef std::function<void(FakePlatform&)> Setup;
Setup Enabled(uint32_t value) {
  return [value](FakePlatform& p) {
    p.haveEnabled = true;
    p.enabled = value;
  };
}
Setup TwoDumpsFirstEnding(ReportOutcome result) {
  return [result](FakePlatform& p) {
    p.entries = {{L"a.dmp", 0, 10}, {L"b.dmp", 0, 20}};
    p.results = {result};
  };
}

// One dump, "a.dmp" of time 10, and what `change` makes different.
Setup OneDumpAnd(void (*change)(FakePlatform&)) {
  return [change](FakePlatform& p) {
    p.entries = {{L"a.dmp", 0, 10}};
    change(p);
  };
}

struct RunCase {
  const char* what;
  Setup setup;
  const wchar_t* trace;
};

const RunCase kRuns[] = {
    {"oldest first, each success recorded, CrashDumpEnabled left alone",
     [](FakePlatform& p) {
       p.haveEnabled = true;
       p.enabled = 3;
       p.entries = {{L"c.dmp", 0, 30}, {L"a.dmp", 0, 10}, {L"b.dmp", 0, 20}};
     },
     LR"(list=C:\Dumps report=C:\Dumps\a.dmp last=10 report=C:\Dumps\b.dmp last=20 report=C:\Dumps\c.dmp last=30 closed)"},
    {"a failed report holds back the rest",
     [](FakePlatform& p) {
       p.entries = {{L"a.dmp", 0, 10}, {L"b.dmp", 0, 20}, {L"c.dmp", 0, 30}};
       p.results = {kDelivered, kRetryLater, kDelivered};
     },
     LR"(enabled=3 list=C:\Dumps report=C:\Dumps\a.dmp last=10 report=C:\Dumps\b.dmp closed)"},
    // Unknown results hold back the rest like a retry.
    {"result -1", TwoDumpsFirstEnding(Unknown(-1)),
     LR"(enabled=3 list=C:\Dumps report=C:\Dumps\a.dmp closed)"},
    {"result 4", TwoDumpsFirstEnding(Unknown(4)), LR"(enabled=3 list=C:\Dumps report=C:\Dumps\a.dmp closed)"},
    {"result 0x7FFFFFFF", TwoDumpsFirstEnding(Unknown(0x7FFFFFFF)),
     LR"(enabled=3 list=C:\Dumps report=C:\Dumps\a.dmp closed)"},
    {"only dumps newer than the floor and LastDmpTime",
     [](FakePlatform& p) {
       p.floor = 15;
       p.lastDmpTime = L"20";
       p.entries = {{L"old.dmp", 0, 15}, {L"same.dmp", 0, 20}, {L"new.dmp", 0, 21}};
     },
     LR"(enabled=3 list=C:\Dumps report=C:\Dumps\new.dmp last=21 closed)"},
    // CrashDumpEnabled is repaired only when it is 0 or absent.
    {"CrashDumpEnabled 0", Enabled(0), LR"(enabled=3 list=C:\Dumps closed)"},
    {"CrashDumpEnabled 1", Enabled(1), LR"(list=C:\Dumps closed)"},
    {"CrashDumpEnabled 2", Enabled(2), LR"(list=C:\Dumps closed)"},
    {"CrashDumpEnabled 7", Enabled(7), LR"(list=C:\Dumps closed)"},
    // The repair happens before the uninstall key is needed.
    {"CrashDumpEnabled absent, no uninstall key", [](FakePlatform& p) { p.uninstallOpens = false; },
     L"enabled=3"},
    {"no CrashControl key means nothing at all",
     OneDumpAnd([](FakePlatform& p) { p.crashControlOpens = false; }), L""},
    {"no folder setting searches Windows' default, not the drive root",
     OneDumpAnd([](FakePlatform& p) { p.minidumpDir = L""; }),
     LR"(enabled=3 list=C:\windows\Minidump report=C:\windows\Minidump\a.dmp last=10 closed)"},
    {"a folder that expands to nothing is not searched", [](FakePlatform& p) { p.minidumpDir = L"%EMPTY%"; },
     L"enabled=3 closed"},
    {"a folder that overflows its expansion is not searched", [](FakePlatform& p) { p.expandFits = false; },
     L"enabled=3 closed"},
    {"a file named as the folder is not searched", OneDumpAnd([](FakePlatform& p) { p.pathIsFile = true; }),
     L"enabled=3 closed"},
};

TEST(RunDumpCollection, WhatEachRunReportsAndRecords) {
  for (const RunCase& c : kRuns) {
    SCOPED_TRACE(c.what);
    FakePlatform p;
    c.setup(p);
    RunDumpCollection(p);
    EXPECT_EQ(p.trace, c.trace);
  }
}

// Hundreds of dumps behind one that can never be sent all go out, oldest first, and the one given up
// is recorded apart; behind one that may still go out (locked, server down) every one of them waits.
TEST(RunDumpCollection, AnUnsendableDumpDoesNotHoldBackHundredsBehindIt) {
  FakePlatform p;
  p.entries.push_back({L"huge.dmp", 0, 1000});
  for (FileTime t = 1001; t <= 1400; ++t) p.entries.push_back({L"m" + std::to_wstring(t) + L".dmp", 0, t});
  p.results = {ReportOutcome::PassedOver};
  RunDumpCollection(p);
  const std::vector<std::wstring> reported = Words(p.trace, L"report="), written = Words(p.trace, L"last=");
  ASSERT_EQ(reported.size(), 401u);
  EXPECT_EQ(reported.front(), L"report=C:\\Dumps\\huge.dmp");
  EXPECT_EQ(reported.back(), L"report=C:\\Dumps\\m1400.dmp");
  EXPECT_EQ(Words(p.trace, L"passed="), std::vector<std::wstring>{L"passed=1000"});
  EXPECT_EQ(written.size(), 401u);
  EXPECT_EQ(written.back(), L"last=1400");

  FakePlatform locked;
  locked.entries = p.entries;
  locked.results = {kRetryLater};
  RunDumpCollection(locked);
  EXPECT_EQ(locked.trace, LR"(enabled=3 list=C:\Dumps report=C:\Dumps\huge.dmp closed)");
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
    p.results = {ReportOutcome::Unreadable};
    p.NextRun();
    RunDumpCollection(p);
    const std::wstring start = LR"(enabled=3 list=C:\Dumps report=C:\Dumps\denied.dmp )";
    EXPECT_EQ(
        p.trace,
        start + (r.passedOver ? LR"(unreadable=[] passed=10 last=10 report=C:\Dumps\next.dmp last=20 closed)"
                              : L"unreadable=[" + std::wstring(r.storedAfter) + L"] closed"));
    EXPECT_EQ(p.unreadableDmp, r.storedAfter);
  }
}

TEST(UnreadableDump, OnlyAWholeRecordIsRead) {
  for (const wchar_t* text : {L"", L"1 2", L"1 2 3 4", L"1  2 3", L" 1 2 3", L"1 2 3 ", L"1 2 6", L"-1 2 3",
                              L"99999999999999999999 2 3"})
    EXPECT_EQ(ParseUnreadableDump(text).runs, 0u) << text;
  const UnreadableDump r = ParseUnreadableDump(L"18446744073709551615 132537600000000000 5");
  EXPECT_EQ(r.dump, 18446744073709551615ull);
  EXPECT_EQ(r.since, 132537600000000000ull);
  EXPECT_EQ(r.runs, 5u);
  EXPECT_EQ(FormatUnreadableDump(r), L"18446744073709551615 132537600000000000 5");
}

}  // namespace
}  // namespace kerneldump
