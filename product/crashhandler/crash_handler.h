// The crash handler a product process links: on an unhandled exception it fills the crash record
// Kelvor reads, starts Kelvor from the install folder with "/BugInfo:", waits until Kelvor releases
// it (bounded) and ends the process.
#pragma once
#include <windows.h>

#include <string>

#include "reporter/capture/bug_info.h"

namespace orv {

// What the handler reports after the hand-off, for products that want to know (the demo records
// it; a real product has no use for it).
struct HandOffResult {
  bool reporterStarted = false;  // Kelvor's process was created
  bool released = false;         // the release event was signalled within the wait
  DWORD crashTick = 0;           // GetTickCount() on entry to the handler
  DWORD exceptionCode = 0;
  LARGE_INTEGER crashCounter{};      // QueryPerformanceCounter() on entry to the handler
  HANDLE reporterProcess = nullptr;  // valid during the callback only
  const wchar_t* reporterCommandLine = nullptr;
};

struct CrashHandlerOptions {
  std::wstring nameStem;            // stem of the dump names; default: the program's file name without ".exe"
  std::wstring productVersion;      // e.g. "1.0.0.1"
  bool showWindow = false;          // ask Kelvor for the report window
  bool restart = false;             // restart the program after the crash
  std::wstring restartCommandLine;  // default: the process's own command line
  bool isService = false;
  std::wstring serviceName;
  uint32_t fullDumpMode = 0;     // 0 none, 1 full dump replacing older ones, 2 full dump keeping them
  std::wstring reporterPath;     // default: <InstallDir>\Kelvor.exe, else Kelvor.exe beside the program
  DWORD releaseWaitMs = 120000;  // never hang for ever: the process ends after this at the latest

  // Called with the filled record and the reporter's argument text just before Kelvor starts; the
  // demo uses it to hand Kelvor deliberately broken records.
  void (*beforeLaunch)(kelvor::BugInfoBlock& block, std::wstring& arguments) = nullptr;
  // Called after the wait, before the process ends.
  void (*afterRelease)(const HandOffResult& result) = nullptr;
};

// Fills the fixed parts of the record now (names, flags) so that the crash itself allocates as
// little as possible, and installs the unhandled-exception filter.
void InstallCrashHandler(const CrashHandlerOptions& options);

// The record of this process (for tests and the demo).
kelvor::BugInfoBlock& CrashRecord();

}  // namespace orv
