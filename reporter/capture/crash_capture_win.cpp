// CCrashCapture: intake of the crash record, dumps, report file, registry mark, release, restart.
#include <cstring>
#include <vector>

#include "common/diag_log.h"
#include "common/path.h"
#include "common/scoped_handle_win.h"
#include "reporter/capture/capture_rules.h"
#include "reporter/capture/crash_capture.h"
#include "reporter/capture/crash_files_win.h"
#include "reporter/capture/dbg_helper.h"
#include "reporter/capture/path_name_gen.h"
#include "reporter/capture/system_facts.h"

namespace kelvor {

namespace {
const wchar_t kBugMarkKey[] = L"software\\Vemko Security\\Antivirus\\Bug";
// Handle data in a dump needs PROCESS_DUP_HANDLE besides the query and read rights; without it
// the dump call refuses the handle and the dump would silently never be written.
const DWORD kDumpProcessAccess = PROCESS_QUERY_INFORMATION | PROCESS_VM_READ | PROCESS_DUP_HANDLE;
// The crash handler notes GetTickCount() at the crash. An age beyond this is not believed (a
// stale or forged record); the intake then stands in for the moment of the crash.
const DWORD kMaxBelievedCrashAgeMs = 5 * 60 * 1000;

MINIDUMP_TYPE DumpTypeOf(MiniDumpKind kind) {
  return kind == kMiniDumpFull
             ? MiniDumpWithFullMemory
             : static_cast<MINIDUMP_TYPE>(MiniDumpWithHandleData | MiniDumpWithUnloadedModules |
                                          MiniDumpWithIndirectlyReferencedMemory |
                                          MiniDumpWithProcessThreadData);
}
std::wstring DumpNameItself(const std::wstring& dumpName) { return dumpName; }

uint64_t CrashTimeOf(uint32_t crashTick) {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  uint64_t t = (static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
  DWORD age = GetTickCount() - crashTick;
  if (crashTick != 0 && age < kMaxBelievedCrashAgeMs) t -= static_cast<uint64_t>(age) * 10000;
  return t;
}

// Every failed call of the capture goes to the diagnostic log (when it is on) under its name.
bool Failed(const char* call) {
  suite::DiagFailure(call, GetLastError());
  return false;
}

}  // namespace

CCrashCapture::CCrashCapture() : report(this) {}

CCrashCapture::~CCrashCapture() {
  // The worker uses this object; it must be done before the object goes.
  WaitForFullDump();
  if (fullDumpThread) CloseHandle(fullDumpThread);
  delete bugInfo;
}

bool CCrashCapture::LoadFromCommandLine(const wchar_t* commandLine) {
  suite::DiagPhase phase("intake");
  // Without it reading may still work; the intake goes on either way.
  if (!EnableDebugPrivilege()) Failed("EnableDebugPrivilege");

  BugInfoSwitch parsed = ParseBugInfoSwitch(commandLine ? commandLine : L"");
  if (!parsed.found) return false;
  // Kept at once: a failed intake must still release the crashed process through the event.
  processId = parsed.processId;
  threadId = parsed.threadId;
  releaseEvent = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(parsed.eventHandle));

  suite::ScopedKernelObject process(OpenProcess(PROCESS_VM_READ, FALSE, processId));
  if (!process) return Failed("OpenProcess");  // not readable: nothing to capture

  ReadMemoryFn read = [&process](uint32_t address, void* buffer, uint32_t size) {
    SIZE_T done = 0;
    if (!ReadProcessMemory(process.get(), reinterpret_cast<LPCVOID>(static_cast<uintptr_t>(address)), buffer,
                           size, &done))
      return Failed("ReadProcessMemory");
    return done == size;
  };
  std::vector<uint8_t> bytes;
  if (ReadBugInfoBlock(read, parsed.blockAddress, bytes) != IntakeError::None) return false;

  bugInfo = new BugInfoBlock;
  std::memcpy(bugInfo, bytes.data(), sizeof(BugInfoBlock));

  crashTime = CrashTimeOf(bugInfo->crashTickCount);
  // The stem comes from the crashed process: it must not lead out of the dump folder, break the
  // uploader's command line or make a path too long for any of the crash's files.
  CPathNameGen* names = CPathNameGen::Instance();
  std::wstring folder = names->ResolveDumpFolder();
  std::wstring stem = SafeNameStem(SlotText(bugInfo->nameStem), NameStemBudget(folder.size()));
  names->MakeDumpFileName(stem.c_str(), dumpFileName);
  reportFileName = ReportNameFor(dumpFileName);
  fullDumpFileName = FullDumpNameFor(dumpFileName);

