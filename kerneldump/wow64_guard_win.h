// WOW64 detection and the guard that switches file-system redirection off, so that a 32-bit Drummet
// sees the real system folders on 64-bit Windows.
//
// Ownership: a Wow64RedirectionGuard owns its kernel32 reference and puts redirection back when it
// ends. Is64BitWindows is false when the system cannot tell.
#pragma once
#include <windows.h>

#include "common/scoped_handle_win.h"

namespace kerneldump {

bool Is64BitWindows();

// Switches WOW64 file-system redirection off for its lifetime (on 64-bit Windows only).
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

}  // namespace kerneldump
