// CCrashCapture's release of the crashed process and its full-dump worker.
#include <utility>

#include "common/diag_failure_win.h"
#include "common/diag_log.h"
#include "reporter/capture/capture_rules.h"
#include "reporter/capture/crash_capture_win.h"
#include "reporter/capture/path_name_gen_win.h"

namespace kelvor {

bool CCrashCapture::ReleaseCrashedProcess(HANDLE waitHandle) {
  bool signalled = false;
  if (releaseEvent.armed()) {
    suite::DiagPhase phase("release");
    signalled = releaseEvent.Signal() || suite::DiagFailed("SetEvent");
  }
  if (waitHandle) WaitForSingleObject(waitHandle, INFINITE);
  return signalled;
}

bool CCrashCapture::StartFullDumpWorker(std::function<void()> work) {
  if (!valid || fullDumpThread) return false;
  // The worker owns its job from the moment it runs.
  std::function<void()>* job = new std::function<void()>(std::move(work));
  fullDumpThread.reset(CreateThread(nullptr, 0, &CCrashCapture::FullDumpWorker, job, 0, nullptr));
  if (fullDumpThread) return true;
  delete job;
  return suite::DiagFailed("CreateThread");
}

DWORD WINAPI CCrashCapture::FullDumpWorker(void* argument) {
  std::function<void()>* job = static_cast<std::function<void()>*>(argument);
  (*job)();
  delete job;
  return 0;
}

bool CCrashCapture::WriteFullDump() {
  if (!valid) return false;
  fullDumpFolder = CPathNameGen::Instance()->ResolveDumpFolder();
  // Follows a normal dump whose name moved to a clash variant.
  if (!dumpFileName.empty()) fullDumpFileName = FullDumpNameFor(dumpFileName);
  suite::DiagPhase phase("full_dump");
  return WriteMiniDump(kMiniDumpFull, fullDumpFolder + fullDumpFileName, fullDumpFileName);
}

void CCrashCapture::DeleteOlderFullDumps() {
  if (!valid) return;
  // Only those written before this crash: a full dump of a crash of the same moment is left to its
  // own Kelvor.
  CPathNameGen::Instance()->DeleteOlderFullDumps(fullDumpFolder, fullDumpFileName, crashTime);
}

void CCrashCapture::WaitForFullDump() {
  if (fullDumpThread) WaitForSingleObject(fullDumpThread.get(), INFINITE);
}

}  // namespace kelvor
