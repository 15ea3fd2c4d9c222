// The crash text report: the facts are gathered here, the text is assembled by report_text.
#include <windows.h>
// windows.h first: the other Windows headers build on its types.
#include <psapi.h>
#include <tlhelp32.h>

#include "common/protocol/bug_info.h"
#include "common/protocol/uploader_switches.h"
#include "common/scoped_handle_win.h"
#include "reporter/capture/system_facts_win.h"
#include "reporter/report/crash_id.h"
#include "reporter/report/crash_report_win.h"
#include "reporter/report/report_text.h"

namespace kelvor {

namespace {

static_assert(sizeof(PROCESSENTRY32W) == 556, "process entry as the snapshot expects it");
static_assert(sizeof(MEMORYSTATUS) == 32, "32-bit memory status record");
static_assert(sizeof(PROCESS_MEMORY_COUNTERS_EX) == 44, "32-bit process memory record");

constexpr unsigned kMaxStackFrames = 50;

struct WindowWalk {
  DWORD processId;
  std::wstring* out;
};

BOOL CALLBACK AppendChildWindow(HWND hwnd, LPARAM param) {
  WindowWalk* walk = reinterpret_cast<WindowWalk*>(param);
  WindowFacts facts;
  facts.hwnd = static_cast<int32_t>(reinterpret_cast<INT_PTR>(hwnd));
  facts.parentWnd = static_cast<int32_t>(GetWindowLongW(hwnd, GWL_HWNDPARENT));
  wchar_t buffer[261] = {};
  // For another process's window this reads the stored caption and sends no message, so a
  // crashed, stopped window thread cannot block us here.
  if (GetWindowTextW(hwnd, buffer, 260) > 0) facts.text = buffer;
  *walk->out += FormatWindowEntry(facts);
  return TRUE;
}

BOOL CALLBACK VisitTopLevelWindow(HWND hwnd, LPARAM param) {
  WindowWalk* walk = reinterpret_cast<WindowWalk*>(param);
  DWORD processId = 0;
  GetWindowThreadProcessId(hwnd, &processId);
  if (processId == walk->processId) EnumChildWindows(hwnd, AppendChildWindow, param);
  return TRUE;
}

}  // namespace

bool CCrashReport::BuildReportText(const protocol::BugInfoBlock* block, uint32_t processId,
                                   const std::wstring& contactEmail, const std::wstring& userContext) {
  bool walked = false;
  if (block) {
    std::wstring signature;
    std::wstring stackText;
    bool allInNtdll = false;
    walked = WalkCrashStack(block, kMaxStackFrames, signature, stackText, allInNtdll);
    crashId += MakeCrashId(signature);

    ReportSections sections;
    FormatReportHeader(block, contactEmail, sections.header);
    sections.stack = stackText;
    FormatProcessList(sections.processes);
    FormatWindowInfo(processId);
    sections.windows = windowInfo;
    FormatMemoryStatus(processId, sections.memory);
    sections.command = FormatCommandSection(protocol::SlotText(block->commandLine));
    sections.userContext = FormatUserContextSection(userContext);
    text = AssembleReportText(sections);
  }
  built = 1;
  walkResult = walked ? 1 : 0;
  return walked;
}

bool CCrashReport::FormatReportHeader(const protocol::BugInfoBlock* record, const std::wstring& contactEmail,
                                      std::wstring& out) {
  if (!record) return false;
  const protocol::BugInfoBlock& block = *record;
  SYSTEMTIME now = {};
  GetLocalTime(&now);
  ReportHeaderFacts facts;
  facts.programName = protocol::SlotText(block.nameStem);
  // The version the mark is keyed by and the uploader is told: a later delivery reads it back here.
  facts.programVersion = protocol::SafeSwitchValue(protocol::SlotText(block.productVersion));
  facts.appName = protocol::SlotText(block.appName);
  GetWindowsVersionName(facts.windowsVersion);  // a name is always left, "WIN_UNKNOWN" included
  facts.is64BitSystem = Is64BitSystem();
  facts.faultModule = faultModule;
  facts.time = {now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond};
  facts.email = contactEmail;
  facts.crashId = crashId;
  out = FormatHeaderText(facts);
  return true;
}

bool CCrashReport::FormatProcessList(std::wstring& out) {
  std::vector<ProcessFacts> processes;
  bool complete = false;
  suite::ScopedKernelObject snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (snapshot.valid()) {
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    if (Process32FirstW(snapshot.get(), &entry)) {
      do {
        processes.push_back({entry.szExeFile, entry.th32ProcessID, entry.th32ParentProcessID});
      } while (Process32NextW(snapshot.get(), &entry));
      complete = true;
    }
  }
  out = FormatProcessSection(processes);
  return complete;
}

bool CCrashReport::FormatWindowInfo(uint32_t processId) {
  windowInfo = kWindowHeading;
  WindowWalk walk = {processId, &windowInfo};
  return EnumWindows(VisitTopLevelWindow, reinterpret_cast<LPARAM>(&walk)) != FALSE;
}

bool CCrashReport::FormatMemoryStatus(uint32_t processId, std::wstring& out) {
  MEMORYSTATUS system = {};
  system.dwLength = sizeof system;
  GlobalMemoryStatus(&system);

  suite::ScopedKernelObject process(
      OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, processId));
  if (!process) return false;
  // A process that has ended has no figures, even while a handle still keeps its object alive.
  DWORD exitCode = 0;
  if (!GetExitCodeProcess(process.get(), &exitCode) || exitCode != STILL_ACTIVE) return false;
  PROCESS_MEMORY_COUNTERS_EX counters = {};
  counters.cb = sizeof counters;
  if (!GetProcessMemoryInfo(process.get(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                            sizeof counters))
    return false;

  MemoryFacts facts;
  facts.memoryLoad = system.dwMemoryLoad;
  facts.totalPhys = static_cast<uint32_t>(system.dwTotalPhys);
  facts.availPhys = static_cast<uint32_t>(system.dwAvailPhys);
  facts.totalPageFile = static_cast<uint32_t>(system.dwTotalPageFile);
  facts.availPageFile = static_cast<uint32_t>(system.dwAvailPageFile);
  facts.totalVirtual = static_cast<uint32_t>(system.dwTotalVirtual);
  facts.availVirtual = static_cast<uint32_t>(system.dwAvailVirtual);
  facts.workingSetSize = static_cast<uint32_t>(counters.WorkingSetSize);
  facts.quotaPagedPoolUsage = static_cast<uint32_t>(counters.QuotaPagedPoolUsage);
  facts.quotaNonPagedPoolUsage = static_cast<uint32_t>(counters.QuotaNonPagedPoolUsage);
  facts.privateUsage = static_cast<uint32_t>(counters.PrivateUsage);
  facts.pagefileUsage = static_cast<uint32_t>(counters.PagefileUsage);
  out = FormatMemorySection(facts);
  return true;
}

}  // namespace kelvor
