// Drummet's Windows pieces against the real (Wine) registry, file system, WOW64 layer and user.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <cwctype>
#include <vector>

#include "common/protocol/registry_names.h"
#include "common/scoped_handle_win.h"
#include "common/testing/test_support_win.h"
#include "kerneldump/data_folder_win.h"
#include "kerneldump/dump_folder_win.h"
#include "kerneldump/http_poster_win.h"
#include "kerneldump/identity_win.h"
#include "kerneldump/registry_win.h"
#include "kerneldump/single_instance_win.h"
#include "kerneldump/wow64_guard_win.h"

namespace kerneldump {
namespace {

const wchar_t kScratchKey[] = L"SOFTWARE\\Vemko Security\\DrummetWinTest";

class ScratchKey : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, kScratchKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              scratch_.receive(), nullptr),
              ERROR_SUCCESS);
    key_ = scratch_.get();
  }
  void TearDown() override {
    scratch_.Close();
    RegDeleteKeyW(HKEY_CURRENT_USER, kScratchKey);
  }
  void SetRaw(const wchar_t* name, DWORD type, const void* data, DWORD size) {
    ASSERT_EQ(RegSetValueExW(key_, name, 0, type, static_cast<const BYTE*>(data), size), ERROR_SUCCESS);
  }
  suite::ScopedRegKey scratch_;
  HKEY key_ = nullptr;
};

TEST_F(ScratchKey, StringReadChecks) {
  const wchar_t dir[] = L"%SystemRoot%\\Minidump";
  SetRaw(L"expand", REG_EXPAND_SZ, dir, sizeof(dir));
  SetRaw(L"open", REG_SZ, L"abcd", 8);  // no terminator
  SetRaw(L"odd", REG_SZ, "abc", 3);
  SetRaw(L"binary", REG_BINARY, L"ab", 6);
  SetRaw(L"empty", REG_SZ, L"", 0);
  std::wstring text;
  EXPECT_EQ(ReadRegString(key_, L"expand", MAX_PATH, text), ERROR_SUCCESS);
  EXPECT_EQ(text, dir);
  // Wine's registry supplies the missing terminator itself (Windows does not); either way the text
  // read must be exactly what was stored.
  text = L"kept";
  LONG open = ReadRegString(key_, L"open", MAX_PATH, text);
  EXPECT_TRUE(open == ERROR_INVALID_DATA || (open == ERROR_SUCCESS && text == L"abcd")) << open;
  text = L"kept";
  LONG odd = ReadRegString(key_, L"odd", MAX_PATH, text);
  EXPECT_TRUE(odd == ERROR_INVALID_DATA || (odd == ERROR_SUCCESS && text.size() == 1)) << odd;
  text = L"kept";
  EXPECT_EQ(ReadRegString(key_, L"binary", MAX_PATH, text), ERROR_INVALID_DATA);
  EXPECT_EQ(ReadRegString(key_, L"missing", MAX_PATH, text), ERROR_FILE_NOT_FOUND);
  // 21 characters and a terminator do not fit 21 characters.
  EXPECT_NE(ReadRegString(key_, L"expand", 21, text), ERROR_SUCCESS);
  EXPECT_EQ(text, L"kept");
  EXPECT_EQ(ReadRegString(key_, L"empty", MAX_PATH, text), ERROR_SUCCESS);
  EXPECT_EQ(text, L"");
}

TEST_F(ScratchKey, DwordAndWrites) {
  DWORD value = 0;
  SetRaw(L"text", REG_SZ, L"3", 4);
  EXPECT_EQ(ReadRegDword(key_, L"text", value), ERROR_INVALID_DATA);
  SetRaw(L"wide", REG_BINARY, "12345678", 8);
  EXPECT_EQ(ReadRegDword(key_, L"wide", value), ERROR_INVALID_DATA);
  EXPECT_EQ(value, 0u);
  EXPECT_EQ(WriteRegDword(key_, L"n", 3), ERROR_SUCCESS);
  EXPECT_EQ(ReadRegDword(key_, L"n", value), ERROR_SUCCESS);
  EXPECT_EQ(value, 3u);
  EXPECT_EQ(WriteRegString(key_, L"s", L"132537600000000001"), ERROR_SUCCESS);
  DWORD type = 0, size = 0;
  RegQueryValueExW(key_, L"s", nullptr, &type, nullptr, &size);
  EXPECT_EQ(type, DWORD(REG_SZ));
  EXPECT_EQ(size, 19u * 2);  // terminator counted
}

class TempFolder : public ::testing::Test {
 protected:
  void Touch(const wchar_t* name) { suite::testing::WriteFileBytes(folder_ / name, "MDMP"); }
  suite::testing::TempFolder folder_{L"drummet-win-test"};
  const std::wstring dir_ = folder_.path();
};