  std::wstring app = SlotText(bugInfo->appName);
  size_t n = app.size() < 259 ? app.size() : 259;
  app.copy(g_CrashedAppName, n);
  g_CrashedAppName[n] = 0;

  valid = TRUE;
  return true;
}

bool CCrashCapture::CaptureReport() {
  if (!valid) return false;
  {
    suite::DiagPhase phase("report");
    report.BuildReportText();
  }

  std::wstring folder = CPathNameGen::Instance()->ResolveDumpFolder();
  SweepLeftoverParts(folder);
  PartFile dump;
  PartFile reportFile;
  if (!dump.Open(folder, L"dump") || !reportFile.Open(folder, L"report")) {
    // No file of our own can be made there (folder missing or not writable): nothing is written.
    nothingToHandOver = true;
    return false;
  }
  const bool dumped = WriteDumpInto(kMiniDumpNormal, dump.get());
  bool reported = false;
  {
    suite::DiagPhase phase("report_file");
    const DWORD bytes = static_cast<DWORD>(report.text.size() * sizeof(wchar_t));
    DWORD written = 0;
    reported = WriteFile(reportFile.get(), report.text.c_str(), bytes, &written, nullptr)
                   ? written == bytes
                   : Failed("WriteFile");
  }
  // Only complete files get names; a failed dump leaves none, yet its name stays free of another
  // crash's dump so that the report alone cannot be taken for that crash's.
  nothingToHandOver =
      (!dumped && !reported) || !PublishUnderFreeName(folder, dumpFileName,
                                                      {{dumped ? &dump : nullptr, &DumpNameItself},
                                                       {reported ? &reportFile : nullptr, &ReportNameFor}},
                                                      dumpFileName);
  if (nothingToHandOver) return false;
  reportFileName = ReportNameFor(dumpFileName);
  {
    suite::DiagPhase phase("mark");
    RecordDumpInRegistry();
  }
  return reported && dumped;
}

bool CCrashCapture::StartFullDumpOrRelease(bool releaseWhenNoFullDump, HANDLE waitAfterRelease) {
  if (!valid) return false;
  if (bugInfo->fullDumpMode == 0)
    return releaseWhenNoFullDump ? ReleaseCrashedProcess(waitAfterRelease) : true;
  fullDumpThread = CreateThread(nullptr, 0, &CCrashCapture::FullDumpWorker, this, 0, nullptr);
  if (fullDumpThread) return true;
  Failed("CreateThread");
  // No worker, no full dump: the crashed process must not wait for a release that never comes.
  ReleaseCrashedProcess(waitAfterRelease);
  return false;
}

DWORD WINAPI CCrashCapture::FullDumpWorker(void* argument) {
  CCrashCapture* self = static_cast<CCrashCapture*>(argument);
  CPathNameGen* names = CPathNameGen::Instance();
  std::wstring folder = names->ResolveDumpFolder();
  if (!self->dumpFileName.empty()) self->fullDumpFileName = FullDumpNameFor(self->dumpFileName);
  bool written = false;
  {
    suite::DiagPhase phase("full_dump");
    written = self->WriteMiniDump(kMiniDumpFull, folder + self->fullDumpFileName, self->fullDumpFileName);
  }
  // Older full dumps make way only for a complete new one, and only those written before this
  // crash: a full dump of a crash of the same moment is left to its own Kelvor.
  if (written && self->bugInfo->fullDumpMode == 1)
    names->DeleteOlderFullDumps(folder, self->fullDumpFileName, self->crashTime);
  self->ReleaseCrashedProcess(nullptr);  // whatever became of the full dump
  return 0;
}

bool CCrashCapture::ReleaseCrashedProcess(HANDLE waitHandle) {
  bool signalled = false;
  if (releaseEvent) {
    suite::DiagPhase phase("release");
    signalled = SetEvent(releaseEvent) != FALSE || Failed("SetEvent");
  }
  if (waitHandle) WaitForSingleObject(waitHandle, INFINITE);
  return signalled;
}

void CCrashCapture::WaitForFullDump() {
  if (fullDumpThread) WaitForSingleObject(fullDumpThread, INFINITE);
}

bool CCrashCapture::RestartCrashedProgram() {
  if (!valid) return false;
  switch (
      ChooseRestartAction(bugInfo->restart != 0, bugInfo->isService != 0, SlotText(bugInfo->serviceName))) {
    case RestartAction::Nothing:
      return false;
    case RestartAction::StartService:
      return StartServiceByName(SlotText(bugInfo->serviceName));
    case RestartAction::RunCommandLine:
      break;
  }
  // CreateProcessW may write into the command line: give it a copy of its own.
  std::wstring line = SlotText(bugInfo->restartCommandLine);
  std::vector<wchar_t> buffer(line.begin(), line.end());
  buffer.push_back(0);
  STARTUPINFOW startup;
  ZeroMemory(&startup, sizeof(startup));
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION started;
  ZeroMemory(&started, sizeof(started));
  if (!CreateProcessW(nullptr, buffer.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &started))
    return Failed("CreateProcessW");
  CloseHandle(started.hThread);
  CloseHandle(started.hProcess);
  return true;
}

bool CCrashCapture::IsProductProcess() const {
  return valid && IsProductProcessName(SlotText(bugInfo->appName));
}

bool CCrashCapture::ShouldShowReportWindow() const { return !valid || bugInfo->showWindow != 0; }

bool CCrashCapture::ShouldRestart() const { return valid && bugInfo->restart != 0; }

DWORD CCrashCapture::GetCrashedProcessId() const { return valid ? processId : 0; }

bool CCrashCapture::WriteMiniDump(MiniDumpKind kind, const std::wstring& path, std::wstring& fileName) {
  if (!valid || !report.built) return false;

  const std::wstring folder = path.substr(0, path.size() - suite::FileNamePart(path).size());
  PartFile part;
  if (!part.Open(folder, kind == kMiniDumpFull ? L"full" : L"dump")) return false;
  // An empty or cut-off dump is worth nothing and would be taken for one: it goes with its part.
  if (!WriteDumpInto(kind, part.get())) return false;
  return PublishUnderFreeName(folder, suite::FileNamePart(path), {{&part, &DumpNameItself}}, fileName);
}

bool CCrashCapture::WriteDumpInto(MiniDumpKind kind, HANDLE file) {
  if (!valid || !report.built) return false;
  CDbgHelper* dbg = CDbgHelper::Instance();
  if (!dbg->MiniDumpWriteDump) return false;

  suite::ScopedKernelObject process(OpenProcess(kDumpProcessAccess, FALSE, processId));
  if (!process) return Failed("OpenProcess");

  MINIDUMP_EXCEPTION_INFORMATION exception;
  exception.ThreadId = threadId;
  exception.ExceptionPointers =
      reinterpret_cast<PEXCEPTION_POINTERS>(static_cast<uintptr_t>(bugInfo->exceptionPointers));
  exception.ClientPointers = TRUE;  // the pointers lie in the crashed process
  // A process handle DbgHelp has not seen makes the dump call set up symbol handling for the whole
  // process first; with deferred loads it only lists the modules instead of reading every module's
  // debug information, which under Wine takes seconds while the crashed process waits.
  if (dbg->SymSetOptions) dbg->SymSetOptions(SYMOPT_DEFERRED_LOADS);
  suite::DiagPhase phase(kind == kMiniDumpFull ? "full_dump_call" : "dump_call");
  if (!dbg->MiniDumpWriteDump(process.get(), processId, file, DumpTypeOf(kind), &exception, nullptr, nullptr))
    return Failed("MiniDumpWriteDump");
  return true;
}

bool CCrashCapture::WriteReportFile(const std::wstring& path, const wchar_t* text, DWORD byteCount) {
  if (!valid) return false;
  suite::ScopedFile file(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                     FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return Failed("CreateFileW");
  DWORD written = 0;
  if (!WriteFile(file.get(), text, byteCount, &written, nullptr)) return Failed("WriteFile");
  return written == byteCount;
}

bool CCrashCapture::RecordDumpInRegistry() {
  if (!valid) return false;
  std::wstring keyName = std::wstring(kBugMarkKey) + L"\\" + SlotText(bugInfo->productVersion);
  HKEY key = nullptr;
  LONG rc = RegCreateKeyExW(HKEY_CURRENT_USER, keyName.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                            KEY_SET_VALUE | KEY_CREATE_SUB_KEY, nullptr, &key, nullptr);
  if (rc != ERROR_SUCCESS) {
    suite::DiagFailure("RegCreateKeyExW", static_cast<unsigned long>(rc));
    return false;
  }
  DWORD zero = 0;
  rc = RegSetValueExW(key, dumpFileName.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&zero),
                      sizeof(zero));
  RegCloseKey(key);
  if (rc != ERROR_SUCCESS) suite::DiagFailure("RegSetValueExW", static_cast<unsigned long>(rc));
  return rc == ERROR_SUCCESS;
}

}  // namespace kelvor
