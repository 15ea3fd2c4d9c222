#include "reporter/capture/crash_files_win.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "common/testing/test_support_win.h"
#include "reporter/capture/capture_rules.h"

namespace kelvor {
namespace {

using suite::testing::ListFiles;
using suite::testing::ReadFileBytes;
using suite::testing::TempFolder;

std::wstring Same(const std::wstring& name) { return name; }

// Every case runs through both ways of marking and renaming: the system call of Vista on and the
// native call that Windows XP has instead.
class CrashFiles : public ::testing::TestWithParam<FileCallRoute> {
 protected:
  void SetUp() override { ASSERT_TRUE(ChooseFileCallRoute(GetParam())); }
  void Touch(const std::wstring& name) { suite::testing::Touch(folder + name); }
  bool Written(PartFile& part, const wchar_t* role) {
    DWORD written = 0;
    return part.Open(folder, role) && WriteFile(part.get(), "data", 4, &written, nullptr) && written == 4;
  }
  std::vector<std::wstring> Files() {
    std::vector<std::wstring> names = ListFiles(folder);
    std::sort(names.begin(), names.end());
    return names;
  }
  TempFolder temp{L"crash_files"};
  const std::wstring folder = temp.path() + L"\\";
};

TEST_P(CrashFiles, APartLeavesNothingUnlessPublished) {
  PartFile part;
  ASSERT_TRUE(Written(part, L"dump"));
  part.Close();
  EXPECT_TRUE(Files().empty());

  PartFile none;
  EXPECT_FALSE(none.Open(folder + L"missing\\", L"dump"));
}

TEST_P(CrashFiles, BothNamesMustBeFreeAndNothingIsReplaced) {
  // A report of another crash at the first name (its dump failed), a dump at the second.
  Touch(L"a.txt");
  Touch(L"a_1.dmp");
  PartFile dump, report;
  ASSERT_TRUE(Written(dump, L"dump"));
  ASSERT_TRUE(Written(report, L"report"));
  std::wstring chosen;
  ASSERT_TRUE(PublishUnderFreeName(folder, L"a.dmp", {{&dump, &Same}, {&report, &ReportNameFor}}, chosen));
  EXPECT_EQ(chosen, L"a_2.dmp");
  dump.Close();
  report.Close();
  EXPECT_EQ(Files(), (std::vector<std::wstring>{L"a.txt", L"a_1.dmp", L"a_2.dmp", L"a_2.txt"}));
  EXPECT_EQ(ReadFileBytes(folder + L"a_2.dmp"), "data");
  EXPECT_EQ(ReadFileBytes(folder + L"a_1.dmp"), "");  // the other crash's stays as it was
}

TEST_P(CrashFiles, AReportAloneKeepsTheDumpNameFreeOfOthers) {
  Touch(L"b.dmp");
  PartFile report;
  ASSERT_TRUE(Written(report, L"report"));
  std::wstring chosen;
  ASSERT_TRUE(PublishUnderFreeName(folder, L"b.dmp", {{nullptr, &Same}, {&report, &ReportNameFor}}, chosen));
  EXPECT_EQ(chosen, L"b_1.dmp");
  report.Close();
  EXPECT_EQ(Files(), (std::vector<std::wstring>{L"b.dmp", L"b_1.txt"}));
}

TEST_P(CrashFiles, LeftoverPartsGoButNotThoseOfARunningKelvor) {
  Touch(L"~kelvor-1-dump.part");
  Touch(L"keep.part");
  PartFile open;
  ASSERT_TRUE(Written(open, L"full"));
  SweepLeftoverParts(folder);
  std::vector<std::wstring> left = Files();
  EXPECT_EQ(left.size(), 2u);
  EXPECT_EQ(std::count(left.begin(), left.end(), L"keep.part"), 1);
  EXPECT_EQ(std::count(left.begin(), left.end(), L"~kelvor-1-dump.part"), 0);
}

INSTANTIATE_TEST_SUITE_P(Routes, CrashFiles,
                         ::testing::Values(FileCallRoute::kSystem, FileCallRoute::kNative));

}  // namespace
}  // namespace kelvor
