// Kelvor's run in its order, free of Windows: intake → report → dump → mark → release → uploader →
// window → restart. Every step that touches the system is behind KelvorPlatform (kelvor_run_win.cpp
// on Windows, a fake in kelvor_run_test.cpp), so the order and the promise that the crashed process
// is always released, exactly once, are held and tested here.
//
// Ownership: RunKelvorSteps borrows the platform for the whole run and, when it starts the full-dump
// worker, lends it to the worker too; it returns only after the worker has ended.
#pragma once
#include <cstdint>
#include <functional>
#include <string>

namespace kelvor {

// What a crash record asks of the run; read once after a successful intake.
struct CrashRequest {
  bool showWindow = false;
  bool restart = false;         // the record's restart byte
  bool productProcess = false;  // the crashed program is one of the product's own processes
  uint32_t fullDumpMode = 0;    // 0 none; 1 full dump, older ones make way; other: full dump, keep older
};

// What the user left in the report window besides the entries.
struct WindowChoices {
  bool restart = true;         // the restart box, checked at start
  bool send = true;            // the box that offers to send this report, checked at start
  bool sessionEnding = false;  // the window went because the user's session ends
};
// Called by the window while the session ends, before it returns: Windows may end the process as
// soon as the window has answered, so the crash is handed over from inside that answer.
using SessionEndHandOver = std::function<void(const WindowChoices&)>;

// The system as the run sees it. Every call returns what happened; a false result is a step that
// failed quietly, and the run goes on as the order below says.
class KelvorPlatform {
 public:
  virtual ~KelvorPlatform() = default;

  // Reads the crash record the command line names out of the crashed process. False: nothing to
  // capture (the release event, when the command line named one, is still known to Release).
  virtual bool Intake(const std::wstring& commandLine) = 0;
  virtual CrashRequest Request() = 0;
  // The report text in memory (stack walk, crash ID, snapshot); it exists afterwards in any case.
  virtual void BuildReport() = 0;
  // Files of this crash's own to write the dump and the report into, both created and held. False:
  // none can be made (the folder is missing or not writable), so nothing of this crash is written.
  virtual bool ClaimFiles() = 0;
  // The normal dump into its claimed file. False: no dump (its file goes again).
  virtual bool WriteDump() = 0;
  // The report text into its claimed file. False: no report file.
  virtual bool WriteReport() = 0;
  // Gives what was written its final names, under one name of the dump that no other crash has.
  // False: nothing of this crash keeps a name, so there is nothing to hand over.
  virtual bool PublishFiles() = 0;
  // The registry mark (0) of the dump's name.
  virtual bool MarkDump() = 0;
  // Lets the crashed process go (signals its release event). False when there was no event or the
  // signal failed; the run never calls it twice.
  virtual bool Release() = 0;

  // Starts `work` on the full-dump worker thread. False: no worker, `work` never runs.
  virtual bool StartWorker(std::function<void()> work) = 0;
  // On the worker: the full dump, written under the normal dump's name + "_FULL".
  virtual bool WriteFullDump() = 0;
  // On the worker: older full dumps make way for the one just written.
  virtual void DeleteOlderFullDumps() = 0;
  // Returns when the worker (if one was started) has ended.
  virtual void WaitForWorker() = 0;

  // Starts the uploader for this crash; Kelvor does not wait for it.
  virtual bool LaunchUploader() = 0;
  // Removes the dump's mark: the user declined sending, so nothing may send it later. Its files stay.
  virtual bool UnmarkDump() = 0;
  // Shows the report window and returns when it closes, with the user's choices. When the session
  // ends while it is open, it calls `sessionEnds` with them first.
  virtual WindowChoices ShowReportWindow(const SessionEndHandOver& sessionEnds) = 0;
  // The report file written again with the entries the user left in the window.
  virtual bool RewriteReport() = 0;
  // Waits, bounded, for the crashed process to end.
  virtual void WaitForCrashedProcessEnd() = 0;
  // Starts the crashed program or service again when the record asks for it.
  virtual bool Restart() = 0;
};

// One run of Kelvor over `platform`. The crashed process is released once on every way: after the
// dump, report and mark (or at once when the intake fails or nothing can be written), or by the
// full-dump worker after the full dump. With the window asked for it is released before the window,
// and the uploader starts only after the window has closed and the report has been rewritten (or,
// when the session ends with the window open, while the window answers the end). A user who clears
// the window's send box gets no upload: the mark goes, the files stay. Nothing is restarted while
// the session ends.
void RunKelvorSteps(KelvorPlatform& platform, const std::wstring& commandLine);

}  // namespace kelvor
