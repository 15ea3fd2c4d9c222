// Ulvane's upload order over a fake platform: each way one crash can end and the mark it leaves,
// and the choice and order of the pending crashes.
#include "uploader/upload_run.h"

#include <gtest/gtest.h>

#include <map>

namespace ulvane {
namespace {

const std::wstring kId = L"0123456789abcdef0123456789abcdef";
const uint64_t kMinute = 60ull * 10000000;

// Files, marks and the server's answers as a table; the posts are counted.
class FakeUpload : public UploadPlatform {
 public:
  std::map<std::wstring, uint64_t> files;                          // path -> last-write time
  std::map<std::wstring, std::map<std::wstring, uint32_t>> marks;  // version -> name -> value
  PostResult info{false, true, true}, archive{false, true, false};
  uint64_t archiveSize = 1000, now = 1000000 * kMinute;
  bool busy = false;
  int stopAfterPosts = -1;  // the session ends once this many posts have gone
  std::vector<std::wstring> infoPosts, archivePosts;
  int held = 0;

  bool StopRequested() override { return stopAfterPosts >= 0 && Posts() >= stopAfterPosts; }
  bool HoldCrash(const std::wstring&) override { return !busy && ++held; }
  void ReleaseCrash() override { --held; }
  std::wstring MachineGuid() override { return L"guid"; }
  PostResult PostInformation(const CrashArgs& args, const std::wstring&) override {
    infoPosts.push_back(args.dumpFileName + L"|" + args.productVersion + L"|" + args.application);
    return Post(info);
  }
  void BuildArchive(const std::wstring& a, const std::wstring&, const std::wstring&) override {
    files[a] = now;
  }
  bool ArchiveSize(const std::wstring& a, uint64_t& size) override {
    size = archiveSize;
    return files.count(a) != 0;
  }
  PostResult PostArchive(const std::wstring& a) override {
    archivePosts.push_back(a);
    return Post(archive);
  }
  bool FileExists(const std::wstring& p) override { return files.count(p) != 0; }
  bool ReadMark(const std::wstring& v, const std::wstring& n, uint32_t& value) override {
    if (!marks[v].count(n)) return false;
    value = marks[v][n];
    return true;
  }
  void SetMarkDelivering(const std::wstring& v, const std::wstring& n) override {
    if (marks[v].count(n)) marks[v][n] = 1;
  }
  void RemoveMark(const std::wstring& v, const std::wstring& n) override { marks[v].erase(n); }
  std::vector<MarkEntry> ListMarks() override {
    std::vector<MarkEntry> list;
    for (const auto& v : marks)
      for (const auto& n : v.second) list.push_back({v.first, n.first});
    return list;
  }
  bool ReadReport(const std::wstring& p, std::wstring& text) override {
    if (!files.count(p)) return false;
    text =
        L"\xFEFFVemko Dump\r\nProgram Name:Orv   Program Version:x\r\nAppName:Orv.exe   Windows Version:W\r\n"
        L"Module:M.dll   Data:1\r\nEmail:\r\nHashCode:" +
        kId + L"\r\n";
    return true;
  }
  bool FileTime(const std::wstring& p, uint64_t& t) override {
    if (!files.count(p)) return false;
    t = files[p];
    return true;
  }
  uint64_t Now() override { return now; }

  // A crash of Kelvor's: dump, report and mark 0, the report written `minutesAgo`.
  void AddCrash(const std::wstring& name, uint64_t minutesAgo, const std::wstring& version = L"1.0") {
    const std::wstring path = DumpPathFor(L"C:\\D\\", name);
    files[path] = files[ReportPathFor(path)] = now - minutesAgo * kMinute;
    marks[version][name] = 0;
  }
  // The mark's value, -1 when it is gone.
  long Mark(const std::wstring& name, const std::wstring& version = L"1.0") {
    return marks[version].count(name) ? long(marks[version][name]) : -1;
  }

