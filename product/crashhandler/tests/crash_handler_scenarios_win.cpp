// The product's crash handler under Wine with real processes: the installed demo crashes in the
// ways a product does (two threads at once, a call through a null pointer, abort, an uncaught C++
// exception, a pure call, an invalid parameter) and Kelvor's dump, report and mark, the exception
// code in the dump and the uploader's command line (a recording Ulvane.exe) are checked. Where the
// handler is watched on its own, a stand-in Kelvor records what it was handed and then releases,
// dies or hangs. Run by handler_scenarios.sh after the install step.
#include <windows.h>
// windows.h first: the other Windows headers build on its types.
#include <dbghelp.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "common/protocol/uploader_switches.h"
#include "common/scoped_handle_win.h"
#include "common/testing/demo_scenario_win.h"
#include "common/wformat.h"
#include "product/crashhandler/crash_handler_win.h"

#if !defined(STANDIN_EXE) || !defined(RECORDER_EXE)
#error "STANDIN_EXE and RECORDER_EXE must name the Kelvor and Ulvane stand-ins"
#endif

namespace {

using namespace scenario;

const wchar_t kWork[] = L"C:\\handler_scenarios\\";

// A crashing demo and the Kelvor (real or stand-in) it started, opened as soon as it shows up.
struct Crashing {
  suite::ScopedKernelObject demo, reporter;
  explicit Crashing(const std::wstring& commandLine) {
    DWORD demoId = 0, reporterId = 0;
    demo = StartProcess(commandLine, &demoId);
    if (!demo) return;
    WaitUntil([&] { return (reporterId = FindChildProcess(demoId, L"Kelvor.exe")) != 0; }, 30000, 0);
    if (reporterId)
      reporter.reset(
          OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE | PROCESS_QUERY_INFORMATION, FALSE, reporterId));
  }
};

DWORD ExitCodeOf(HANDLE process) { return WaitForExit(process, 0); }

double ExitTimeMs(HANDLE process) {
  FILETIME created, exited, kernel, user;
  if (!GetProcessTimes(process, &created, &exited, &kernel, &user)) return -1;
  ULARGE_INTEGER t;
  t.LowPart = exited.dwLowDateTime;
  t.HighPart = exited.dwHighDateTime;
  return static_cast<double>(t.QuadPart) / 10000.0;
}

// The exception stream of a minidump, read by DbgHelp.
struct DumpException {
  bool found = false;
  DWORD code = 0, threadId = 0;
  ULONG64 address = 0;
};

