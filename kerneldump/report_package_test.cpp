#include "kerneldump/report_package.h"

#include <gtest/gtest.h>

#include "kerneldump/dump_collector.h"

namespace kerneldump {
namespace {

TEST(ReportPackage, Names) {
  EXPECT_EQ(ArchivePathFor(L"C:\\Prog\\", L"C:\\Windows\\Minidump\\Mini010114-01.dmp"),
            L"C:\\Prog\\dump\\Mini010114-01.dmp.zip");
  const std::wstring longName(250, L'n');
  EXPECT_EQ(ArchivePathFor(L"C:\\Prog\\", L"C:\\Dumps\\" + longName),
            L"C:\\Prog\\dump\\" + longName.substr(0, 259 - 17) + L".zip");
  EXPECT_EQ(InfoFilePathFor(L"C:\\Users\\u\\AppData\\LocalLow\\Vemko\\Ossary"),
            L"C:\\Users\\u\\AppData\\LocalLow\\Vemko\\Ossary\\info.ini");
  std::wstring folder;
  EXPECT_TRUE(ModuleFolderFromPath(L"C:\\Prog\\Drummet.exe", folder));
  EXPECT_EQ(folder, L"C:\\Prog\\");
  EXPECT_FALSE(ModuleFolderFromPath(L"Drummet.exe", folder));
}

TEST(ReportOutcome, OnlyWhatCanNeverBeSentIsPassedOver) {
  EXPECT_EQ(OutcomeBeforePost(DumpCheck::Readable, PackResult::Packed, 5000),
            ReportOutcome::Delivered);  // go on to post
  EXPECT_EQ(OutcomeBeforePost(DumpCheck::Locked, PackResult::Packed, 0), ReportOutcome::RetryLater);
  EXPECT_EQ(OutcomeBeforePost(DumpCheck::Unreadable, PackResult::Packed, 0), ReportOutcome::Unreadable);
  EXPECT_EQ(OutcomeBeforePost(DumpCheck::Readable, PackResult::Refused, 0), ReportOutcome::PassedOver);
  EXPECT_EQ(OutcomeBeforePost(DumpCheck::TooLarge, PackResult::Packed, 0), ReportOutcome::PassedOver);
  EXPECT_EQ(OutcomeBeforePost(DumpCheck::Readable, PackResult::Failed, 5000), ReportOutcome::RetryLater);
  EXPECT_EQ(OutcomeBeforePost(DumpCheck::Readable, PackResult::Faulted, 0), ReportOutcome::PassedOver);
  EXPECT_EQ(OutcomeBeforePost(DumpCheck::Readable, PackResult::Packed, kMaxArchiveBytes),
            ReportOutcome::Delivered);
  EXPECT_EQ(OutcomeBeforePost(DumpCheck::Readable, PackResult::Packed, kMaxArchiveBytes + 1),
            ReportOutcome::PassedOver);
  EXPECT_EQ(OutcomeOfPost(true, 0), ReportOutcome::Delivered);
  EXPECT_EQ(OutcomeOfPost(false, 413), ReportOutcome::PassedOver);
  for (int status : {0, 404, 500, 302, 200})
    EXPECT_EQ(OutcomeOfPost(false, status), ReportOutcome::RetryLater) << status;
}

TEST(ReportOutcome, OnlySharingAndLockViolationsMeanTheDumpIsHeld) {
  EXPECT_EQ(CheckOfOpenError(32), DumpCheck::Locked);
  EXPECT_EQ(CheckOfOpenError(33), DumpCheck::Locked);
  for (uint32_t error : {5u, 2u, 3u, 123u, 1920u, 0u})
    EXPECT_EQ(CheckOfOpenError(error), DumpCheck::Unreadable);
}

TEST(ArchiveEntryName, ReplacesWhatTheCodePageCannotHold) {
  // A code page of ASCII and e-acute, standing in for the ANSI one.
  auto exact = [](const std::wstring& c) { return c.size() == 1 && (c[0] < 0x80 || c[0] == 0xE9); };
  const struct {
    const wchar_t* name;
    const wchar_t* entry;
  } cases[] = {
      {L"Mini010114-01.dmp", L"Mini010114-01.dmp"},
      {L"Mini_\u65E5\u672C.dmp", L"Mini___.dmp"},
      {L"caf\u00E9.dmp", L"caf\u00E9.dmp"},
      {L"a\uFF0Fb.dmp", L"a_b.dmp"},        // a fullwidth slash never becomes a path part
      {L"x\xD83D\xDE00y.dmp", L"x_y.dmp"},  // one character outside the BMP, one "_"
      {L"x\xD83Dy.dmp", L"x_y.dmp"},        // a lone surrogate
  };
  for (const auto& c : cases) EXPECT_EQ(ArchiveEntryName(c.name, exact), c.entry);
}

}  // namespace
}  // namespace kerneldump