 private:
  int Posts() const { return int(infoPosts.size() + archivePosts.size()); }
  PostResult Post(PostResult r) {
    if (StopRequested()) r = PostResult{true, r.accepted, r.wantsArchive};
    return r;
  }
};

CrashArgs Args(const std::wstring& name = L"a.dmp") {
  CrashArgs a;
  a.dumpFileName = name;
  a.productVersion = L"1.0";
  a.module = L"M.dll";
  a.reportId = kId;
  return a;
}

// One crash, every way it can end: outcome, mark left, posts made.
TEST(UploadCrash, EachOutcomeAndTheMarkItLeaves) {
  struct Row {
    const char* what;
    void (*set)(FakeUpload&);
    UploadOutcome outcome;
    long mark;
    size_t archivePosts;
  } rows[] = {
      {"delivered", [](FakeUpload&) {}, UploadOutcome::kDelivered, -1, 1},
      {"declined", [](FakeUpload& f) { f.info.wantsArchive = false; }, UploadOutcome::kDeclined, -1, 0},
      {"info post failed", [](FakeUpload& f) { f.info.accepted = false; }, UploadOutcome::kInfoFailed, 0, 0},
      {"stopped in the info post", [](FakeUpload& f) { f.stopAfterPosts = 1; }, UploadOutcome::kStopped, 0,
       0},
      {"stopped in the archive post", [](FakeUpload& f) { f.stopAfterPosts = 2; }, UploadOutcome::kStopped, 1,
       1},
      {"no files", [](FakeUpload& f) { f.files.clear(); }, UploadOutcome::kNoFiles, 1, 0},
      {"archive at the limit", [](FakeUpload& f) { f.archiveSize = kArchiveLimitBytes; },
       UploadOutcome::kArchiveNotSent, 1, 0},
      {"archive one below", [](FakeUpload& f) { f.archiveSize = kArchiveLimitBytes - 1; },
       UploadOutcome::kDelivered, -1, 1},
      {"archive post failed", [](FakeUpload& f) { f.archive.accepted = false; },
       UploadOutcome::kArchiveFailed, 1, 1},
      {"held by another Ulvane", [](FakeUpload& f) { f.busy = true; }, UploadOutcome::kBusy, 0, 0},
  };
  for (const Row& row : rows) {
    FakeUpload f;
    f.AddCrash(L"a.dmp", 0);
    row.set(f);
    EXPECT_EQ(UploadCrash(f, Args(), DumpPathFor(L"C:\\D\\", L"a.dmp"), false), row.outcome) << row.what;
    EXPECT_EQ(f.Mark(L"a.dmp"), row.mark) << row.what;
    EXPECT_EQ(f.archivePosts.size(), row.archivePosts) << row.what;
    EXPECT_EQ(f.held, 0) << row.what;
  }
}

TEST(DeliverPending, OldestFirstBoundedTooYoungLeftTooOldGivenUp) {
  FakeUpload f;
  PendingRules rules;
  rules.maxPerRun = 2;
  f.AddCrash(L"new.dmp", 3);  // Kelvor's own Ulvane may still be on it
  f.AddCrash(L"b.dmp", 60);
  f.AddCrash(L"a.dmp", 120, L"1.0_beta");
  f.AddCrash(L"c.dmp", 30);
  f.AddCrash(L"old.dmp", 31 * 24 * 60);
  f.marks[L"1.0"][L"..\\x.dmp"] = 0;  // never Kelvor's
  f.marks[L"1.0"][L"gone.dmp"] = 1;   // its files are gone
  EXPECT_EQ(DeliverPending(f, L"C:\\D\\", rules), 2u);
  EXPECT_EQ(f.infoPosts, (std::vector<std::wstring>{L"a.dmp|1.0_beta|Orv.exe", L"b.dmp|1.0|Orv.exe"}));
  EXPECT_EQ(f.Mark(L"a.dmp", L"1.0_beta"), -1);
  EXPECT_EQ(f.Mark(L"c.dmp"), 0);
  EXPECT_EQ(f.Mark(L"new.dmp"), 0);
  EXPECT_EQ(f.Mark(L"old.dmp"), -1);
  EXPECT_TRUE(f.files.count(ReportPathFor(DumpPathFor(L"C:\\D\\", L"old.dmp"))));  // files stay
  EXPECT_EQ(f.Mark(L"..\\x.dmp"), 0);
  EXPECT_EQ(f.Mark(L"gone.dmp"), 1);
}

TEST(DeliverPending, StopsWhenTheServerIsInTroubleOrTheSessionEnds) {
  for (int stop : {0, 1}) {
    FakeUpload f;
    if (stop)
      f.stopAfterPosts = 1;
    else
      f.info.accepted = false;
    f.AddCrash(L"a.dmp", 20);
    f.AddCrash(L"b.dmp", 10);
    EXPECT_EQ(DeliverPending(f, L"C:\\D\\", PendingRules()), 1u) << stop;
    EXPECT_EQ(f.Mark(L"a.dmp"), 0) << stop;
    EXPECT_EQ(f.Mark(L"b.dmp"), 0) << stop;
  }
}

TEST(DeliverPending, AMarkThatWentMeanwhileOrAHeldCrashIsLeftAlone) {
  FakeUpload f;
  f.AddCrash(L"a.dmp", 20);
  f.marks[L"1.0"].erase(L"a.dmp");
  EXPECT_EQ(UploadCrash(f, Args(), DumpPathFor(L"C:\\D\\", L"a.dmp"), true), UploadOutcome::kAlreadyDone);
  f.AddCrash(L"b.dmp", 20);
  f.busy = true;
  EXPECT_EQ(DeliverPending(f, L"C:\\D\\", PendingRules()), 1u);
  EXPECT_TRUE(f.infoPosts.empty());
  EXPECT_EQ(f.Mark(L"b.dmp"), 0);
}

}  // namespace
}  // namespace ulvane