DumpException ReadDumpException(const std::wstring& path) {
  DumpException out;
  suite::ScopedFile file(
      CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  if (!file) return out;
  suite::ScopedKernelObject mapping(CreateFileMappingW(file.get(), nullptr, PAGE_READONLY, 0, 0, nullptr));
  void* base = mapping ? MapViewOfFile(mapping.get(), FILE_MAP_READ, 0, 0, 0) : nullptr;
  MINIDUMP_DIRECTORY* directory = nullptr;
  void* stream = nullptr;
  ULONG size = 0;
  if (base && MiniDumpReadDumpStream(base, ExceptionStream, &directory, &stream, &size) &&
      size >= sizeof(MINIDUMP_EXCEPTION_STREAM)) {
    auto* exception = static_cast<MINIDUMP_EXCEPTION_STREAM*>(stream);
    out.found = true;
    out.code = exception->ExceptionRecord.ExceptionCode;
    out.address = exception->ExceptionRecord.ExceptionAddress;
    out.threadId = exception->ThreadId;
  }
  if (base) UnmapViewOfFile(base);
  return out;
}

// The demo's function that a frame in Orv.exe returns into, from the build's debug file of Orv.exe (the
// installed one is stripped; the debug file keeps its sections and addresses). A return address can be
// the first byte after its function, hence the byte before it.
std::string DemoFunctionAt(const std::wstring& orvPath, DWORD offset) {
  static const HANDLE kSession = reinterpret_cast<HANDLE>(0x4F7276);  // any value names a session
  static DWORD64 base = 0;
  if (!base && SymInitializeW(kSession, nullptr, FALSE))
    base = SymLoadModuleExW(kSession, nullptr, orvPath.c_str(), nullptr, 0x10000000, 0, nullptr, 0);
  alignas(SYMBOL_INFOW) char buffer[sizeof(SYMBOL_INFOW) + 256 * sizeof(wchar_t)] = {};
  auto* symbol = reinterpret_cast<SYMBOL_INFOW*>(buffer);
  symbol->SizeOfStruct = sizeof(SYMBOL_INFOW);
  symbol->MaxNameLen = 256;
  DWORD64 displacement = 0;
  if (!base || !SymFromAddrW(kSession, base + offset - 1, &displacement, symbol)) return "";
  return suite::ToUtf8(symbol->Name);
}

bool NamesFunction(const std::string& name, const std::string& function) {
  return name == function ||
         (name.size() > function.size() + 2 &&
          name.compare(name.size() - function.size() - 2, std::string::npos, "::" + function) == 0);
}

// What one crash of the demo left behind.
struct Crash {
  DWORD exitCode = 0;
  std::wstring dumpName, reportName, report, received;
  DumpException exception;
  DWORD markType = 0, markData = 1;
  bool marked = false;
};

class HandlerScenario : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    CreateDirectoryW(kWork, nullptr);
    // The recording uploader in place of the real one, which is put back afterwards.
    uploader_.reset(new RecordingUploader(InstallFolder(), HostPath(RECORDER_EXE)));
  }

  static void TearDownTestSuite() {
    uploader_.reset();
    DeleteMarks(kVersion);
  }

  void SetUp() override {
    install = InstallFolder();
    ASSERT_FALSE(install.empty()) << "run the install step first";
    dump = install + L"dump\\";
    ASSERT_TRUE(Exists(install + L"Kelvor.exe"));
    ASSERT_TRUE(Exists(install + L"Ulvane.exe"));
    ASSERT_TRUE(WaitUntilAllEnded());
    DeleteFiles(dump);
    DeleteMarks(kVersion);
    uploader_->Take();  // no record of an earlier crash
  }

  std::wstring Demo(const std::wstring& options, const std::wstring& kind) {
    return L"\"" + install + L"Orv.exe\" " + options + L" crash " + kind;
  }

  // Crashes the demo with the real Kelvor and waits until Kelvor and the uploader have ended.
  Crash CrashWithKelvor(const std::wstring& kind, const std::wstring& stem) {
    Crash c;
    DeleteFiles(dump);
    c.exitCode = RunAndWait(Demo(L"--stem " + stem, kind));
    EXPECT_TRUE(WaitUntilAllEnded(180000, {L"Orv.exe", L"Kelvor.exe", L"Ulvane.exe"}));
    for (const auto& name : ListFiles(dump)) {
      if (name.size() > 4 && name.compare(name.size() - 4, 4, L".dmp") == 0) c.dumpName = name;
      if (name.size() > 4 && name.compare(name.size() - 4, 4, L".txt") == 0) c.reportName = name;
    }
    if (!c.reportName.empty()) c.report = ReadUtf16File(dump + c.reportName);
    if (!c.dumpName.empty()) {
      c.exception = ReadDumpException(dump + c.dumpName);
      c.marked = MarkExists(kVersion, c.dumpName, &c.markData, &c.markType);
    }
    c.received = uploader_->Take();
    return c;
  }

  // A dump, its report and its mark, and the uploader told about them with a module and an ID.
  void ExpectReported(const Crash& c, DWORD code) {
    EXPECT_EQ(c.exitCode, code) << "the process ended by its own crash";
    ASSERT_FALSE(c.dumpName.empty()) << "no dump";
    EXPECT_EQ(c.reportName, c.dumpName.substr(0, c.dumpName.size() - 4) + L".txt");
    EXPECT_TRUE(c.exception.found);
    EXPECT_EQ(c.exception.code, code) << "the exception record reached Kelvor's dump";
    EXPECT_TRUE(c.marked);
    EXPECT_EQ(c.markType, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(c.markData, 0u);
    std::wstring module = Field(c.report, L"\r\nModule:", L"   Data:");
    std::wstring id = Field(c.report, L"\r\nHashCode:", L"\r\n");
    EXPECT_FALSE(module.empty());
    EXPECT_EQ(id.size(), 32u);
    EXPECT_NE(id, protocol::kFixedCrashId) << "the stack was walked";
    EXPECT_EQ(c.received, L"/Start:report /Path:" + c.dumpName + L" /Version:1.0.0.1 /Module:" + module +
                              L" /App:Orv.exe /ID:" + id + L" /Email:");
  }

  static std::unique_ptr<RecordingUploader> uploader_;
  std::wstring install, dump;
};

