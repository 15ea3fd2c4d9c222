// Drummet's Windows parts: single instance, WOW64 redirection, the dump run and the report.
//
// Ownership: IsSingleInstance keeps its mutex until the process ends; a Wow64RedirectionGuard owns
// its kernel32 reference and puts redirection back when it ends; ReportDumpFile reads the dump and
// never changes or deletes it. False results are described with each function.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

#include "common/protocol/registry_names.h"
#include "common/scoped_handle_win.h"
#include "kerneldump/dump_collector.h"

namespace kerneldump {

// An export looked up by name as the function type it is known to have.
template <typename Fn>
Fn ProcAddress(HMODULE module, const char* name) {
  return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

extern const wchar_t kInstanceMutexName[];
using protocol::kCrashControlKey;

// False only when another instance already holds the machine-wide mutex. The mutex handle is kept
// open for the rest of the process.
bool IsSingleInstance();

bool Is64BitWindows();

// Switches WOW64 file-system redirection off for its lifetime, so that a 32-bit Drummet sees the
// real system folders on 64-bit Windows.
class Wow64RedirectionGuard {
 public:
  typedef BOOL(WINAPI* DisableFn)(PVOID*);
  typedef BOOL(WINAPI* RevertFn)(PVOID);
  Wow64RedirectionGuard();
  ~Wow64RedirectionGuard();
  bool switchedOff() const { return switchedOff_ == TRUE; }

 private:
  Wow64RedirectionGuard(const Wow64RedirectionGuard&) = delete;
  Wow64RedirectionGuard& operator=(const Wow64RedirectionGuard&) = delete;
  suite::ScopedLibrary kernel32_;
  BOOL switchedOff_ = FALSE;
  PVOID savedState_ = nullptr;
  RevertFn revert_ = nullptr;
  DisableFn disable_ = nullptr;
};

// The program's folder ending in a backslash.
bool GetModuleFolder(std::wstring& folder);
FileTime GetLogFolderCreationTime();
bool IsExistingFilePath(const std::wstring& path);

typedef BOOL(WINAPI* FindNextFn)(HANDLE, LPWIN32_FIND_DATAW);
// Lists a folder; an access violation inside find-next ends the listing with what was found.
// `findNext` is replaceable so that the guard itself can be tested.
std::vector<FolderEntry> ListFolderGuarded(const std::wstring& dir, FindNextFn findNext = FindNextFileW);

void CollectAndReportDumps();

// One dump → info.ini + archive → POST. kReportDelivered when the server took it, kReportPassedOver
// when it can never be sent, else kReportRetryLater. Never touches the dump; leaves no file behind,
// also when packing or posting faults.
int ReportDumpFile(const wchar_t* dumpPath);
// Test seams, null and unset in the program. The hook is called with "open" (before the dump is
// opened; a non-zero result stands for the error of a failed open), "pack" (after the dump entry)
// and "post" (before the request), inside the contained steps, so that a test can fault there.
typedef unsigned long (*ReportStepHook)(const char* step);
extern ReportStepHook g_reportStepHook;
// A post deadline shorter than the program's (0 = the program's own); a longer one is not taken.
extern unsigned long g_postDeadlineMs;
// "BugURL" from config.ini beside the program, or the default server.
std::wstring ReadBugUrl();

}  // namespace kerneldump
