// Hands the crash to the uploader Ulvane; Kelvor neither waits for it nor looks at its result.
#include <windows.h>
// windows.h first: the other Windows headers build on its types.
#include <shlwapi.h>

#include <vector>

#include "common/diag_log.h"
#include "common/folders_win.h"
#include "reporter/capture/crash_capture.h"
#include "reporter/capture/uploader_command.h"

namespace kelvor {

namespace {

// The uploader's path: install folder + "Ulvane.exe". Without a usable install folder (no key, no
// "InstallDir", an empty one) the dumps go to Kelvor's own folder, and so the uploader that works
// from that folder is the one beside Kelvor, not one in whatever the current folder is.
void UploaderPath(wchar_t (&path)[MAX_PATH]) {
  DWORD capacity = MAX_PATH;
  if (!suite::ReadInstallDir(path, capacity) || path[0] == 0) {
    suite::DiagFailure("ReadInstallDir", GetLastError());
    if (!suite::ReadProgramFolder(path, MAX_PATH)) path[0] = 0;
  }
  PathAppendW(path, kUploaderFileName);
}

}  // namespace

bool CCrashCapture::LaunchUploader() {
  // Nothing was written for this crash: there is nothing to upload.
  if (!valid || !report.built || !bugInfo || nothingToHandOver) return false;
  suite::DiagPhase phase("uploader_start");
  wchar_t path[MAX_PATH] = {};
  UploaderPath(path);
  ApplyContactEmailLimit(g_ContactEmail);

  UploaderLaunchFacts facts;
  facts.dumpFileName = dumpFileName;
  facts.productVersion = SlotText(bugInfo->productVersion);
  facts.faultModule = report.faultModule;
  facts.appName = SlotText(bugInfo->appName);
  facts.crashId = report.crashId;
  facts.email = g_ContactEmail;
  std::wstring commandLine = FormatUploaderCommandLine(facts);
  // CreateProcessW may write into the command line: hand it a private, NUL-terminated copy.
  std::vector<wchar_t> writable(commandLine.begin(), commandLine.end());
  writable.push_back(0);

  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION started = {};
  if (!CreateProcessW(path, writable.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &started)) {
    suite::DiagFailure("CreateProcessW", GetLastError());
    return false;
  }
  // Nothing waits for the uploader.
  CloseHandle(started.hThread);
  CloseHandle(started.hProcess);
  return true;
}

}  // namespace kelvor
