// The crash handler a product process links: on an unhandled exception, and on the C and C++
// runtime's own ways of ending a broken program (abort, an uncaught C++ exception, a pure virtual
// call, an invalid-parameter report), it fills the crash record Kelvor reads, starts Kelvor from
// the install folder with "/BugInfo:", waits until Kelvor releases it or ends (bounded) and ends
// the process.
//
// Ownership: the handler owns the crash record, the release event and the handles of Kelvor's process
// for the whole hand-off; a product gets the record (CrashRecord) to look at and a HandOffResult
// whose process handle it may use only inside its afterRelease callback.
#pragma once
#include <windows.h>

#include <string>

#include "common/protocol/bug_info.h"

namespace orv {

// Exception codes of the crashes that raise no exception of their own. They carry the customer
// bit (0x20000000), so they never clash with a code of the system or of a compiler's runtime, and
// Kelvor receives them in the record and in the exception pointers like any other code.
constexpr DWORD kCrashAbort = 0xE0000001;              // abort() (SIGABRT)
constexpr DWORD kCrashUncaughtException = 0xE0000002;  // std::terminate: an uncaught C++ exception
constexpr DWORD kCrashPureCall = 0xE0000003;           // a pure (or deleted) virtual function called
constexpr DWORD kCrashInvalidParameter = 0xE0000004;   // the C runtime reported an invalid parameter

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
  uint32_t fullDumpMode = 0;  // 0 none, 1 full dump replacing older ones, 2 full dump keeping them
  std::wstring reporterPath;  // default: <InstallDir>\Kelvor.exe, else Kelvor.exe beside the program
  // Longest wait for the release while Kelvor runs (the wait ends at once when Kelvor ends).
  // 0 = chosen by the handler from the full-dump mode and the process's size (ReleaseWaitMs).
  DWORD releaseWaitMs = 0;

  // Called with the filled record and the reporter's argument text just before Kelvor starts; the
  // demo uses it to hand Kelvor deliberately broken records.
  void (*beforeLaunch)(protocol::BugInfoBlock& block, std::wstring& arguments) = nullptr;
  // Called after the wait, before the process ends.
  void (*afterRelease)(const HandOffResult& result) = nullptr;
};

// Fills the fixed parts of the record now (names, flags) so that the crash itself allocates as
// little as possible, and installs the unhandled-exception filter and the runtime handlers.
void InstallCrashHandler(const CrashHandlerOptions& options);

// The record of this process (for tests and the demo).
protocol::BugInfoBlock& CrashRecord();

// The automatic bound of the wait for the release. Kelvor releases after the normal dump and the
// report (about a second; ten times that on a slow or emulated machine): 60 s. With a full dump it
// also writes every committed byte of the process first: 60 s plus those bytes at 4 MB/s (a 50 MB
// process took 6 s under Wine, 8 MB/s, on an idle machine; half that leaves room for a busy disk).
DWORD ReleaseWaitMs(uint32_t fullDumpMode, unsigned long long committedBytes);

}  // namespace orv
