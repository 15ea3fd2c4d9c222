// The product-side crash handler: crash record, release event, Kelvor start, bounded wait.
#include "product/crashhandler/crash_handler_win.h"

#include <cstdio>
#include <cstring>

#include "common/folders_win.h"
#include "common/path.h"
#include "common/proc_address_win.h"
#include "common/protocol/bug_info_switch.h"
#include "common/protocol/file_names.h"
#include "common/scoped_handle_win.h"
#include "product/crashhandler/handle_crash_win.h"

namespace orv {

namespace {

protocol::BugInfoBlock g_record;
CrashHandlerOptions g_options;
// Built at install time: the crash path should not have to allocate.
wchar_t g_reporterPath[MAX_PATH + 1];
wchar_t g_commandLine[2 * MAX_PATH + 128];
// Room for a one-entry attribute list (about 40 bytes on Windows and Wine).
alignas(8) unsigned char g_attributeList[256];

// The attribute list that limits what Kelvor inherits exists from Vista on. Looked up when the
// handler is installed, since a crash may come while the loader is busy; all null on Windows XP.
typedef BOOL(WINAPI* InitializeAttributeListFn)(void*, DWORD, DWORD, SIZE_T*);
typedef BOOL(WINAPI* UpdateAttributeFn)(void*, DWORD, DWORD_PTR, void*, SIZE_T, void*, SIZE_T*);
typedef void(WINAPI* DeleteAttributeListFn)(void*);
struct AttributeListCalls {
  InitializeAttributeListFn initialize;
  UpdateAttributeFn update;
  DeleteAttributeListFn remove;
} g_attributeCalls;
// PROC_THREAD_ATTRIBUTE_HANDLE_LIST, and the start-up record that carries the list.
const DWORD_PTR kHandleListAttribute = 0x20002;
struct StartupInfoWithList {
  STARTUPINFOW startupInfo;
  void* attributeList;
};

// The thread that hands the crash off, and its helper after a stack overflow; 0 = no crash yet.
volatile LONG g_ownerThread = 0;
volatile LONG g_helperThread = 0;
// GetTickCount() by which the hand-off is over at the latest; threads that crash meanwhile wait
// until then. Moved on as the hand-off learns how long its wait may be.
volatile LONG g_handOffDeadline = 0;

// The exception being handled, for the helper thread of a stack overflow.
EXCEPTION_POINTERS* g_exception = nullptr;
DWORD g_crashedThreadId = 0;
HandOffResult g_result;

// Starting Kelvor may take a while on a busy machine (a scanner looks at every new process).
const DWORD kLaunchMarginMs = 30000;
// The product's after-release callback may wait for Kelvor itself (the demo does, up to 120 s).
const DWORD kCallbackAllowanceMs = 150000;
const DWORD kBaseReleaseWaitMs = 60000;
const unsigned long long kFullDumpBytesPerMs = 4ull * 1024 * 1024 / 1000;

std::wstring ProgramPath() {
  wchar_t path[MAX_PATH + 1] = {};
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  return path;
}

// Kelvor is found as Kelvor finds the product: in the install folder, else beside the running program.
std::wstring DefaultReporterPath() {
  return suite::JoinPath(suite::ProductFolder(nullptr), protocol::kReporterFileName);
}

std::wstring DefaultStem() {
  std::wstring name = suite::FileNamePart(ProgramPath());
  size_t dot = name.rfind(L'.');
  return dot == std::wstring::npos ? name : name.substr(0, dot);
}

void FillFixedParts(const CrashHandlerOptions& o) {
  std::memset(&g_record, 0, sizeof(g_record));
  g_record.headerLength = protocol::kBugInfoHeaderLength;
  g_record.magic = protocol::kBugInfoMagic;
  g_record.totalSize = protocol::kBugInfoSize;
  g_record.handlerVersion = 1;
  g_record.processId = GetCurrentProcessId();
  protocol::SetSlotText(g_record.nameStem, o.nameStem.empty() ? DefaultStem() : o.nameStem);
  protocol::SetSlotText(g_record.appName, suite::FileNamePart(ProgramPath()));
  protocol::SetSlotText(g_record.serviceName, o.serviceName);
  protocol::SetSlotText(g_record.restartCommandLine, o.restartCommandLine.empty()
                                                         ? std::wstring(GetCommandLineW())
                                                         : o.restartCommandLine);
  protocol::SetSlotText(g_record.commandLine, GetCommandLineW());
  protocol::SetSlotText(g_record.productVersion, o.productVersion);
  g_record.showWindow = o.showWindow ? 1 : 0;
  g_record.isService = o.isService ? 1 : 0;
  g_record.restart = o.restart ? 1 : 0;
  g_record.fullDumpMode = o.fullDumpMode;
}

bool IsExecutable(DWORD address) {
  MEMORY_BASIC_INFORMATION m;
  if (VirtualQuery(reinterpret_cast<void*>(static_cast<uintptr_t>(address)), &m, sizeof(m)) != sizeof(m))
    return false;
  const DWORD execute = PAGE_EXECUTE | PAGE_EXECUTE_READ | PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
  return m.State == MEM_COMMIT && (m.Protect & execute) != 0 && (m.Protect & PAGE_GUARD) == 0;
}

bool IsReadable(DWORD address, DWORD bytes) {
  MEMORY_BASIC_INFORMATION m;
  if (VirtualQuery(reinterpret_cast<void*>(static_cast<uintptr_t>(address)), &m, sizeof(m)) != sizeof(m))
    return false;
  const DWORD noRead = PAGE_NOACCESS | PAGE_GUARD;
  DWORD end = static_cast<DWORD>(reinterpret_cast<uintptr_t>(m.BaseAddress)) + m.RegionSize;
  return m.State == MEM_COMMIT && (m.Protect & noRead) == 0 && end - address >= bytes;
}

// A call through a null or stale function pointer faults on fetching the callee's first
// instruction: Eip is the bad target, no module holds it and no walk can start there. Nothing has
// run in the callee yet, so the caller's return address is on top of the stack and Ebp is still
// the caller's frame: the context is the caller's, right after the call, once that address is
// popped. Returns the call site, or 0 when the fault is of another kind.
DWORD ResumeAtCallSite(const EXCEPTION_RECORD& record, CONTEXT& context) {
  if (record.ExceptionCode != EXCEPTION_ACCESS_VIOLATION || IsExecutable(context.Eip)) return 0;
  if (!IsReadable(context.Esp, sizeof(DWORD))) return 0;
  DWORD returnAddress = *reinterpret_cast<const DWORD*>(static_cast<uintptr_t>(context.Esp));
  if (!IsExecutable(returnAddress)) return 0;
  context.Eip = returnAddress;
  context.Esp += sizeof(DWORD);
  return returnAddress;
}

void FillCrashParts(EXCEPTION_POINTERS* exception, DWORD threadId) {
  g_record.threadId = threadId;
  g_record.crashTickCount = g_result.crashTick;
  g_record.exceptionPointers = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(exception));
  if (!exception || !exception->ExceptionRecord || !exception->ContextRecord) return;
  g_record.exceptionCode = exception->ExceptionRecord->ExceptionCode;
  g_record.exceptionAddress =
      static_cast<uint32_t>(reinterpret_cast<uintptr_t>(exception->ExceptionRecord->ExceptionAddress));
  static_assert(sizeof(CONTEXT) == protocol::kX86ContextSize, "32-bit x86 CONTEXT");
  // The walk starts from the record's copy; the exception pointers (for the dump) keep the fault
  // exactly as it happened.
  CONTEXT walkFrom = *exception->ContextRecord;
  if (DWORD callSite = ResumeAtCallSite(*exception->ExceptionRecord, walkFrom))
    g_record.exceptionAddress = callSite;
  std::memcpy(g_record.context, &walkFrom, sizeof(CONTEXT));
  g_record.contextFlags = walkFrom.ContextFlags;
}

// Every committed byte of the process, which a full dump writes.
unsigned long long CommittedBytes() {
  SYSTEM_INFO system;
  GetSystemInfo(&system);
  unsigned long long total = 0;
  auto at = reinterpret_cast<uintptr_t>(system.lpMinimumApplicationAddress);
  const auto end = reinterpret_cast<uintptr_t>(system.lpMaximumApplicationAddress);
  MEMORY_BASIC_INFORMATION m;
  while (at < end && VirtualQuery(reinterpret_cast<void*>(at), &m, sizeof(m)) == sizeof(m) && m.RegionSize) {
    if (m.State == MEM_COMMIT) total += m.RegionSize;
    at = reinterpret_cast<uintptr_t>(m.BaseAddress) + m.RegionSize;
  }
  return total;
}

void MoveDeadline(DWORD fromNowMs) {
  InterlockedExchange(&g_handOffDeadline, static_cast<LONG>(GetTickCount() + fromNowMs));
}

void BindAttributeListCalls() {
  HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  AttributeListCalls calls = {
      suite::ProcAddress<InitializeAttributeListFn>(kernel, "InitializeProcThreadAttributeList"),
      suite::ProcAddress<UpdateAttributeFn>(kernel, "UpdateProcThreadAttribute"),
      suite::ProcAddress<DeleteAttributeListFn>(kernel, "DeleteProcThreadAttributeList")};
  if (calls.initialize && calls.update && calls.remove) g_attributeCalls = calls;
}

// Kelvor inherits the release event and nothing else of the product (open files, pipes, keys). The
// event is inheritable only for the moment of the start, so no other child started meanwhile gets
// it. Without the attribute list (Windows XP, or a list that cannot be built), Kelvor inherits the
// product's other inheritable handles too: that still beats losing the crash.
bool StartReporter(HANDLE release, PROCESS_INFORMATION* reporter) {
  StartupInfoWithList startup;
  ZeroMemory(&startup, sizeof(startup));
  startup.startupInfo.cb = sizeof(startup.startupInfo);
  void* list = g_attributeCalls.initialize ? g_attributeList : nullptr;
  SIZE_T size = sizeof(g_attributeList);
  DWORD flags = 0;
  if (list && g_attributeCalls.initialize(list, 1, 0, &size)) {
    if (g_attributeCalls.update(list, 0, kHandleListAttribute, &release, sizeof(release), nullptr, nullptr)) {
      startup.startupInfo.cb = sizeof(startup);
      startup.attributeList = list;
      flags = EXTENDED_STARTUPINFO_PRESENT;
    } else {
      g_attributeCalls.remove(list);
    }
  }
  SetHandleInformation(release, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
  BOOL started = CreateProcessW(g_reporterPath, g_commandLine, nullptr, nullptr, TRUE, flags, nullptr,
                                nullptr, &startup.startupInfo, reporter);
  SetHandleInformation(release, HANDLE_FLAG_INHERIT, 0);
  if (startup.attributeList) g_attributeCalls.remove(list);
  return started != FALSE;
}

// Starts Kelvor with the record's address, this process, the crashed thread and the release
// event (inherited, so its value is valid in Kelvor), then waits for the release or for Kelvor's
// end, whichever comes first: a Kelvor that died will never release.
void HandOff() {
  FillCrashParts(g_exception, g_crashedThreadId);

  suite::ScopedKernelObject release(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!release) return;  // no way to be released: end at once rather than wait blind

  protocol::BugInfoSwitch fields;
  fields.blockAddress = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&g_record));
  fields.processId = GetCurrentProcessId();
  fields.threadId = g_crashedThreadId;
  fields.eventHandle = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(release.get()));
  wchar_t handOff[protocol::kBugInfoSwitchCapacity];
  protocol::FormatBugInfoSwitch(fields, handOff, protocol::kBugInfoSwitchCapacity);
  if (g_options.beforeLaunch) {
    std::wstring arguments = handOff;
    g_options.beforeLaunch(g_record, arguments);
    swprintf(g_commandLine, sizeof(g_commandLine) / sizeof(wchar_t), L"\"%ls\" %ls", g_reporterPath,
             arguments.c_str());
  } else {
    swprintf(g_commandLine, sizeof(g_commandLine) / sizeof(wchar_t), L"\"%ls\" %ls", g_reporterPath, handOff);
  }

  g_result.reporterCommandLine = g_commandLine;

  PROCESS_INFORMATION reporter;
  ZeroMemory(&reporter, sizeof(reporter));
  if (StartReporter(release.get(), &reporter)) {
    g_result.reporterStarted = true;
    suite::ScopedKernelObject(reporter.hThread).Close();  // only the process is waited on
    suite::ScopedKernelObject process(reporter.hProcess);
    DWORD bound = g_options.releaseWaitMs ? g_options.releaseWaitMs
                                          : ReleaseWaitMs(g_record.fullDumpMode, CommittedBytes());
    MoveDeadline(bound + kLaunchMarginMs);
    HANDLE ends[2] = {release.get(), process.get()};
    WaitForMultipleObjects(2, ends, FALSE, bound);
    // Kelvor may have released and ended at the same moment: the event tells.
    g_result.released = WaitForSingleObject(release.get(), 0) == WAIT_OBJECT_0;
    g_result.reporterProcess = process.get();
    MoveDeadline(kCallbackAllowanceMs);
    if (g_options.afterRelease) g_options.afterRelease(g_result);
  } else if (g_options.afterRelease) {
    g_options.afterRelease(g_result);
  }
}

