// Ulvane's one object per run: the parsed command line, the server addresses, the bound networking
// library, the stop event and the upload worker.
//
// Ownership: the one CCrashLogic (a process-wide singleton) owns the stop event and the worker's
// thread handle until the process ends; the networking library stays loaded for the whole process. A
// false Init (or any of its steps) means there is nothing to upload or no way to: Ulvane ends
// quietly.
#pragma once
#include <windows.h>

#include <string>

#include "common/protocol/file_names.h"
#include "common/safe_singleton.h"
#include "common/scoped_handle_win.h"
#include "uploader/crash_args.h"

namespace ulvane {

extern HWND g_MainWindow;  // the hidden window the worker posts WM_DESTROY to

class CCrashLogic : public suite::CSafeSingleton<CCrashLogic> {
 public:
  suite::ScopedKernelObject stopEvent;
  suite::ScopedKernelObject workerThread;
  // Never freed: the library's own threads may still call back into us until the process ends.
  HMODULE libraryModule = nullptr;
  std::wstring dumpPath;     // upper case
  std::wstring dumpFolder;   // where this user's crashes lie
  bool pendingOnly = false;  // "/Pending": no crash of its own, only the pending ones
  CrashArgs args;            // module, report id, dump file name, version, e-mail, application, start kind
  std::wstring reportServerUrl;  // "BugURL", ending in "/"
  std::wstring infoServerUrl;    // "BugInfoUploadURL", ending in "/"
  void* transport = nullptr;
  void* requestSink = nullptr;

  // Settings, stop event, command line, networking library, worker: false at the first failure.
  bool Init();
  bool ParseCommandLine();
  bool ReadNetworkSettings();
  bool LoadTransport();
  void SignalStop();
  // The worker ends by itself after its last request; at the end of the session it is given `ms`.
  void WaitWorker(DWORD ms = INFINITE);
  // True when the stop event was signalled within `ms`; it stays signalled.
  bool PollStop(DWORD ms = 0);
};

DWORD WINAPI WorkerProc(LPVOID logic);

}  // namespace ulvane
