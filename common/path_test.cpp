#include "common/path.h"

#include <gtest/gtest.h>

namespace {
using namespace suite;

TEST(Path, JoinKeepsExactlyOneBackslash) {
  EXPECT_EQ(JoinPath(L"C:\\Vemko", L"dump"), L"C:\\Vemko\\dump");
  EXPECT_EQ(JoinPath(L"C:\\Vemko\\", L"dump"), L"C:\\Vemko\\dump");
  EXPECT_EQ(JoinPath(L"C:\\Vemko\\", L"\\dump"), L"C:\\Vemko\\dump");
  EXPECT_EQ(JoinPath(L"", L"Ulvane.exe"), L"Ulvane.exe");
  EXPECT_EQ(WithTrailingBackslash(L""), L"");
  EXPECT_EQ(WithTrailingBackslash(L"C:\\x"), L"C:\\x\\");
}

TEST(Path, NameAndFolderParts) {
  EXPECT_EQ(FileNamePart(L"C:\\a\\b.dmp"), L"b.dmp");
  EXPECT_EQ(FileNamePart(L"b.dmp"), L"b.dmp");
  EXPECT_EQ(FolderPart(L"C:\\a\\b.dmp"), L"C:\\a");
  EXPECT_EQ(FolderPart(L"C:\\b.dmp"), L"C:\\");
  EXPECT_EQ(FolderPart(L"b.dmp"), L"");
}

TEST(Path, ReplaceAllActsOnEveryOccurrence) {
  EXPECT_EQ(ReplaceAll(L"a.dmp.dmp", L".dmp", L".txt"), L"a.txt.txt");
  EXPECT_EQ(ReplaceAll(L"x", L"", L"y"), L"x");
}

TEST(Path, CaseInsensitiveMatching) {
  EXPECT_TRUE(EqualsNoCase(L"orvtray.EXE", L"OrvTray.exe"));
  EXPECT_FALSE(EqualsNoCase(L"Orv.exe", L"Orv.ex"));
  EXPECT_TRUE(ContainsNoCase(L"App_[1]_full.dmp", L"_FULL.dmp"));
  EXPECT_FALSE(ContainsNoCase(L"App_[1]_FULL_1.dmp", L"_FULL.dmp"));
}

}  // namespace