DWORD WINAPI HandOffThread(void*) {
  HandOff();
  return 0;
}

DWORD CodeOf(EXCEPTION_POINTERS* exception) {
  return exception && exception->ExceptionRecord ? exception->ExceptionRecord->ExceptionCode : 1;
}

// A thread that crashes while another hands its crash off: the process ends when that hand-off
// is done, and ending it here would lose the report being written. Wait for it, bounded by the
// hand-off's own deadline (never shorter than a whole hand-off from now, in case the other
// thread has not set it yet).
[[noreturn]] void WaitForOtherHandOff(EXCEPTION_POINTERS* exception) {
  const DWORD mine = GetTickCount() + kLaunchMarginMs + ReleaseWaitMs(g_record.fullDumpMode, 0);
  for (;;) {
    DWORD now = GetTickCount();
    bool ownPassed = static_cast<LONG>(now - mine) >= 0;
    bool handOffPassed = static_cast<LONG>(now - static_cast<DWORD>(g_handOffDeadline)) >= 0;
    if (ownPassed && handOffPassed) break;
    Sleep(100);
  }
  TerminateProcess(GetCurrentProcess(), CodeOf(exception));
  for (;;) Sleep(INFINITE);
}

LONG WINAPI UnhandledFilter(EXCEPTION_POINTERS* exception) { HandleCrash(exception); }

}  // namespace