std::unique_ptr<RecordingUploader> HandlerScenario::uploader_;

TEST_F(HandlerScenario, TwoThreadsCrashingAtOnceLeaveTheFirstCrashWholeReported) {
  // The second thread arrives while the first hands off; it used to end the process at once.
  for (int run = 0; run < 3; ++run) {
    SCOPED_TRACE(run);
    Crash c = CrashWithKelvor(L"twothreads", L"Twins");
    ExpectReported(c, EXCEPTION_ACCESS_VIOLATION);
    EXPECT_NE(c.exitCode, 0xDEADu);
  }
}

TEST_F(HandlerScenario, NullCallIsWalkedFromItsCallSiteAndGetsTheSameIdEachTime) {
  Crash first = CrashWithKelvor(L"nullcall", L"NullCall");
  ExpectReported(first, EXCEPTION_ACCESS_VIOLATION);
  EXPECT_EQ(first.exception.address, 0u) << "the dump keeps the fault as it happened";
  EXPECT_EQ(Field(first.report, L"\r\nModule:", L"   Data:"), L"Orv.exe");
  std::wstring stack = Field(first.report, L"\r\nStack:\r\n", L"\r\n");
  EXPECT_NE(stack.find(L"  orv"), std::wstring::npos)
      << "first frame at the call site: " << suite::ToUtf8(stack);

  Crash second = CrashWithKelvor(L"nullcall", L"NullCall");
  ExpectReported(second, EXCEPTION_ACCESS_VIOLATION);
  EXPECT_EQ(Field(second.report, L"\r\nHashCode:", L"\r\n"), Field(first.report, L"\r\nHashCode:", L"\r\n"));
}

// Each runtime route is walked from the frame that gave up: the demo's function that called abort,
// threw, made the pure call (the base destructor's body is inlined into it) or handed the C runtime a null
// destination (in ucrtbase.dll, in msvcrt.dll by name, and as the toolchain links it) is on the stack before
// any frame of its caller in OrvCore.dll, and the crash is credited to Orv.exe.
TEST_F(HandlerScenario, RuntimeEndsAreReportedWithCodesOfTheirOwnFromTheFrameThatCrashed) {
  struct Case {
    const wchar_t* kind;
    DWORD code;
    const char* function;
  } cases[] = {{L"abort", orv::kCrashAbort, "CrashAbort"},
               {L"throw", orv::kCrashUncaughtException, "CrashThrow"},
               {L"purecall", orv::kCrashPureCall, "CrashPureCall"},
               {L"invalidparam", orv::kCrashInvalidParameter, "CrashInvalidParameter"},
               {L"invalidparam-msvcrt", orv::kCrashInvalidParameter, "CrashInvalidParameterInMsvcrt"},
               {L"invalidparam-linked", orv::kCrashInvalidParameter, "CrashInvalidParameterLinked"}};
  for (const Case& k : cases) {
    SCOPED_TRACE(suite::ToUtf8(k.kind));
    Crash c = CrashWithKelvor(k.kind, L"Runtime");
    ExpectReported(c, k.code);
    EXPECT_EQ(Field(c.report, L"\r\nModule:", L"   Data:"), L"Orv.exe");
    std::string walked;
    bool found = false;
    for (const StackLine& f : ReportStack(c.report)) {
      const std::string name =
          f.module == L"orv" ? DemoFunctionAt(HostPath(ORV_DEBUG), static_cast<DWORD>(f.offset)) : "";
      walked += suite::ToUtf8(f.module) + ":" + name + " ";
      if (NamesFunction(name, k.function)) found = true;
      if (found || f.module == L"orvcore") break;
    }
    EXPECT_TRUE(found) << "walked " << walked;
  }
}

