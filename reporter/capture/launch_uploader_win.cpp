// Hands the crash to the uploader Ulvane; Kelvor neither waits for it nor looks at its result.
#include <windows.h>
// windows.h first: the other Windows headers build on its types.
#include <shlwapi.h>

#include "common/diag_log.h"
#include "common/folders_win.h"
#include "common/protocol/file_names.h"
#include "common/protocol/uploader_command_line.h"
#include "reporter/capture/crash_capture_win.h"
#include "reporter/capture/system_facts_win.h"

namespace kelvor {

namespace {

// The uploader's path: install folder + "Ulvane.exe". Without a usable install folder (no key, no
// "InstallDir", an empty one) the dumps go to Kelvor's own folder, and so the uploader that works
// from that folder is the one beside Kelvor, not one in whatever the current folder is.
void UploaderPath(wchar_t (&path)[MAX_PATH]) {
  bool installed = false;
  const std::wstring folder = suite::ProductFolder(&installed);
  if (!installed) suite::DiagFailure("ReadInstallDir", GetLastError());
  lstrcpynW(path, folder.c_str(), MAX_PATH);
  PathAppendW(path, protocol::kUploaderFileName);
}

}  // namespace

bool CCrashCapture::LaunchUploader(std::wstring& contactEmail) {
  if (!valid || !report.IsBuilt()) return false;
  suite::DiagPhase phase("uploader_start");
  wchar_t path[MAX_PATH] = {};
  UploaderPath(path);
  protocol::ApplyContactEmailLimit(contactEmail);

  protocol::UploaderValues values;
  values.dumpFileName = dumpFileName;
  values.productVersion = protocol::SlotText(bugInfo->productVersion);
  values.module = report.FaultModule();
  values.application = protocol::SlotText(bugInfo->appName);
  values.reportId = report.CrashId();
  values.email = contactEmail;
  return StartDetachedProcess(path, protocol::FormatUploaderCommandLine(values));
}

}  // namespace kelvor
