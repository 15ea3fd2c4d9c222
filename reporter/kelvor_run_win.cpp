// Kelvor's run on Windows: the steps of kelvor_run.h carried out by CCrashCapture, the report window
// and a handle on the crashed process. The order of the steps is RunKelvorSteps's, not this file's.
#include "reporter/kelvor_run_win.h"

#include <commctrl.h>
#include <objbase.h>

#include <utility>

#include "common/diag_log.h"
#include "common/scoped_handle_win.h"
#include "reporter/capture/crash_capture_win.h"
#include "reporter/dialog/report_window_win.h"
#include "reporter/dialog/user_entries_win.h"
#include "reporter/kelvor_run.h"

namespace kelvor {

namespace {

// The wait for the crashed process to end before it is restarted.
const DWORD kCrashedProcessEndWaitMs = 10000;

// What the report window needs while it is open: COM, the bar controls and the rich edit's library.
class WindowingScope {
 public:
  WindowingScope() {
    CoInitialize(nullptr);
    INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_BAR_CLASSES};
    InitCommonControlsEx(&controls);
    richEdit_.reset(LoadLibraryW(L"RICHED20.DLL"));
  }
  ~WindowingScope() {
    richEdit_.Close();
    CoUninitialize();
  }

 private:
  suite::ScopedLibrary richEdit_;
};

class WindowsKelvor : public KelvorPlatform {
 public:
  WindowsKelvor(const wchar_t* commandLine, int showCommand)
      : commandLine_(commandLine), showCommand_(showCommand) {}

  bool Intake(const std::wstring& commandLine) override {
    if (!capture_.LoadFromCommandLine(commandLine.c_str())) return false;
    SetCrashedAppName(capture_.AppName());
    // Only for the wait before a restart; without it the restart just does not wait.
    crashed_.reset(OpenProcess(SYNCHRONIZE, FALSE, capture_.GetCrashedProcessId()));
    return true;
  }
  CrashRequest Request() override {
    CrashRequest request;
    request.showWindow = capture_.ShouldShowReportWindow();
    request.restart = capture_.ShouldRestart();
    request.productProcess = capture_.IsProductProcess();
    request.fullDumpMode = capture_.FullDumpMode();
    return request;
  }
  void BuildReport() override { capture_.BuildReport(g_ContactEmail, g_UserContext); }
  bool ClaimFiles() override { return capture_.ClaimFiles(); }
  bool WriteDump() override { return capture_.WriteDump(); }
  bool WriteReport() override { return capture_.WriteReport(); }
  bool PublishFiles() override { return capture_.PublishFiles(); }
  bool MarkDump() override {
    suite::DiagPhase phase("mark");
    return capture_.RecordDumpInRegistry();
  }
  bool Release() override { return capture_.ReleaseCrashedProcess(nullptr); }
  bool StartWorker(std::function<void()> work) override {
    return capture_.StartFullDumpWorker(std::move(work));
  }
  bool WriteFullDump() override { return capture_.WriteFullDump(); }
  void DeleteOlderFullDumps() override { capture_.DeleteOlderFullDumps(); }
  void WaitForWorker() override { capture_.WaitForFullDump(); }
  bool LaunchUploader() override { return capture_.LaunchUploader(g_ContactEmail); }
  bool UnmarkDump() override {
    suite::DiagPhase phase("unmark");
    return capture_.RemoveDumpMark();
  }
  WindowChoices ShowReportWindow(const SessionEndHandOver& sessionEnds) override {
    WindowingScope windowing;
    RunReportWindow(commandLine_, showCommand_, [&sessionEnds] { sessionEnds(Choices()); });
    return Choices();
  }
  bool RewriteReport() override {
    return RewriteReportWithUserEntries(capture_, g_ContactEmail, g_UserContext);
  }
  void WaitForCrashedProcessEnd() override {
    if (!crashed_) return;
    WaitForSingleObject(crashed_.get(), kCrashedProcessEndWaitMs);
    crashed_.Close();
  }
  bool Restart() override { return capture_.RestartCrashedProgram(); }

 private:
  static WindowChoices Choices() {
    WindowChoices choices;
    choices.restart = g_RestartChecked != FALSE;
    choices.send = g_SendChecked != FALSE;
    choices.sessionEnding = g_SessionEnding != FALSE;
    return choices;
  }

  const wchar_t* commandLine_;
  int showCommand_;
  CCrashCapture capture_;
  suite::ScopedKernelObject crashed_;
};

}  // namespace

int RunKelvor(HINSTANCE /*instance*/, const wchar_t* commandLine, int showCommand) {
  suite::DiagInit(L"Kelvor");
  suite::DiagPhase run("run");
  WindowsKelvor platform(commandLine, showCommand);
  RunKelvorSteps(platform, commandLine ? commandLine : L"");
  return 0;
}

}  // namespace kelvor
