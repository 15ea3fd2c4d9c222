// The product-side crash handler: crash record, release event, Kelvor start, bounded wait.
#include "product/crashhandler/crash_handler.h"

#include <cstdio>
#include <cstring>

namespace orv {

namespace {

kelvor::BugInfoBlock g_record;
CrashHandlerOptions g_options;
// Built at install time: the crash path should not have to allocate.
wchar_t g_reporterPath[MAX_PATH + 1];
wchar_t g_commandLine[2 * MAX_PATH + 128];
volatile LONG g_handling = 0;

// The exception being handled, for the helper thread of a stack overflow.
EXCEPTION_POINTERS* g_exception = nullptr;
DWORD g_crashedThreadId = 0;
HandOffResult g_result;

const wchar_t kUninstallKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Vemko Antivirus";

std::wstring ProgramPath() {
  wchar_t path[MAX_PATH + 1] = {};
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  return path;
}

std::wstring InstallFolder() {
  wchar_t buffer[MAX_PATH + 1] = {};
  DWORD bytes = sizeof(buffer) - sizeof(wchar_t);
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kUninstallKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return L"";
  LONG rc = RegQueryValueExW(key, L"InstallDir", nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &bytes);
  RegCloseKey(key);
  return rc == ERROR_SUCCESS ? buffer : L"";
}

std::wstring DefaultReporterPath() {
  std::wstring folder = InstallFolder();
  if (folder.empty()) {
    std::wstring self = ProgramPath();
    folder = self.substr(0, self.rfind(L'\\'));
  }
  if (!folder.empty() && folder.back() != L'\\') folder += L'\\';
  return folder + L"Kelvor.exe";
}

std::wstring DefaultStem() {
  std::wstring self = ProgramPath();
  std::wstring name = self.substr(self.rfind(L'\\') + 1);
  size_t dot = name.rfind(L'.');
  return dot == std::wstring::npos ? name : name.substr(0, dot);
}

void FillFixedParts(const CrashHandlerOptions& o) {
  std::memset(&g_record, 0, sizeof(g_record));
  g_record.headerLength = kelvor::kBugInfoHeaderLength;
  g_record.magic = kelvor::kBugInfoMagic;
  g_record.totalSize = kelvor::kBugInfoSize;
  g_record.handlerVersion = 1;
  g_record.processId = GetCurrentProcessId();
  std::wstring self = ProgramPath();
  kelvor::SetSlotText(g_record.nameStem, o.nameStem.empty() ? DefaultStem() : o.nameStem);
  kelvor::SetSlotText(g_record.appName, self.substr(self.rfind(L'\\') + 1));
  kelvor::SetSlotText(g_record.serviceName, o.serviceName);
  kelvor::SetSlotText(g_record.restartCommandLine,
                      o.restartCommandLine.empty() ? std::wstring(GetCommandLineW()) : o.restartCommandLine);
  kelvor::SetSlotText(g_record.commandLine, GetCommandLineW());
  kelvor::SetSlotText(g_record.productVersion, o.productVersion);
  g_record.showWindow = o.showWindow ? 1 : 0;
  g_record.isService = o.isService ? 1 : 0;
  g_record.restart = o.restart ? 1 : 0;
  g_record.fullDumpMode = o.fullDumpMode;
}

void FillCrashParts(EXCEPTION_POINTERS* exception, DWORD threadId) {
  g_record.threadId = threadId;
  g_record.crashTickCount = g_result.crashTick;
  g_record.exceptionPointers = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(exception));
  if (exception && exception->ExceptionRecord) {
    g_record.exceptionCode = exception->ExceptionRecord->ExceptionCode;
    g_record.exceptionAddress =
        static_cast<uint32_t>(reinterpret_cast<uintptr_t>(exception->ExceptionRecord->ExceptionAddress));
  }
  if (exception && exception->ContextRecord) {
    static_assert(sizeof(CONTEXT) == kelvor::kX86ContextSize, "32-bit x86 CONTEXT");
    std::memcpy(g_record.context, exception->ContextRecord, sizeof(CONTEXT));
    g_record.contextFlags = exception->ContextRecord->ContextFlags;
  }
}

// Starts Kelvor with the record's address, this process, the crashed thread and the release
// event (inherited, so its value is valid in Kelvor), then waits for the release.
void HandOff() {
  FillCrashParts(g_exception, g_crashedThreadId);

  SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
  HANDLE release = CreateEventW(&inherit, TRUE, FALSE, nullptr);
  if (!release) return;  // no way to be released: end at once rather than wait blind

  std::wstring arguments;
  wchar_t fields[96];
  swprintf(fields, 96, L"%08lX,%lu,%lu,%lu",
           static_cast<unsigned long>(reinterpret_cast<uintptr_t>(&g_record)),
           static_cast<unsigned long>(GetCurrentProcessId()), static_cast<unsigned long>(g_crashedThreadId),
           static_cast<unsigned long>(reinterpret_cast<uintptr_t>(release)));
  if (g_options.beforeLaunch) {
    arguments = std::wstring(L"/BugInfo:") + fields;
    g_options.beforeLaunch(g_record, arguments);
    swprintf(g_commandLine, sizeof(g_commandLine) / sizeof(wchar_t), L"\"%ls\" %ls", g_reporterPath,
             arguments.c_str());
  } else {
    swprintf(g_commandLine, sizeof(g_commandLine) / sizeof(wchar_t), L"\"%ls\" /BugInfo:%ls", g_reporterPath,
             fields);
  }

  g_result.reporterCommandLine = g_commandLine;

  STARTUPINFOW startup;
  ZeroMemory(&startup, sizeof(startup));
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION reporter;
  ZeroMemory(&reporter, sizeof(reporter));
  if (CreateProcessW(g_reporterPath, g_commandLine, nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                     &reporter)) {
    g_result.reporterStarted = true;
    CloseHandle(reporter.hThread);
    g_result.released = WaitForSingleObject(release, g_options.releaseWaitMs) == WAIT_OBJECT_0;
    g_result.reporterProcess = reporter.hProcess;
    if (g_options.afterRelease) g_options.afterRelease(g_result);
    CloseHandle(reporter.hProcess);
  } else if (g_options.afterRelease) {
    g_options.afterRelease(g_result);
  }
  CloseHandle(release);
}

DWORD WINAPI HandOffThread(void*) {
  HandOff();
  return 0;
}

LONG WINAPI UnhandledFilter(EXCEPTION_POINTERS* exception) {
  // A second crash while handling the first: end at once.
  if (InterlockedExchange(&g_handling, 1) != 0) TerminateProcess(GetCurrentProcess(), 0xDEAD);
  g_result.crashTick = GetTickCount();
  QueryPerformanceCounter(&g_result.crashCounter);
  g_exception = exception;
  if (exception && exception->ExceptionRecord)
    g_result.exceptionCode = exception->ExceptionRecord->ExceptionCode;
  g_crashedThreadId = GetCurrentThreadId();

  bool overflow = exception && exception->ExceptionRecord &&
                  exception->ExceptionRecord->ExceptionCode == EXCEPTION_STACK_OVERFLOW;
  if (overflow) {
    // Almost no stack is left on this thread: hand off from a fresh one.
    HANDLE helper = CreateThread(nullptr, 64 * 1024, &HandOffThread, nullptr, 0, nullptr);
    if (helper) {
      WaitForSingleObject(helper, INFINITE);
      CloseHandle(helper);
    }
  } else {
    HandOff();
  }
  UINT code = exception && exception->ExceptionRecord ? exception->ExceptionRecord->ExceptionCode : 1;
  TerminateProcess(GetCurrentProcess(), code);
  return EXCEPTION_EXECUTE_HANDLER;
}

}  // namespace

void InstallCrashHandler(const CrashHandlerOptions& options) {
  g_options = options;
  std::wstring reporter = options.reporterPath.empty() ? DefaultReporterPath() : options.reporterPath;
  lstrcpynW(g_reporterPath, reporter.c_str(), MAX_PATH + 1);
  FillFixedParts(options);
  SetUnhandledExceptionFilter(&UnhandledFilter);
}

kelvor::BugInfoBlock& CrashRecord() { return g_record; }

}  // namespace orv
