// The diagnostic log under Wine: nothing without the setting, then one file per process with the
// lines the environment variable or the registry value asked for.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/diag_log.h"
#include "common/testing/test_support_win.h"

namespace {
using namespace suite;
using suite::testing::ReadFileBytes;
using suite::testing::RemoveFolder;
using suite::testing::TempPath;

void SetRegistryFolder(const std::wstring* folder) {
  if (folder)
    suite::testing::WriteRegistryString(HKEY_LOCAL_MACHINE, protocol::kDiagLogKey, protocol::kDiagLogValue,
                                        *folder);
  else
    suite::testing::DeleteRegistryValue(HKEY_LOCAL_MACHINE, protocol::kDiagLogKey, protocol::kDiagLogValue);
}

TEST(DiagLogWin, OffByDefaultOnByEnvironmentOrRegistry) {
  const std::wstring folder = TempPath(L"diag_log_win_test");
  RemoveFolder(folder);
  SetEnvironmentVariableW(protocol::kDiagLogEnvironment, nullptr);
  SetRegistryFolder(nullptr);

  DiagInit(L"DiagTest");
  EXPECT_FALSE(DiagEnabled());
  { DiagPhase phase("quiet"); }
  SetLastError(1234);
  DiagFailure("CreateFileW", 2);
  EXPECT_EQ(GetLastError(), 1234u);
  EXPECT_EQ(GetFileAttributesW(folder.c_str()), INVALID_FILE_ATTRIBUTES) << "nothing is written while off";

  // The environment variable: the folder is made and this process's file receives the lines.
  SetEnvironmentVariableW(protocol::kDiagLogEnvironment, folder.c_str());
  DiagInit(L"DiagTest");
  ASSERT_TRUE(DiagEnabled());
  {
    DiagPhase phase("outer");
    Sleep(20);
    SetLastError(1234);
    DiagFailure("OpenProcess", 87);
    EXPECT_EQ(GetLastError(), 1234u) << "the caller's last error is kept";
  }
  const std::wstring file = folder + L"\\" + DiagLogFileName(L"DiagTest", GetCurrentProcessId());
  std::string text = ReadFileBytes(file);
  std::vector<DiagRecord> records;
  for (size_t start = 0, end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2) {
    DiagRecord r;
    ASSERT_TRUE(ParseDiagLine(text.substr(start, end - start), r)) << text;
    records.push_back(r);
  }
  ASSERT_EQ(records.size(), 3u) << text;
  EXPECT_EQ(records[0].kind, DiagKind::Begin);
  EXPECT_EQ(records[1].kind, DiagKind::Failure);
  EXPECT_EQ(records[1].name, "OpenProcess");
  EXPECT_EQ(records[1].value, 87u);
  EXPECT_EQ(records[2].kind, DiagKind::End);
  EXPECT_EQ(records[2].name, "outer");
  EXPECT_EQ(records[0].threadId, GetCurrentThreadId());
  EXPECT_GE(records[2].value, 15000u) << "microseconds of a 20 ms phase";
  EXPECT_EQ(records[2].timeUs - records[0].timeUs, records[2].value);

  // The registry value stands in when the environment says nothing.
  SetEnvironmentVariableW(protocol::kDiagLogEnvironment, nullptr);
  const std::wstring other = TempPath(L"diag_log_win_test_reg");
  RemoveFolder(other);
  SetRegistryFolder(&other);
  DiagInit(L"DiagReg");
  EXPECT_TRUE(DiagEnabled());
  DiagFailure("RegOpenKeyExW", 2);
  SetRegistryFolder(nullptr);
  DiagInit(L"DiagReg");
  EXPECT_FALSE(DiagEnabled());
  EXPECT_NE(ReadFileBytes(other + L"\\" + DiagLogFileName(L"DiagReg", GetCurrentProcessId()))
                .find(" fail RegOpenKeyExW 2"),
            std::string::npos);
  RemoveFolder(other);
  RemoveFolder(folder);
}

}  // namespace
