// Hands the crash to the uploader Ulvane; Kelvor neither waits for it nor looks at its result.
#include <windows.h>
// windows.h first: the other Windows headers build on its types.
#include <shlwapi.h>

#include <vector>

#include "common/folders.h"
#include "reporter/capture/crash_capture.h"
#include "reporter/capture/uploader_command.h"

namespace kelvor {

namespace {

// The uploader's path: install folder + "Ulvane.exe". When the key opens but has no usable
// "InstallDir", the bare name is tried (the current folder). When the key cannot be opened at all
// the installation is gone or broken; Kelvor and Ulvane are installed side by side, so the copy
// beside Kelvor is the one to start.
void UploaderPath(wchar_t (&path)[MAX_PATH]) {
  // ReadInstallDir leaves the buffer as it was only when the key cannot be opened; a mark in the
  // first character tells that case apart from a missing value (which zeroes the buffer).
  const wchar_t kUntouched = L'\x1';
  path[0] = kUntouched;
  path[1] = 0;
  DWORD capacity = MAX_PATH;
  if (!suite::ReadInstallDir(path, capacity) && path[0] == kUntouched) {
    if (!suite::ReadProgramFolder(path, MAX_PATH)) path[0] = 0;
  }
  PathAppendW(path, kUploaderFileName);
}

}  // namespace

bool CCrashCapture::LaunchUploader() {
  if (!valid || !report.built || !bugInfo) return false;
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
                      &started))
    return false;
  // Nothing waits for the uploader.
  CloseHandle(started.hThread);
  CloseHandle(started.hProcess);
  return true;
}

}  // namespace kelvor
