// Kelvor's one object per run: the crash record copied out of the crashed process and what Kelvor
// does with it: the report, this crash's files (dump, report, full dump), the registry mark, the
// release of the crashed process, the uploader and the restart. The order of these steps is not
// kept here: kelvor_run.h holds it and calls them through KelvorPlatform.
//
// Ownership: the capture owns its copy of the record, the files it writes until they have their
// names, and the full-dump worker thread (joined before the capture goes). The release event is the
// crashed process's; the capture signals it at most once, and at the latest when it goes. Every
// operation except ReleaseCrashedProcess does nothing and returns false until the intake has
// succeeded; otherwise a false result is a step that failed quietly (the diagnostic log says which
// call failed).
#pragma once
#include <windows.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "common/protocol/bug_info.h"
#include "common/scoped_handle_win.h"
#include "reporter/capture/crash_files_win.h"
#include "reporter/report/crash_report_win.h"

namespace kelvor {

enum MiniDumpKind { kMiniDumpNormal = 1, kMiniDumpFull = 2 };

class CCrashCapture {
 public:
  CCrashCapture();
  ~CCrashCapture();

  // ---- Intake (capture_intake_win.cpp) ----
  // Parses "/BugInfo:", keeps the release event at once, reads the record out of the crashed
  // process and adopts it. False: nothing to capture (the release event is still kept).
  bool LoadFromCommandLine(const wchar_t* commandLine);
  // The intake's last step on a record already read: keeps a copy of `block` as the record of
  // process `processId`, thread `threadId`, forms this crash's file names and becomes valid.
  void AdoptRecord(const protocol::BugInfoBlock& block, DWORD processId, DWORD threadId);
  bool IsProductProcess() const;
  bool ShouldShowReportWindow() const;  // true when not valid
  bool ShouldRestart() const;
  DWORD GetCrashedProcessId() const;
  uint32_t FullDumpMode() const;
  std::wstring AppName() const;
  const CCrashReport& Report() const { return report; }
  // The normal dump's file name (no folder); final once PublishFiles has succeeded.
  const std::wstring& DumpFileName() const { return dumpFileName; }

  // ---- Report, dump and report files (capture_files_win.cpp) ----
  // The report text, with the e-mail and user context as they stand (empty before the window).
  bool BuildReport(const std::wstring& contactEmail, const std::wstring& userContext);
  // Files of this crash's own to write into (in the dump folder, under temporary names).
  bool ClaimFiles();
  bool WriteDump();
  bool WriteReport();
  // Names what was written: the dump and report names of the first free clash variant.
  bool PublishFiles();
  // The report file of this crash written again with `text`; false before PublishFiles named it.
  bool RewriteReport(const std::wstring& text);
  // A dump of `kind` under `path` or its first free clash variant; `fileName` gets the name used.
  bool WriteMiniDump(MiniDumpKind kind, const std::wstring& path, std::wstring& fileName);
  bool WriteReportFile(const std::wstring& path, const wchar_t* text, DWORD byteCount);

  // ---- Release and full dump (capture_release_win.cpp) ----
  // Signals the release event unless it was signalled already, then waits for `waitHandle` (may
  // be null). False when there was no event to signal or the signal failed.
  bool ReleaseCrashedProcess(HANDLE waitHandle);
  // Runs `work` on the full-dump worker thread; false (and `work` never runs) when none starts.
  bool StartFullDumpWorker(std::function<void()> work);
  // On the worker: the full dump beside the normal one; older full dumps making way for it.
  bool WriteFullDump();
  void DeleteOlderFullDumps();
  void WaitForFullDump();

  // ---- Registry mark (capture_mark_win.cpp) ----
  // The dump's mark (0) under the product version's key.
  bool RecordDumpInRegistry();
  // The dump's mark removed: the user declined sending this crash. False when there was none.
  bool RemoveDumpMark();

  // ---- Uploader (launch_uploader_win.cpp) and restart (capture_restart_win.cpp) ----
  // Starts Ulvane for this crash. An e-mail over the limit is cleared in `contactEmail` itself.
  bool LaunchUploader(std::wstring& contactEmail);
  bool RestartCrashedProgram();

 private:
  CCrashCapture(const CCrashCapture&) = delete;
  CCrashCapture& operator=(const CCrashCapture&) = delete;
  // The dump call into a file of ours; false when it cannot run or fails.
  bool WriteDumpInto(MiniDumpKind kind, HANDLE file);
  static DWORD WINAPI FullDumpWorker(void* work);

  // Fields in the documented order.
  CCrashReport report;
  BOOL valid = FALSE;
  suite::ScopedEventSignal releaseEvent;
  std::unique_ptr<protocol::BugInfoBlock> bugInfo;
  DWORD processId = 0;
  DWORD threadId = 0;
  suite::ScopedKernelObject fullDumpThread;
  std::wstring dumpFileName;
  std::wstring reportFileName;
  std::wstring fullDumpFileName;
  // When the crash happened (FILETIME): full dumps written since then are not "older".
  uint64_t crashTime = 0;
  // From ClaimFiles to PublishFiles: the folder, the parts and what went into them.
  std::wstring folder;
  PartFile dumpPart;
  PartFile reportPart;
  bool dumped = false;
  bool reported = false;
  // This crash's files have their names: the report may be written again.
  bool published = false;
  // The worker's folder, resolved when its full dump is written.
  std::wstring fullDumpFolder;
};

}  // namespace kelvor