// ---- The handler on its own, with the stand-in Kelvor -----------------------------------------

class StandInScenario : public HandlerScenario {
 protected:
  void SetUp() override {
    HandlerScenario::SetUp();
    record = std::wstring(kWork) + L"standin.txt";
    DeleteFileW(record.c_str());
    note = std::wstring(kWork) + L"note.txt";
    DeleteFileW(note.c_str());
    SetEnvironmentVariableW(L"KELVOR_STANDIN_OUT", record.c_str());
  }
  void TearDown() override {
    SetEnvironmentVariableW(L"KELVOR_STANDIN", nullptr);
    SetEnvironmentVariableW(L"KELVOR_STANDIN_OUT", nullptr);
  }

  // The command line of a demo whose Kelvor is the stand-in, which behaves as `action` says.
  std::wstring WithStandIn(const std::wstring& action, const std::wstring& options) {
    SetEnvironmentVariableW(L"KELVOR_STANDIN", action.c_str());
    return Demo(L"--reporter \"" + HostPath(STANDIN_EXE) + L"\" --observe " + note + L" " + options, L"null");
  }

  std::wstring record, note;
};

TEST_F(StandInScenario, KelvorInheritsTheReleaseEventAndNothingElse) {
  Crashing c(WithStandIn(L"release 0", L"--canary OrvScenarioCanary"));
  ASSERT_TRUE(c.demo.get() && c.reporter.get());
  ASSERT_EQ(WaitForSingleObject(c.demo.get(), 60000), WAIT_OBJECT_0);
  Note received = ParseNote(ReadFileBytes(record));
  EXPECT_EQ(received.Get("event_valid"), "1");
  EXPECT_EQ(received.Get("canary"), "absent") << "an inheritable handle of the product leaked into Kelvor";
  EXPECT_EQ(ParseNote(ReadFileBytes(note)).Get("released"), "1");
}

TEST_F(StandInScenario, TheWaitEndsWhenKelvorEndsWithoutReleasing) {
  Crashing c(WithStandIn(L"die 300", L""));
  ASSERT_TRUE(c.demo.get() && c.reporter.get());
  ASSERT_EQ(WaitForSingleObject(c.demo.get(), 60000), WAIT_OBJECT_0);
  ASSERT_EQ(WaitForSingleObject(c.reporter.get(), 0), WAIT_OBJECT_0);
  EXPECT_LT(ExitTimeMs(c.demo.get()) - ExitTimeMs(c.reporter.get()), 1000.0);
  EXPECT_EQ(ExitCodeOf(c.demo.get()), static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION));
  Note n = ParseNote(ReadFileBytes(note));
  EXPECT_EQ(n.Get("released"), "0");
  EXPECT_EQ(n.Get("reporter_started"), "1");
}

TEST_F(StandInScenario, AKelvorThatHangsIsWaitedForOnlyUpToTheBound) {
  Crashing c(WithStandIn(L"hang", L"--release-wait 1500"));
  ASSERT_TRUE(c.demo.get() && c.reporter.get());
  EXPECT_EQ(WaitForSingleObject(c.demo.get(), 60000), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(c.reporter.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT))
      << "the stand-in still hangs";
  TerminateProcess(c.reporter.get(), 1);
  Note n = ParseNote(ReadFileBytes(note));
  EXPECT_EQ(n.Get("released"), "0");
  EXPECT_GE(std::stod(n.Get("release_ms")), 1400.0);
}