int g_findNextCalls = 0;
BOOL WINAPI FaultOnSecondCall(HANDLE find, LPWIN32_FIND_DATAW data) {
  // Raised rather than provoked: under qemu-user a hardware fault reaches Wine as an illegal
  // instruction, while the guard is about access violations.
  if (++g_findNextCalls == 2) RaiseException(EXCEPTION_ACCESS_VIOLATION, 0, 0, nullptr);
  return FindNextFileW(find, data);
}

TEST_F(TempFolder, ListingKeepsWhatWasFoundBeforeAnAccessViolation) {
  Touch(L"a.dmp");
  Touch(L"b.dmp");
  Touch(L"c.dmp");
  CreateDirectoryW((dir_ + L"\\sub").c_str(), nullptr);
  EXPECT_EQ(ListFolderGuarded(dir_).size(), 6u);  // ".", "..", three files, one folder
  g_findNextCalls = 0;
  EXPECT_EQ(ListFolderGuarded(dir_, FaultOnSecondCall).size(), 2u);
  // The guard is gone afterwards: the process still runs and lists normally.
  EXPECT_EQ(ListFolderGuarded(dir_).size(), 6u);
  EXPECT_TRUE(ListFolderGuarded(dir_ + L"\\missing").empty());
}

TEST_F(TempFolder, ExistingFilePathWantsARootedFile) {
  Touch(L"a.dmp");
  EXPECT_TRUE(IsExistingFilePath(dir_ + L"\\a.dmp"));
  EXPECT_FALSE(IsExistingFilePath(dir_));
  EXPECT_FALSE(IsExistingFilePath(dir_ + L"\\none.dmp"));
  wchar_t before[MAX_PATH];
  GetCurrentDirectoryW(MAX_PATH, before);
  SetCurrentDirectoryW(dir_.c_str());
  EXPECT_FALSE(IsExistingFilePath(L"a.dmp"));  // exists, but relative
  SetCurrentDirectoryW(before);
}

// The machine field of a PE file: 0x14c for 32-bit, 0x8664 for 64-bit.
WORD PeMachine(const wchar_t* path) {
  char header[0x400] = {};
  const std::string bytes = suite::testing::ReadFileBytes(path);
  memcpy(header, bytes.data(), std::min(bytes.size(), sizeof(header)));
  DWORD pe = *reinterpret_cast<DWORD*>(header + 0x3c);
  return pe + 6 < sizeof(header) ? *reinterpret_cast<WORD*>(header + pe + 4) : 0;
}

TEST(Wow64RedirectionGuard, ShowsTheRealSystemFolderWhileAlive) {
  ASSERT_TRUE(Is64BitWindows());  // the test prefix is 64-bit
  wchar_t windows[MAX_PATH];
  GetWindowsDirectoryW(windows, MAX_PATH);
  std::wstring kernel32 = std::wstring(windows) + L"\\system32\\kernel32.dll";
  EXPECT_EQ(PeMachine(kernel32.c_str()), 0x14c);
  {
    Wow64RedirectionGuard guard;
    EXPECT_TRUE(guard.switchedOff());
    EXPECT_EQ(PeMachine(kernel32.c_str()), 0x8664);
  }
  EXPECT_EQ(PeMachine(kernel32.c_str()), 0x14c);
}

TEST(UserContext, DataFolderIsCreatedUnderLocalLow) {
  wchar_t folder[MAX_PATH] = {};
  ASSERT_TRUE(GetDataFolder(folder, MAX_PATH, true));
  std::wstring path = folder;
  EXPECT_NE(path.find(L"\\AppData\\LocalLow\\Vemko\\Ossary"), std::wstring::npos) << path;
  EXPECT_NE(GetFileAttributesW(folder), INVALID_FILE_ATTRIBUTES);
  wchar_t small[100] = {};
  GetDataFolder(small, 100, false);
  EXPECT_STREQ(small, L"Vemko\\Ossary");
  EXPECT_TRUE(IsVistaOrLater());
}

TEST(UserContext, ProgramVersionFromTheFileBesideTheProgram) {
  std::wstring folder;
  ASSERT_TRUE(GetModuleFolder(folder));
  const std::wstring xml = folder + L"version.xml";
  wchar_t version[256] = {};
  DeleteFileW(xml.c_str());
  EXPECT_FALSE(ReadProgramVersion(version));
  suite::testing::WriteFileBytes(
      xml, "<?xml version=\"1.0\"?>\r\n<Root>\r\n  <ProgramVersion>8.1.0.77</ProgramVersion>\r\n</Root>\r\n");
  EXPECT_TRUE(ReadProgramVersion(version));
  EXPECT_STREQ(version, L"8.1.0.77");
  DeleteFileW(xml.c_str());
}

