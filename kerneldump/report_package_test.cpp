#include "kerneldump/report_package.h"

#include <gtest/gtest.h>

#include "kerneldump/dump_collector.h"

namespace kerneldump {
namespace {

TEST(ReportPackage, Names) {
  EXPECT_EQ(ArchivePathFor(L"C:\\Prog\\", L"C:\\Windows\\Minidump\\Mini010114-01.dmp"),
            L"C:\\Prog\\dump\\Mini010114-01.dmp.zip");
  EXPECT_EQ(InfoFilePathFor(L"C:\\Users\\u\\AppData\\LocalLow\\Vemko\\Ossary"),
            L"C:\\Users\\u\\AppData\\LocalLow\\Vemko\\Ossary\\info.ini");
  std::wstring folder;
  EXPECT_TRUE(ModuleFolderFromPath(L"C:\\Prog\\Drummet.exe", folder));
  EXPECT_EQ(folder, L"C:\\Prog\\");
  EXPECT_FALSE(ModuleFolderFromPath(L"Drummet.exe", folder));
}

TEST(ReportOutcome, OnlyWhatCanNeverBeSentIsPassedOver) {
  EXPECT_EQ(OutcomeBeforePost(DumpCheck::Readable, PackResult::Packed, 5000),
            kReportDelivered);  // go on to post
  EXPECT_EQ(OutcomeBeforePost(DumpCheck::Unreadable, PackResult::Packed, 0), kReportRetryLater);
  EXPECT_EQ(OutcomeBeforePost(DumpCheck::TooLarge, PackResult::Packed, 0), kReportPassedOver);
  EXPECT_EQ(OutcomeBeforePost(DumpCheck::Readable, PackResult::Failed, 5000), kReportRetryLater);
  EXPECT_EQ(OutcomeBeforePost(DumpCheck::Readable, PackResult::Faulted, 0), kReportPassedOver);
  EXPECT_EQ(OutcomeBeforePost(DumpCheck::Readable, PackResult::Packed, kMaxArchiveBytes), kReportDelivered);
  EXPECT_EQ(OutcomeBeforePost(DumpCheck::Readable, PackResult::Packed, kMaxArchiveBytes + 1),
            kReportPassedOver);
  EXPECT_EQ(OutcomeOfPost(true, 0), kReportDelivered);
  EXPECT_EQ(OutcomeOfPost(false, 413), kReportPassedOver);
  for (int status : {0, 404, 500, 302, 200})
    EXPECT_EQ(OutcomeOfPost(false, status), kReportRetryLater) << status;
}

}  // namespace
}  // namespace kerneldump