// ---- Kelvor killed while it works ---------------------------------------------------------------

bool AppearsIn(const std::wstring& folder, const std::wstring& suffix, DWORD timeoutMs) {
  return WaitUntil([&] { return !ListFiles(folder, L"*" + suffix).empty(); }, timeoutMs, 1);
}

// What is wrong on disk: an empty dump, a report or a mark without its dump. `seen` lists every
// file with its size.
std::vector<std::string> DiskFaults(const std::wstring& dump, std::string* seen) {
  std::vector<std::string> faults;
  auto endsWith = [](const std::wstring& name, const wchar_t* tail) {
    size_t n = wcslen(tail);
    return name.size() > n && name.compare(name.size() - n, n, tail) == 0;
  };
  for (const auto& name : ListFiles(dump)) {
    size_t size = ReadFileBytes(dump + name).size();
    *seen += suite::ToUtf8(name) + ":" + std::to_string(size) + " ";
    if (endsWith(name, L".dmp") && size == 0) faults.push_back("empty dump " + suite::ToUtf8(name));
    if (endsWith(name, L".txt") && ReadFileBytes(dump + name.substr(0, name.size() - 4) + L".dmp").empty())
      faults.push_back("report without dump " + suite::ToUtf8(name));
  }
  for (const auto& mark : MarkNames(kVersion))
    if (ReadFileBytes(dump + mark).empty()) faults.push_back("mark without dump " + suite::ToUtf8(mark));
  return faults;
}

TEST_F(HandlerScenario, KelvorKilledAtAnyPointLetsTheProductEndWithinASecond) {
  // Fixed times after Kelvor's start, then the moments its first file of any kind, its dump and its
  // report first show: how far Kelvor gets in a given time differs from machine to machine.
  struct Point {
    DWORD ms;
    const wchar_t* firstFile;
  } points[] = {{0, nullptr},  {50, nullptr}, {200, nullptr}, {500, nullptr},
                {0, L".part"}, {0, L".dmp"},  {0, L".txt"}};
  for (const Point& point : points) {
    SCOPED_TRACE(point.ms);
    SCOPED_TRACE(point.firstFile ? suite::ToUtf8(point.firstFile) : "");
    DeleteFiles(dump);
    DeleteMarks(kVersion);
    Crashing c(Demo(L"--stem Killed", L"null"));
    ASSERT_TRUE(c.demo.get() && c.reporter.get());
    Sleep(point.ms);
    if (point.firstFile) {
      EXPECT_TRUE(AppearsIn(dump, point.firstFile, 60000));
    }
    TerminateProcess(c.reporter.get(), 1);
    ASSERT_EQ(WaitForSingleObject(c.demo.get(), 30000), WAIT_OBJECT_0);
    WaitForSingleObject(c.reporter.get(), 10000);
    EXPECT_LT(ExitTimeMs(c.demo.get()) - ExitTimeMs(c.reporter.get()), 1000.0);
    EXPECT_EQ(ExitCodeOf(c.demo.get()), static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION));
    ASSERT_TRUE(WaitUntilAllEnded(180000, {L"Orv.exe", L"Kelvor.exe"}));
    // Killed while it was starting the uploader, Kelvor can leave one half made (on Windows as
    // under Wine, CreateProcess lets the new process run only at its end): it waits for ever and is
    // ended here. An uploader that did start ends by itself, well within the bound.
    if (!WaitUntilAllEnded(60000, {L"Ulvane.exe"}))
      std::printf("an uploader left half made was ended (%d)\n", EndProcesses({L"Ulvane.exe"}));

    std::string seen;
    std::vector<std::string> faults = DiskFaults(dump, &seen);
    std::printf("Kelvor killed %s: %s\n",
                point.firstFile ? ("when the first " + suite::ToUtf8(point.firstFile) + " showed").c_str()
                                : (std::to_string(point.ms) + " ms after its start").c_str(),
                seen.c_str());
    for (const auto& f : faults) ADD_FAILURE() << f;
  }
}

}  // namespace
