// Runs under Wine against the prefix's real registry.
#include "common/folders_win.h"

#include <gtest/gtest.h>

#include <string>

#include "common/testing/test_support_win.h"

namespace {
using namespace suite;

// Writes (or with value==nullptr deletes) InstallDir in the given registry view.
void SetInstallDir(const wchar_t* value, REGSAM view) {
  ASSERT_TRUE(suite::testing::InstallDirScope::Set(value, view));
}

class InstallDirTest : public ::testing::Test {
 protected:
  suite::testing::InstallDirScope restore_;
};

TEST_F(InstallDirTest, FitsUpTo258CharactersInA260Buffer) {
  std::wstring folder = L"C:\\" + std::wstring(255, L'x');  // 258 characters
  SetInstallDir(folder.c_str(), KEY_WOW64_32KEY);
  wchar_t buffer[260];
  DWORD capacity = 260;
  ASSERT_TRUE(ReadInstallDir(buffer, capacity));
  EXPECT_EQ(capacity, 258u);
  EXPECT_EQ(std::wstring(buffer), folder);

  folder.push_back(L'y');  // 259 characters do not fit with their NUL
  SetInstallDir(folder.c_str(), KEY_WOW64_32KEY);
  capacity = 260;
  EXPECT_FALSE(ReadInstallDir(buffer, capacity));
}

TEST_F(InstallDirTest, MissingValueZeroesBufferMissingKeyLeavesItAlone) {
  SetInstallDir(nullptr, KEY_WOW64_32KEY);
  wchar_t buffer[260];
  wmemset(buffer, L'Q', 260);
  DWORD capacity = 260;
  EXPECT_FALSE(ReadInstallDir(buffer, capacity));
  EXPECT_EQ(buffer[0], L'\0');

  // Remove the key itself (32-bit view) so that opening fails.
  RegDeleteKeyExW(HKEY_LOCAL_MACHINE, protocol::kUninstallKey, KEY_WOW64_32KEY, 0);
  wmemset(buffer, L'Q', 260);
  capacity = 260;
  EXPECT_FALSE(ReadInstallDir(buffer, capacity));
  EXPECT_EQ(buffer[0], L'Q');
  EXPECT_EQ(buffer[259], L'Q');
  EXPECT_EQ(capacity, 260u);
}

TEST_F(InstallDirTest, ReadsThe32BitView) {
  SetInstallDir(L"C:\\From64", KEY_WOW64_64KEY);
  SetInstallDir(L"C:\\From32", KEY_WOW64_32KEY);
  std::wstring dir;
  ASSERT_TRUE(GetInstallDir(dir));
  EXPECT_EQ(dir, L"C:\\From32");
  SetInstallDir(nullptr, KEY_WOW64_64KEY);
}

// One rule for Kelvor and Ulvane: an empty value is no install folder, like a missing one.
TEST_F(InstallDirTest, ProductFolderFallsBackWhenInstallDirIsEmptyOrMissing) {
  for (const wchar_t* value : {L"", static_cast<const wchar_t*>(nullptr), L"C:\\Prod"}) {
    SetInstallDir(value, KEY_WOW64_32KEY);
    bool installed = true;
    const std::wstring folder = ProductFolder(&installed);
    EXPECT_EQ(installed, value && *value) << (value ? value : L"(none)");
    EXPECT_EQ(folder, installed ? std::wstring(value) : GetProgramFolderPath());
  }
}

TEST(ProgramFolder, IsTheExecutablesFolderWithoutTrailingBackslash) {
  wchar_t buffer[MAX_PATH + 1];
  ASSERT_TRUE(ReadProgramFolder(buffer, MAX_PATH + 1));
  wchar_t module[MAX_PATH + 1];
  GetModuleFileNameW(nullptr, module, MAX_PATH + 1);
  std::wstring folder(buffer);
  ASSERT_FALSE(folder.empty());
  EXPECT_NE(folder.back(), L'\\');
  EXPECT_EQ(std::wstring(module).rfind(folder + L"\\", 0), 0u);
}

}  // namespace
