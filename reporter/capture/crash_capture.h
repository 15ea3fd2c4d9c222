// Kelvor's one object per run: intake of the crash record, dumps, report file, release, restart.
#pragma once
#include <windows.h>

#include <string>

#include "common/scoped_handle_win.h"
#include "reporter/capture/bug_info.h"
#include "reporter/capture/crash_report.h"

namespace kelvor {

enum MiniDumpKind { kMiniDumpNormal = 1, kMiniDumpFull = 2 };

// Process-wide values shared with the report window.
extern wchar_t g_CrashedAppName[260];
extern std::wstring g_ContactEmail;
extern BOOL g_RestartChecked;
extern std::wstring g_UserContext;

class CCrashCapture {
 public:
  CCrashCapture();
  ~CCrashCapture();

  bool LoadFromCommandLine(const wchar_t* commandLine);
  bool CaptureReport();
  bool StartFullDumpOrRelease(bool releaseWhenNoFullDump = true, HANDLE waitAfterRelease = nullptr);
  bool ReleaseCrashedProcess(HANDLE waitHandle);
  void WaitForFullDump();
  bool LaunchUploader();
  bool RestartCrashedProgram();
  bool IsProductProcess() const;
  bool ShouldShowReportWindow() const;
  bool ShouldRestart() const;
  DWORD GetCrashedProcessId() const;
  bool WriteMiniDump(MiniDumpKind kind, const std::wstring& path, std::wstring& fileName);
  bool WriteReportFile(const std::wstring& path, const wchar_t* text, DWORD byteCount);
  bool RecordDumpInRegistry();

  static DWORD WINAPI FullDumpWorker(void* capture);

  // Fields in the documented order.
  CCrashReport report;
  BOOL valid = FALSE;
  HANDLE releaseEvent = nullptr;
  BugInfoBlock* bugInfo = nullptr;
  DWORD processId = 0;
  DWORD threadId = 0;
  HANDLE fullDumpThread = nullptr;
  std::wstring dumpFileName;
  std::wstring reportFileName;
  std::wstring fullDumpFileName;
  // When the crash happened (FILETIME): full dumps written since then are not "older".
  uint64_t crashTime = 0;
  // Set by CaptureReport when neither the dump nor the report could be written: then there is
  // nothing to mark and nothing for the uploader.
  bool nothingToHandOver = false;

 private:
  // The dump call into a file of ours; false when it cannot run or fails.
  bool WriteDumpInto(MiniDumpKind kind, HANDLE file);
  CCrashCapture(const CCrashCapture&) = delete;
  CCrashCapture& operator=(const CCrashCapture&) = delete;
};

}  // namespace kelvor
