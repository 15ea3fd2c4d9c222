// Kelvor's run: intake, capture, release, uploader, report window and restart, in that order. When
// the record asks for the window, the uploader waits for it: the report is written again with the
// user's entries first, so that they reach the report and the server.
#include "reporter/kelvor_run_win.h"

#include <commctrl.h>
#include <objbase.h>

#include "common/diag_log.h"
#include "common/scoped_handle_win.h"
#include "reporter/capture/capture_rules.h"
#include "reporter/capture/crash_capture.h"
#include "reporter/dialog/report_window_win.h"
#include "reporter/dialog/user_entries_win.h"

namespace kelvor {

namespace {

// The wait for the crashed process to end before it is restarted.
const DWORD kCrashedProcessEndWaitMs = 10000;

}  // namespace

int RunKelvor(HINSTANCE /*instance*/, const wchar_t* commandLine, int showCommand) {
  suite::DiagInit(L"Kelvor");
  suite::DiagPhase run("run");
  CCrashCapture capture;
  if (!capture.LoadFromCommandLine(commandLine)) {
    // Nothing to capture; still let the crashed process go when it told us how.
    capture.ReleaseCrashedProcess(nullptr);
    return 0;
  }

  // Only for the wait before a restart; without it the restart just does not wait.
  suite::ScopedKernelObject crashed(OpenProcess(SYNCHRONIZE, FALSE, capture.GetCrashedProcessId()));

  capture.CaptureReport();
  // The crashed process is let go before any window: a user at the window never holds it.
  capture.StartFullDumpOrRelease(true, nullptr);
  const bool showWindow = capture.ShouldShowReportWindow();
  if (!showWindow) capture.LaunchUploader();

  CoInitialize(nullptr);
  INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_BAR_CLASSES};
  InitCommonControlsEx(&controls);
  HMODULE richEdit = LoadLibraryW(L"RICHED20.DLL");

  bool windowShown = false;
  if (showWindow) {
    RunReportWindow(commandLine, showCommand);
    windowShown = true;
    RewriteReportWithUserEntries(capture);
    capture.LaunchUploader();
  }

  if (TakesRestartPath(windowShown, capture.ShouldRestart(), g_RestartChecked != FALSE,
                       capture.IsProductProcess())) {
    capture.WaitForFullDump();
    if (crashed) {
      WaitForSingleObject(crashed.get(), kCrashedProcessEndWaitMs);
      crashed.Close();
    }
    capture.RestartCrashedProgram();
  }

  // Kelvor never ends while the full-dump worker runs: the crashed process is released only by the
  // worker, and a full dump cut off by the end of the process would be lost.
  capture.WaitForFullDump();

  if (richEdit) FreeLibrary(richEdit);
  CoUninitialize();
  return 0;
}

}  // namespace kelvor