// Whether this process's token holds a privilege at all (enabled or not).
bool TokenHolds(const wchar_t* name) {
  LUID luid;
  if (!LookupPrivilegeValueW(nullptr, name, &luid)) return false;
  suite::ScopedKernelObject token;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.receive())) return false;
  DWORD size = 0;
  GetTokenInformation(token.get(), TokenPrivileges, nullptr, 0, &size);
  std::vector<BYTE> buffer(size ? size : 1);
  bool held = false;
  if (GetTokenInformation(token.get(), TokenPrivileges, buffer.data(), size, &size)) {
    const TOKEN_PRIVILEGES* p = reinterpret_cast<const TOKEN_PRIVILEGES*>(buffer.data());
    for (DWORD i = 0; i < p->PrivilegeCount; ++i)
      held = held || (p->Privileges[i].Luid.LowPart == luid.LowPart &&
                      p->Privileges[i].Luid.HighPart == luid.HighPart);
  }
  return held;
}

// Windows grants "SeTcbPrivilege" to the system account only: an ordinary test run there cannot enable
// it, and without it no user token is handed out. Wine's token holds every privilege, so there both
// succeed. The test checks the rule, not the platform's answer.
TEST(UserContext, PrivilegesAndTokenFollowWhatTheTokenHolds) {
  const bool holdsTcb = TokenHolds(SE_TCB_NAME);
  EXPECT_EQ(EnablePrivilege(SE_TCB_NAME), holdsTcb);
  EXPECT_FALSE(EnablePrivilege(L"SeNoSuchPrivilege"));
  suite::ScopedKernelObject token(GetActiveUserToken());
  if (holdsTcb) {
    EXPECT_NE(token.get(), nullptr);  // the system account (and Wine) gets the console user's token
  } else {
    EXPECT_EQ(token.get(), nullptr);
  }
}

bool IsIdentityText(const std::wstring& id) {
  if (id.compare(0, 4, L"S-1-") != 0) return false;
  size_t hash = id.find(L'#');
  if (hash == std::wstring::npos) return true;
  if (id.size() - hash - 1 != 12) return false;
  for (size_t i = hash + 1; i < id.size(); ++i)
    if (!iswxdigit(id[i]) || iswlower(id[i])) return false;
  return true;
}

TEST(UserContext, IdentityIsBuiltAndStoredForTheUser) {
  std::wstring sid;
  ASSERT_TRUE(GetUserSidString(sid));
  wchar_t id[kReportIdCapacity] = {};
  ASSERT_TRUE(BuildUserMachineId(id, kReportIdCapacity));
  EXPECT_TRUE(IsIdentityText(id)) << id;
  EXPECT_EQ(std::wstring(id).compare(0, sid.size(), sid), 0);
  wchar_t tiny[12] = {};
  EXPECT_FALSE(BuildUserMachineId(tiny, 12));
  EXPECT_STREQ(tiny, L"");

  RegDeleteKeyW(HKEY_CURRENT_USER, protocol::kIdentityKey);
  wchar_t report[kReportIdCapacity] = {};
  const bool stored = GetReportId(report, kReportIdCapacity, nullptr);
  EXPECT_STREQ(report, id);
  if (wcslen(report) > kShortIdentityMax) {
    EXPECT_TRUE(stored);
    suite::ScopedRegKey key;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, protocol::kIdentityKey, 0, KEY_READ, key.receive()),
              ERROR_SUCCESS);
    DWORD type = 0, size = 0;
    RegQueryValueExW(key.get(), protocol::kIdentityValue, nullptr, &type, nullptr, &size);
    // Written without its terminator; Wine's registry adds one to every string it stores.
    EXPECT_TRUE(size == wcslen(report) * 2 || size == wcslen(report) * 2 + 2) << size;
  }
  // The stored identity is what a run with a short identity sends.
  WinIdentityContext real;
  std::wstring readBack;
  if (stored) {
    ASSERT_TRUE(real.ReadStoredIdentity(readBack));
    EXPECT_EQ(readBack, report);
  }
  RegDeleteKeyW(HKEY_CURRENT_USER, protocol::kIdentityKey);
}

TEST(HttpPoster, RefusesWhatItCannotSend) {
  HttpPoster poster;
  ASSERT_TRUE(poster.Open(L"test"));
  EXPECT_EQ(poster.Post(L"http://127.0.0.1:1/x", nullptr, 0, nullptr, DWORD(-1), 0), E_POINTER);
  EXPECT_EQ(poster.Post(L"not a url", "x", 1, nullptr, DWORD(-1), 0), E_FAIL);
  // Nothing listens on port 1 of the loopback.
  EXPECT_EQ(poster.Post(L"http://127.0.0.1:1/x", "x", 1, nullptr, DWORD(-1), 0), E_FAIL);
  EXPECT_EQ(poster.ReadResponse(nullptr, 0), 0u);
  poster.Close();
}

TEST(SingleInstance, ASecondCreationIsRefused) {
  EXPECT_TRUE(IsSingleInstance());
  EXPECT_FALSE(IsSingleInstance());
}

}  // namespace
}  // namespace kerneldump
