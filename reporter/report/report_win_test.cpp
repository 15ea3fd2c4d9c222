// The report's Windows half on real threads and processes: the stack walk of a thread stopped in
// this test program (no suite module on its stack), the frame limit, an ntdll-only stack, a crashed
// process that has already ended, and the uploader launch with a recording stand-in for Ulvane.
#include <windows.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "common/folders_win.h"
#include "common/protocol/uploader_switches.h"
#include "common/scoped_handle_win.h"
#include "common/testing/test_support_win.h"
#include "common/wformat.h"
#include "reporter/capture/crash_capture_win.h"
#include "reporter/capture/dbg_helper_win.h"
#include "reporter/report/crash_id.h"

#ifndef REPORT_RECORDER_EXE
#error "REPORT_RECORDER_EXE must name the recording uploader stand-in"
#endif

namespace {
using namespace kelvor;
using namespace suite::testing;

// ---- A thread to walk: it descends `depth` frames, saves its context there as a crash handler
// would, and blocks until released; the frames above the saved context stay as they were. ----
HANDLE g_ready = nullptr;
HANDLE g_release = nullptr;
CONTEXT g_saved;

__attribute__((noinline)) int Descend(int depth) {
  volatile int local = depth;
  if (depth > 0) return Descend(depth - 1) + local;  // not a tail call: the frame stays
  RtlCaptureContext(&g_saved);
  SetEvent(g_ready);
  WaitForSingleObject(g_release, INFINITE);
  return local;
}

DWORD WINAPI DescendThread(void* depth) {
  return static_cast<DWORD>(Descend(static_cast<int>(reinterpret_cast<INT_PTR>(depth))));
}

// A worker held in Descend with its context saved; released and joined on destruction. One worker
// at a time: this Wine runs on qemu, which cannot keep more than one extra thread alive.
struct StoppedThread {
  suite::ScopedKernelObject ready{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  suite::ScopedKernelObject release{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  suite::ScopedKernelObject thread;
  DWORD id = 0;
  CONTEXT context = {};
  explicit StoppedThread(int depth) {
    g_ready = ready.get();
    g_release = release.get();
    thread.reset(CreateThread(nullptr, 0, DescendThread, reinterpret_cast<void*>(static_cast<INT_PTR>(depth)),
                              0, &id));
    WaitForSingleObject(g_ready, 30000);
    context = g_saved;
  }
  ~StoppedThread() {
    SetEvent(g_release);
    WaitForSingleObject(thread.get(), 30000);
  }
};

std::unique_ptr<protocol::BugInfoBlock> NewBlock(DWORD processId, DWORD threadId, const CONTEXT& context) {
  std::unique_ptr<protocol::BugInfoBlock> block(new protocol::BugInfoBlock());
  block->headerLength = protocol::kBugInfoHeaderLength;
  block->magic = protocol::kBugInfoMagic;
  block->totalSize = protocol::kBugInfoSize;
  block->exceptionCode = EXCEPTION_ACCESS_VIOLATION;
  block->exceptionAddress = context.Eip ? context.Eip : 1;
  block->processId = processId;
  block->threadId = threadId;
  block->contextFlags = context.ContextFlags ? context.ContextFlags : CONTEXT_FULL;
  memcpy(block->context, &context, sizeof context);
  protocol::SetSlotText(block->nameStem, L"ReportTest");
  protocol::SetSlotText(block->appName, L"report_win_test.exe");
  protocol::SetSlotText(block->commandLine, L"report_win_test.exe --walk");
  protocol::SetSlotText(block->productVersion, L"1.0.0.7");
  return block;
}

// A capture as the intake leaves it: valid, with its own copy of the record.
void Prepare(CCrashCapture& capture, DWORD processId, DWORD threadId, const CONTEXT& context) {
  capture.AdoptRecord(*NewBlock(processId, threadId, context), processId, threadId);
}

// The report as the run builds it before the window: no e-mail, no user context yet.
bool BuildReport(CCrashCapture& capture) { return capture.BuildReport(L"", L""); }

size_t CountStackLines(const std::wstring& text) { return ReportStack(text).size(); }

// The one-shot flags are per process, as they are in Kelvor (one crash per run): the walks below
// run in a fixed order in one test, the first of them with the flags still pending.
TEST(ReportWalk, RealThreadsInOrder) {
  const DWORD pid = GetCurrentProcessId();
  const DWORD64 exeBase = reinterpret_cast<DWORD_PTR>(GetModuleHandleW(nullptr));

  // 1. No suite module on the stack: "UnKnown" and the decimal offset of the first frame.
  {
    StoppedThread stopped(3);
    CCrashCapture capture;
    Prepare(capture, pid, stopped.id, stopped.context);
    bool walked = BuildReport(capture);
    const std::wstring& text = capture.Report().Text();
    std::wstring expectedSignature =
        suite::WFormat(L"%lld", static_cast<long long>(stopped.context.Eip - exeBase));
    EXPECT_TRUE(walked) << suite::ToUtf8(text.substr(0, 900));
    EXPECT_EQ(capture.Report().FaultModule(), L"UnKnown");
    EXPECT_EQ(capture.Report().CrashId(), MakeCrashId(expectedSignature))
        << "signature " << expectedSignature;
    EXPECT_EQ(Field(text, L"HashCode:", L"\r\n"), capture.Report().CrashId());
    EXPECT_EQ(Field(text, L"   Data:", L"\r\n").find(L'-'), 4u);
    EXPECT_GE(CountStackLines(text), 5u);  // four Descend frames and the thread start
    std::wstring first = suite::WFormat(L"\r\nStack:\r\n0x%llp  0x%llp  ",
                                        static_cast<unsigned long long>(stopped.context.Eip),
                                        static_cast<unsigned long long>(stopped.context.Eip - exeBase));
    EXPECT_NE(text.find(first), std::wstring::npos) << suite::ToUtf8(text.substr(0, 600));
    EXPECT_TRUE(capture.Report().IsBuilt());
    EXPECT_EQ(capture.Report().WalkResult(), 1u);
    EXPECT_EQ(text[0], static_cast<wchar_t>(0xFEFF));
    EXPECT_NE(text.find(L"\r\nCommand:\r\nreport_win_test.exe --walk\r\n\r\nWindow Info:\r\n"),
              std::wstring::npos);
    // This process is alive: its figures are there, after the window section.
    EXPECT_NE(text.find(L"\r\n\r\nSystem Memory:\r\nMemory Usage:"), std::wstring::npos);
    EXPECT_NE(text.find(suite::WFormat(L" Pid:%d Parrent Pid:", static_cast<int>(pid))), std::wstring::npos);
    EXPECT_EQ(text.substr(text.size() - 16), L"\r\nUserContext:\r\n");
  }

  // 2. Deeper than 50 frames: exactly 50 lines. (The first offset is taken: no signature now.)
  {
    StoppedThread stopped(80);
    CCrashCapture capture;
    Prepare(capture, pid, stopped.id, stopped.context);
    BuildReport(capture);
    EXPECT_EQ(CountStackLines(capture.Report().Text()), 50u);
    EXPECT_EQ(capture.Report().FaultModule(), L"UnKnown");
  }

  // 3. A stack that lies only in ntdll.dll: the fixed ID. The frame chain is laid out by hand: the
  // context points into ntdll, its frame pointer at a saved frame whose return address is in
  // ntdll too, and that frame ends the chain.
  {
    StoppedThread stopped(0);
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    ASSERT_NE(ntdll, nullptr);
    DWORD first = reinterpret_cast<DWORD>(GetProcAddress(ntdll, "RtlZeroMemory")) + 4;
    DWORD second = reinterpret_cast<DWORD>(GetProcAddress(ntdll, "RtlFillMemory")) + 4;
    static DWORD area[64] = {};
    area[32] = 0;       // saved frame pointer: end of chain
    area[33] = second;  // return address
    CONTEXT context = stopped.context;
    context.Eip = first;
    context.Esp = reinterpret_cast<DWORD>(&area[16]);
    context.Ebp = reinterpret_cast<DWORD>(&area[32]);
    CCrashCapture capture;
    Prepare(capture, pid, stopped.id, context);
    bool walked = BuildReport(capture);
    EXPECT_FALSE(walked);
    EXPECT_EQ(capture.Report().CrashId(), L"0123456789abcdef0123456789abcdef");
    EXPECT_EQ(Field(capture.Report().Text(), L"HashCode:", L"\r\n"), L"0123456789abcdef0123456789abcdef");
    EXPECT_GE(CountStackLines(capture.Report().Text()), 1u);
    std::wstring stack = Field(capture.Report().Text(), L"\r\nStack:\r\n", L"\r\nSystem Process:");
    EXPECT_NE(stack.find(suite::WFormat(L"0x%llp  ", static_cast<unsigned long long>(first))),
              std::wstring::npos)
        << suite::ToUtf8(stack);
  }
}

TEST(ReportWalk, EndedProcessGivesNoMemorySectionAndNoWindows) {
  // A child that has already ended, whose object a handle still keeps (Kelvor holds one to wait on).
  wchar_t self[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring command = L"\"" + std::wstring(self) + L"\" --gtest_filter=None.None";
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION child = {};
  ASSERT_TRUE(
      CreateProcessW(self, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &child));
  suite::ScopedKernelObject process(child.hProcess);
  suite::ScopedKernelObject thread(child.hThread);
  ASSERT_EQ(WaitForSingleObject(process.get(), 60000), WAIT_OBJECT_0);

  CONTEXT context = {};
  context.ContextFlags = CONTEXT_FULL;
  context.Eip = 0x401000;
  context.Esp = 0x120000;
  context.Ebp = 0x120010;
  CCrashCapture capture;
  Prepare(capture, child.dwProcessId, child.dwThreadId, context);
  EXPECT_FALSE(BuildReport(capture));
  const std::wstring& text = capture.Report().Text();
  EXPECT_EQ(text.find(L"System Memory:"), std::wstring::npos);
  EXPECT_NE(text.find(L"\r\n\r\nWindow Info:\r\n\r\nUserContext:\r\n"), std::wstring::npos)
      << suite::ToUtf8(text.substr(text.size() > 300 ? text.size() - 300 : 0));
  EXPECT_EQ(capture.Report().CrashId(), L"0123456789abcdef0123456789abcdef");
  EXPECT_TRUE(capture.Report().IsBuilt());
  // A walk over a process that is gone stands still: it stops instead of printing one frame again
  // and again.
  std::wstring stack = Field(text, L"\r\nStack:\r\n", L"\r\nSystem Process:");
  EXPECT_LE(CountStackLines(text), 1u) << suite::ToUtf8(stack);
  EXPECT_EQ(text.find(suite::WFormat(L" Pid:%d Parrent", static_cast<int>(child.dwProcessId))),
            std::wstring::npos);
}

// What DbgHelp does when the walked process dies under it cannot be brought about on purpose: it
// keeps answering with the frame it already gave. The real walk runs for two frames, then this
// stand-in repeats the last one.
CDbgHelper::StackWalk64Fn g_realStackWalk = nullptr;
int g_realSteps = 0;
BOOL WINAPI StandingStillWalk(DWORD machine, HANDLE process, HANDLE thread, LPSTACKFRAME64 frame,
                              PVOID context, PREAD_PROCESS_MEMORY_ROUTINE64 read,
                              PFUNCTION_TABLE_ACCESS_ROUTINE64 table, PGET_MODULE_BASE_ROUTINE64 base,
                              PTRANSLATE_ADDRESS_ROUTINE64 translate) {
  if (g_realSteps-- > 0)
    return g_realStackWalk(machine, process, thread, frame, context, read, table, base, translate);
  return TRUE;
}

TEST(ReportWalk, AWalkThatStandsStillEndsAtOnce) {
  StoppedThread stopped(6);
  CDbgHelper* dbg = CDbgHelper::Instance();
  ASSERT_NE(dbg->StackWalk64, nullptr);
  g_realStackWalk = dbg->StackWalk64;
  g_realSteps = 2;
  dbg->StackWalk64 = &StandingStillWalk;
  CCrashCapture capture;
  Prepare(capture, GetCurrentProcessId(), stopped.id, stopped.context);
  BuildReport(capture);
  dbg->StackWalk64 = g_realStackWalk;
  EXPECT_EQ(CountStackLines(capture.Report().Text()), 2u)
      << suite::ToUtf8(Field(capture.Report().Text(), L"\r\nStack:\r\n", L"\r\nSystem Process:"));
}

TEST(ReportWalk, NothingIsBuiltForAnInvalidCapture) {
  CCrashReport report;
  EXPECT_FALSE(report.BuildReportText(nullptr, GetCurrentProcessId(), L"", L""));
  EXPECT_EQ(report.Text(), L"");
  EXPECT_TRUE(report.IsBuilt());
  EXPECT_EQ(report.WalkResult(), 0u);
  std::wstring untouched = L"keep";
  EXPECT_FALSE(report.FormatReportHeader(nullptr, L"", untouched));
  EXPECT_FALSE(report.FormatMemoryStatus(0, untouched));
  EXPECT_EQ(untouched, L"keep");
  CCrashCapture capture;
  EXPECT_FALSE(BuildReport(capture));
  EXPECT_FALSE(capture.Report().IsBuilt());
  std::wstring email;
  EXPECT_FALSE(capture.LaunchUploader(email));
}

// ---- The uploader launch, read back from a recording "Ulvane.exe". ----

std::wstring FolderOf(const std::wstring& path) { return path.substr(0, path.rfind(L'\\')); }

TEST(LaunchUploader, CommandLineAsTheUploaderReceivesIt) {
  InstallDirScope restore;
  TempFolder install(L"report_launch_install");
  const std::wstring recorder = HostPath(REPORT_RECORDER_EXE);
  RecordingUploader installed(install.path(), recorder);
  ASSERT_TRUE(installed.installed());
  InstallDirScope::Set(install.path().c_str());

  // A record without a context: the walk cannot start and leaves no fault module at all.
  CONTEXT none = {};
  std::unique_ptr<protocol::BugInfoBlock> block = NewBlock(GetCurrentProcessId(), GetCurrentThreadId(), none);
  block->contextFlags = 0;
  protocol::SetSlotText(block->productVersion, L"5.2.0.118");
  protocol::SetSlotText(block->appName, L"Orv.exe");
  CCrashCapture capture;
  capture.AdoptRecord(*block, GetCurrentProcessId(), GetCurrentThreadId());
  std::wstring email;
  // Not built yet: nothing starts.
  EXPECT_FALSE(capture.LaunchUploader(email));
  BuildReport(capture);
  EXPECT_EQ(capture.Report().FaultModule(), L"");
  EXPECT_EQ(capture.Report().CrashId(), protocol::kFixedCrashId);

  // The uploader, which refuses an empty module, gets the report's "UnKnown".
  const std::wstring expectedHead = L"/Start:report /Path:" + capture.DumpFileName() +
                                    L" /Version:5.2.0.118 /Module:UnKnown /App:Orv.exe"
                                    L" /ID:0123456789abcdef0123456789abcdef /Email:";
  const std::wstring forty = std::wstring(30, L'q') + L"@vemko.com";
  email = forty;
  ASSERT_TRUE(capture.LaunchUploader(email));
  EXPECT_EQ(installed.Take(30000), expectedHead + forty);
  EXPECT_EQ(email, forty);

  email = forty + L"x";
  ASSERT_TRUE(capture.LaunchUploader(email));
  EXPECT_EQ(installed.Take(30000), expectedHead);
  EXPECT_EQ(email, L"");  // the stored value is cleared too

  // Without the uninstall key, or with the key but no "InstallDir", the dumps go to Kelvor's own
  // folder: the uploader beside Kelvor (here: beside this program) starts, never one that
  // happens to lie in the current folder.
  wchar_t self[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  RecordingUploader beside(FolderOf(self), recorder);
  ASSERT_TRUE(beside.installed());
  wchar_t current[MAX_PATH] = {};
  GetCurrentDirectoryW(MAX_PATH, current);
  SetCurrentDirectoryW(install.path().c_str());
  RegDeleteKeyW(HKEY_LOCAL_MACHINE, protocol::kUninstallKey);
  ASSERT_TRUE(capture.LaunchUploader(email));
  EXPECT_EQ(beside.Take(30000), expectedHead);
  InstallDirScope::Set(nullptr);  // the key alone
  ASSERT_TRUE(capture.LaunchUploader(email));
  EXPECT_EQ(beside.Take(30000), expectedHead);
  InstallDirScope::Set(L"");  // an empty value names no folder either
  ASSERT_TRUE(capture.LaunchUploader(email));
  EXPECT_EQ(beside.Take(30000), expectedHead);
  EXPECT_FALSE(Exists(install / kReceivedFile));
  SetCurrentDirectoryW(current);
}

}  // namespace
