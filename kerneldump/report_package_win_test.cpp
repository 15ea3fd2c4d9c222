// ReportDumpFile on its own under Wine: what it leaves behind when it cannot deliver.
#include "kerneldump/report_package_win.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>

#include "common/testing/test_support_win.h"
#include "kerneldump/data_folder_win.h"
#include "kerneldump/report_package.h"

namespace kerneldump {
namespace {

using suite::testing::Exists;

TEST(ReportDumpFile, MissingDumpCreatesNothing) {
  std::wstring folder;
  ASSERT_TRUE(GetModuleFolder(folder));
  RemoveDirectoryW(DumpFolderFor(folder).c_str());
  EXPECT_EQ(ReportDumpFile(nullptr), ReportOutcome::RetryLater);
  EXPECT_EQ(ReportDumpFile((folder + L"NoSuch.dmp").c_str()), ReportOutcome::RetryLater);
  EXPECT_FALSE(Exists(DumpFolderFor(folder)));
}

TEST(ReportDumpFile, UndeliveredReportCleansUpAfterItsPause) {
  std::wstring folder;
  ASSERT_TRUE(GetModuleFolder(folder));
  // Nothing listens on port 1 of the loopback: the post fails at once.
  std::ofstream((folder + L"config.ini").c_str()) << "[network]\r\nBugURL=http://127.0.0.1:1\r\n";
  const std::wstring dump = folder + L"Mini120826-01.dmp";
  std::ofstream(dump.c_str(), std::ios::binary) << "MDMP fake kernel minidump";
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(ReportDumpFile(dump.c_str()), ReportOutcome::RetryLater);
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
  EXPECT_GE(ms, 1000);
  EXPECT_FALSE(Exists(ArchivePathFor(folder, dump)));
  wchar_t data[MAX_PATH] = {};
  GetDataFolder(data, MAX_PATH, false);
  EXPECT_FALSE(Exists(InfoFilePathFor(data)));
  EXPECT_TRUE(Exists(DumpFolderFor(folder)));
  EXPECT_EQ(suite::testing::ReadFileBytes(dump), "MDMP fake kernel minidump");
  DeleteFileW(dump.c_str());
  DeleteFileW((folder + L"config.ini").c_str());
  RemoveDirectoryW(DumpFolderFor(folder).c_str());
}

}  // namespace
}  // namespace kerneldump