DWORD ReleaseWaitMs(uint32_t fullDumpMode, unsigned long long committedBytes) {
  if (fullDumpMode == 0) return kBaseReleaseWaitMs;
  unsigned long long ms = kBaseReleaseWaitMs + committedBytes / kFullDumpBytesPerMs;
  return ms < 0x7FFFFFFFull ? static_cast<DWORD>(ms) : 0x7FFFFFFFu;
}

[[noreturn]] void HandleCrash(EXCEPTION_POINTERS* exception) {
  const DWORD self = GetCurrentThreadId();
  LONG owner = InterlockedCompareExchange(&g_ownerThread, static_cast<LONG>(self), 0);
  if (owner != 0) {
    // The hand-off itself crashed: nothing is left to wait for.
    if (static_cast<DWORD>(owner) == self || static_cast<DWORD>(g_helperThread) == self)
      TerminateProcess(GetCurrentProcess(), 0xDEAD);
    WaitForOtherHandOff(exception);
  }
  MoveDeadline(kLaunchMarginMs + ReleaseWaitMs(g_record.fullDumpMode, 0));
  g_result.crashTick = GetTickCount();
  QueryPerformanceCounter(&g_result.crashCounter);
  g_exception = exception;
  g_result.exceptionCode =
      exception && exception->ExceptionRecord ? exception->ExceptionRecord->ExceptionCode : 0;
  g_crashedThreadId = self;

  if (g_result.exceptionCode == EXCEPTION_STACK_OVERFLOW) {
    // Almost no stack is left on this thread: hand off from a fresh one.
    DWORD helperId = 0;
    suite::ScopedKernelObject helper(
        CreateThread(nullptr, 64 * 1024, &HandOffThread, nullptr, CREATE_SUSPENDED, &helperId));
    if (helper) {
      InterlockedExchange(&g_helperThread, static_cast<LONG>(helperId));
      ResumeThread(helper.get());
      WaitForSingleObject(helper.get(), INFINITE);
    }
  } else {
    HandOff();
  }
  TerminateProcess(GetCurrentProcess(), CodeOf(exception));
  for (;;) Sleep(INFINITE);  // TerminateProcess does not return for the own process
}

void InstallCrashHandler(const CrashHandlerOptions& options) {
  g_options = options;
  std::wstring reporter = options.reporterPath.empty() ? DefaultReporterPath() : options.reporterPath;
  lstrcpynW(g_reporterPath, reporter.c_str(), MAX_PATH + 1);
  FillFixedParts(options);
  BindAttributeListCalls();
  SetUnhandledExceptionFilter(&UnhandledFilter);
  InstallRuntimeRoutes();
}

protocol::BugInfoBlock& CrashRecord() { return g_record; }

}  // namespace orv
