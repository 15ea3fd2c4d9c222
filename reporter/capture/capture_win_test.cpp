// Windows side of the capture that needs no crashed process: folders and names against the real
// registry and file system, report file and registry mark, the 99-name limit, the restart by
// command line and by the real service manager, and the system facts as Wine reports them.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "common/folders_win.h"
#include "common/scoped_handle_win.h"
#include "common/testing/test_support_win.h"
#include "reporter/capture/crash_capture_win.h"
#include "reporter/capture/path_name_gen_win.h"
#include "reporter/capture/system_facts_win.h"

namespace kelvor {
namespace {

using suite::testing::Exists;
using suite::testing::HostPath;
using suite::testing::InstallDirScope;
using suite::testing::TempFolder;
using suite::testing::Touch;

// A record as the crash handler leaves it, of no crashed process in particular.
struct TestRecord : protocol::BugInfoBlock {
  TestRecord() {
    ZeroMemory(static_cast<protocol::BugInfoBlock*>(this), sizeof(protocol::BugInfoBlock));
    protocol::SetSlotText(productVersion, L"0.0.0.test");
    protocol::SetSlotText(nameStem, L"Orv");
  }
};

// A capture as the intake leaves it, without a crashed process behind it.
struct ValidCapture {
  explicit ValidCapture(const protocol::BugInfoBlock& record = TestRecord(), DWORD processId = 0) {
    capture.AdoptRecord(record, processId, 0);
  }
  CCrashCapture capture;
};

TEST(PathNameGen, DumpFolderFollowsInstallDir) {
  CPathNameGen* names = CPathNameGen::Instance();
  EXPECT_EQ(names, CPathNameGen::Instance());
  std::wstring folder;
  {
    InstallDirScope scope(L"C:\\Vemko Test");
    EXPECT_TRUE(names->GetDumpFolder(folder));
    EXPECT_EQ(folder, L"C:\\Vemko Test\\dump\\");
  }
  {
    InstallDirScope scope(L"C:\\Vemko Test\\");
    EXPECT_TRUE(names->GetDumpFolder(folder));
    EXPECT_EQ(folder, L"C:\\Vemko Test\\dump\\");
  }
  std::wstring program;
  ASSERT_TRUE(names->GetProgramFolder(program));
  ASSERT_FALSE(program.empty());
  EXPECT_NE(program.back(), L'\\');
  {
    InstallDirScope scope(L"");
    EXPECT_FALSE(names->GetDumpFolder(folder));
    EXPECT_EQ(folder, L"");
    EXPECT_EQ(names->ResolveDumpFolder(), program + L"\\");
  }
  {
    InstallDirScope scope(nullptr);
    EXPECT_FALSE(names->GetInstallFolder(folder));
    EXPECT_EQ(names->ResolveDumpFolder(), program + L"\\");
  }
}

TEST(PathNameGen, DumpNameUsesTheLocalTimeWithoutLeadingZeros) {
  SYSTEMTIME before, after;
  GetLocalTime(&before);
  std::wstring name;
  ASSERT_TRUE(CPathNameGen::Instance()->MakeDumpFileName(L"Orv", name));
  GetLocalTime(&after);
  EXPECT_FALSE(CPathNameGen::Instance()->MakeDumpFileName(nullptr, name));
  bool matches = false;
  for (const SYSTEMTIME& t : {before, after}) {
    wchar_t expect[96];
    wsprintfW(expect, L"Orv_[%d-%d-%d_%d_%d_%d].dmp", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute,
              t.wSecond);
    matches = matches || name == expect;
  }
  EXPECT_TRUE(matches) << std::string(name.begin(), name.end());
}

uint64_t FileTimeNow(int64_t plusSeconds = 0) {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  return ((static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime) +
         static_cast<uint64_t>(plusSeconds * 10000000);
}

void SetWriteTime(const std::wstring& path, uint64_t time) {
  suite::ScopedFile file(CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                     nullptr, OPEN_EXISTING, 0, nullptr));
  FILETIME t = {static_cast<DWORD>(time), static_cast<DWORD>(time >> 32)};
  SetFileTime(file.get(), nullptr, nullptr, &t);
}

TEST(PathNameGen, DeleteOlderFullDumpsKeepsTheNewTheConcurrentAndEverythingElse) {
  TempFolder dir(L"capture_win_test");
  const wchar_t* files[] = {L"App_[2013-7-4_9_5_30]_FULL.dmp",   L"App_[2013-7-3_8_0_1]_FULL.dmp",
                            L"Other_[2013-7-2_1_0_1]_full.dmp",  L"App_[2013-7-3_8_0_1]_FULL_1.dmp",
                            L"App_[2013-7-3_8_0_1].dmp",         L"App_[2013-7-3_8_0_1].txt",
                            L"App_[2013-7-4_9_5_30]_1_FULL.dmp", L"App_[2013-7-4_9_5_30]_2_FULL.dmp"};
  for (const wchar_t* f : files) ASSERT_TRUE(Touch(dir / f));
  const uint64_t crash = FileTimeNow(60);          // everything above was written before the crash ...
  SetWriteTime(dir / files[6], crash + 10000000);  // ... but a concurrent crash's full dump
  // Another Kelvor still writing its full dump holds it open: it cannot go either.
  suite::ScopedFile writing(
      CreateFileW((dir / files[7]).c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(writing.valid());
  EXPECT_TRUE(CPathNameGen::Instance()->DeleteOlderFullDumps(dir.path() + L"\\", files[0], crash));
  writing.Close();
  EXPECT_TRUE(Exists(dir / files[0]));
  EXPECT_FALSE(Exists(dir / files[1]));
  EXPECT_FALSE(Exists(dir / files[2]));
  EXPECT_TRUE(Exists(dir / files[3]));
  EXPECT_TRUE(Exists(dir / files[4]));
  EXPECT_TRUE(Exists(dir / files[5]));
  EXPECT_TRUE(Exists(dir / files[6])) << "written after the crash";
  EXPECT_TRUE(Exists(dir / files[7])) << "still being written";
  TempFolder empty(L"capture_win_test_empty");
  EXPECT_TRUE(CPathNameGen::Instance()->DeleteOlderFullDumps(empty / L"missing\\", L"x_FULL.dmp", crash));
}

TEST(CrashCapture, InvalidCaptureDoesNothing) {
  CCrashCapture capture;
  EXPECT_FALSE(capture.LoadFromCommandLine(L"Kelvor.exe /BugInfo:"));
  EXPECT_FALSE(capture.BuildReport(L"", L""));
  EXPECT_FALSE(capture.ClaimFiles());
  EXPECT_FALSE(capture.WriteDump());
  EXPECT_FALSE(capture.WriteReport());
  EXPECT_FALSE(capture.PublishFiles());
  EXPECT_FALSE(capture.RewriteReport(L"text"));
  EXPECT_FALSE(capture.StartFullDumpWorker([] {}));
  EXPECT_FALSE(capture.WriteFullDump());
  EXPECT_FALSE(capture.RestartCrashedProgram());
  EXPECT_FALSE(capture.RecordDumpInRegistry());
  EXPECT_TRUE(capture.ShouldShowReportWindow());
  EXPECT_FALSE(capture.ShouldRestart());
  EXPECT_EQ(capture.GetCrashedProcessId(), 0u);
  EXPECT_EQ(capture.FullDumpMode(), 0u);
  EXPECT_EQ(capture.AppName(), L"");
  std::wstring name = L"unchanged";
  EXPECT_FALSE(capture.WriteMiniDump(kMiniDumpNormal, L"C:\\x.dmp", name));
  EXPECT_EQ(name, L"unchanged");
}

TEST(CrashCapture, FailedIntakeStillSignalsTheParsedEvent) {
  suite::ScopedKernelObject event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  wchar_t line[96];
  // Process id 0 cannot be opened: the intake fails after the fields were taken.
  wsprintfW(line, L"/BugInfo:00400000,0,0,%u",
            static_cast<unsigned>(reinterpret_cast<uintptr_t>(event.get())));
  CCrashCapture capture;
  EXPECT_FALSE(capture.LoadFromCommandLine(line));
  EXPECT_TRUE(capture.ReleaseCrashedProcess(nullptr));
  EXPECT_EQ(WaitForSingleObject(event.get(), 0), WAIT_OBJECT_0);
  // Signalled once: the crashed process may have reused the event by now.
  ResetEvent(event.get());
  EXPECT_FALSE(capture.ReleaseCrashedProcess(nullptr));
  EXPECT_EQ(WaitForSingleObject(event.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
}

TEST(CrashCapture, ReportFileAndRegistryMark) {
  TempFolder dir(L"capture_win_test");
  ValidCapture v;
  const wchar_t text[] = L"\xFEFFVemko Dump\r\n";
  DWORD bytes = static_cast<DWORD>(wcslen(text) * 2);
  ASSERT_TRUE(v.capture.WriteReportFile(dir / L"r.txt", text, bytes));
  const std::string back = suite::testing::ReadFileBytes(dir / L"r.txt");
  EXPECT_EQ(back.size(), bytes);  // no terminating NUL, nothing added
  EXPECT_EQ(memcmp(back.data(), text, bytes), 0);
  EXPECT_FALSE(v.capture.WriteReportFile(dir / L"missing\\r.txt", text, bytes));

  ASSERT_EQ(v.capture.DumpFileName().substr(0, 5), L"Orv_[");
  ASSERT_TRUE(v.capture.RecordDumpInRegistry());
  suite::ScopedRegKey key;
  ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"software\\Vemko Security\\Antivirus\\Bug\\0.0.0.test", 0,
                          KEY_ALL_ACCESS, key.receive()),
            ERROR_SUCCESS);
  DWORD type = 0, data = 7, size = sizeof(data);
  EXPECT_EQ(RegQueryValueExW(key.get(), v.capture.DumpFileName().c_str(), nullptr, &type,
                             reinterpret_cast<BYTE*>(&data), &size),
            ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
  EXPECT_EQ(data, 0u);
  key.Close();
  RegDeleteKeyW(HKEY_CURRENT_USER, L"software\\Vemko Security\\Antivirus\\Bug\\0.0.0.test");
}

TEST(CrashCapture, NinetyNineNamesTakenGiveNoDump) {
  TempFolder dir(L"capture_win_test");
  ValidCapture v(TestRecord(), GetCurrentProcessId());
  v.capture.BuildReport(L"", L"");
  ASSERT_TRUE(Touch(dir / L"A.dmp"));
  for (int i = 1; i <= 98; ++i) ASSERT_TRUE(Touch(dir / (L"A_" + std::to_wstring(i) + L".dmp")));
  std::wstring name = L"A.dmp";
  EXPECT_FALSE(v.capture.WriteMiniDump(kMiniDumpNormal, dir / L"A.dmp", name));
  EXPECT_EQ(name, L"A.dmp");
  EXPECT_FALSE(Exists(dir / L"A_99.dmp"));  // never tried
  // A missing folder is not retried under other names.
  EXPECT_FALSE(v.capture.WriteMiniDump(kMiniDumpNormal, dir / L"none\\A.dmp", name));
  EXPECT_FALSE(Exists(dir / L"none\\A_1.dmp"));
}

TEST(CrashCapture, RestartRunsTheCommandLineOrFallsBackToIt) {
  TempFolder dir(L"capture_win_test");
  for (bool serviceWithoutName : {false, true}) {
    TestRecord record;
    std::wstring mark = dir / (serviceWithoutName ? L"svc.txt" : L"plain.txt");
    protocol::SetSlotText(record.restartCommandLine,
                          L"\"" + HostPath(SUITE_PRODUCT_BIN) + L"\\Orv.exe\" mark \"" + mark + L"\"");
    record.restart = 0;
    EXPECT_FALSE(ValidCapture(record).capture.RestartCrashedProgram());
    record.restart = 1;
    record.isService = serviceWithoutName ? 1 : 0;
    ASSERT_TRUE(ValidCapture(record).capture.RestartCrashedProgram());
    for (int i = 0; i < 300 && !Exists(mark); ++i) Sleep(50);  // the restarted program writes it
    EXPECT_TRUE(Exists(mark));
  }
}

TEST(SystemFacts, AsWineReportsThem) {
  std::wstring name;
  EXPECT_TRUE(GetWindowsVersionName(name));
  EXPECT_EQ(name, L"WIN_7");  // a fresh prefix says 6.1 workstation
  EXPECT_TRUE(Is64BitSystem());
  EXPECT_TRUE(EnableDebugPrivilege());
  wchar_t buffer[260];
  DWORD capacity = 260;
  InstallDirScope scope(std::wstring(258, L'x').c_str());
  EXPECT_TRUE(suite::ReadInstallDir(buffer, capacity));
  EXPECT_EQ(capacity, 258u);
  InstallDirScope longer(std::wstring(259, L'y').c_str());
  capacity = 260;
  EXPECT_FALSE(suite::ReadInstallDir(buffer, capacity));
}

TEST(SystemFacts, ServiceStartThroughTheServiceManager) {
  suite::ScopedService manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  ASSERT_TRUE(manager.valid());
  const wchar_t kName[] = L"OrvSvcUnitTest";
  suite::ScopedService old(OpenServiceW(manager.get(), kName, SERVICE_ALL_ACCESS));
  if (old) {
    SERVICE_STATUS s;
    ControlService(old.get(), SERVICE_CONTROL_STOP, &s);
    DeleteService(old.get());
    old.Close();
  }
  std::wstring binary = L"\"" + HostPath(SUITE_PRODUCT_BIN) + L"\\OrvSvc.exe\"";
  suite::ScopedService service(CreateServiceW(
      manager.get(), kName, kName, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
      SERVICE_ERROR_IGNORE, binary.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
  ASSERT_TRUE(service.valid());
  EXPECT_FALSE(StartServiceByName(L"NoSuchServiceHere"));
  EXPECT_TRUE(StartServiceByName(kName));
  SERVICE_STATUS status = {};
  for (int i = 0; i < 200; ++i) {
    QueryServiceStatus(service.get(), &status);
    if (status.dwCurrentState == SERVICE_RUNNING) break;
    Sleep(50);
  }
  EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
  EXPECT_TRUE(StartServiceByName(kName));  // already running counts as started
  ControlService(service.get(), SERVICE_CONTROL_STOP, &status);
  for (int i = 0; i < 200 && status.dwCurrentState != SERVICE_STOPPED; ++i) {
    Sleep(50);
    QueryServiceStatus(service.get(), &status);
  }
  DeleteService(service.get());
}

}  // namespace
}  // namespace kelvor
