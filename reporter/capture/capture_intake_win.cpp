// CCrashCapture's intake: the "/BugInfo:" switch, the record read out of the crashed process, this
// crash's names, and what the record asks of the run.
#include <cstring>
#include <vector>

#include "common/diag_failure_win.h"
#include "common/diag_log.h"
#include "reporter/capture/capture_rules.h"
#include "reporter/capture/crash_capture_win.h"
#include "reporter/capture/path_name_gen_win.h"
#include "reporter/capture/system_facts_win.h"

namespace kelvor {

namespace {

// The crash handler notes GetTickCount() at the crash. An age beyond this is not believed (a
// stale or forged record); the intake then stands in for the moment of the crash.
const DWORD kMaxBelievedCrashAgeMs = 5 * 60 * 1000;

uint64_t CrashTimeOf(uint32_t crashTick) {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  uint64_t t = (static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
  DWORD age = GetTickCount() - crashTick;
  if (crashTick != 0 && age < kMaxBelievedCrashAgeMs) t -= static_cast<uint64_t>(age) * 10000;
  return t;
}

}  // namespace

CCrashCapture::CCrashCapture() = default;

CCrashCapture::~CCrashCapture() {
  // The worker uses this object; it must be done before the object goes.
  WaitForFullDump();
}

bool CCrashCapture::LoadFromCommandLine(const wchar_t* commandLine) {
  suite::DiagPhase phase("intake");
  // Without it reading may still work; the intake goes on either way.
  if (!EnableDebugPrivilege()) suite::DiagFailed("EnableDebugPrivilege");

  protocol::BugInfoSwitch parsed = protocol::ParseBugInfoSwitch(commandLine ? commandLine : L"");
  if (!parsed.found) return false;
  // Kept at once: a failed intake must still release the crashed process through the event.
  processId = parsed.processId;
  threadId = parsed.threadId;
  releaseEvent.Arm(reinterpret_cast<HANDLE>(static_cast<uintptr_t>(parsed.eventHandle)));

  suite::ScopedKernelObject process(OpenProcess(PROCESS_VM_READ, FALSE, processId));
  if (!process) return suite::DiagFailed("OpenProcess");  // not readable: nothing to capture

  ReadMemoryFn read = [&process](uint32_t address, void* buffer, uint32_t size) {
    SIZE_T done = 0;
    if (!ReadProcessMemory(process.get(), reinterpret_cast<LPCVOID>(static_cast<uintptr_t>(address)), buffer,
                           size, &done))
      return suite::DiagFailed("ReadProcessMemory");
    return done == size;
  };
  std::vector<uint8_t> bytes;
  if (ReadBugInfoBlock(read, parsed.blockAddress, bytes) != IntakeError::None) return false;

  protocol::BugInfoBlock block;
  std::memcpy(&block, bytes.data(), sizeof(protocol::BugInfoBlock));
  AdoptRecord(block, processId, threadId);
  return true;
}

void CCrashCapture::AdoptRecord(const protocol::BugInfoBlock& block, DWORD crashedProcessId,
                                DWORD crashedThreadId) {
  bugInfo.reset(new protocol::BugInfoBlock(block));
  processId = crashedProcessId;
  threadId = crashedThreadId;
  crashTime = CrashTimeOf(bugInfo->crashTickCount);
  // The stem comes from the crashed process: it must not lead out of the dump folder, break the
  // uploader's command line or make a path too long for any of the crash's files.
  CPathNameGen* names = CPathNameGen::Instance();
  const std::wstring dumpFolder = names->ResolveDumpFolder();
  std::wstring stem = SafeNameStem(protocol::SlotText(bugInfo->nameStem), NameStemBudget(dumpFolder.size()));
  names->MakeDumpFileName(stem.c_str(), dumpFileName);
  reportFileName = ReportNameFor(dumpFileName);
  fullDumpFileName = FullDumpNameFor(dumpFileName);
  valid = TRUE;
}

bool CCrashCapture::IsProductProcess() const {
  return valid && IsProductProcessName(protocol::SlotText(bugInfo->appName));
}

bool CCrashCapture::ShouldShowReportWindow() const { return !valid || bugInfo->showWindow != 0; }

bool CCrashCapture::ShouldRestart() const { return valid && bugInfo->restart != 0; }

DWORD CCrashCapture::GetCrashedProcessId() const { return valid ? processId : 0; }

uint32_t CCrashCapture::FullDumpMode() const { return valid ? bugInfo->fullDumpMode : 0; }

std::wstring CCrashCapture::AppName() const {
  return valid ? protocol::SlotText(bugInfo->appName) : std::wstring();
}

}  // namespace kelvor
