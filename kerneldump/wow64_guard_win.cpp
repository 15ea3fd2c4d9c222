// WOW64 detection and the file-system redirection guard.
#include "kerneldump/wow64_guard_win.h"

#include "common/diag_failure_win.h"
#include "common/proc_address_win.h"

namespace kerneldump {

bool Is64BitWindows() {
  suite::ScopedLibrary kernel32(LoadLibraryW(L"kernel32.dll"));
  if (!kernel32) return suite::DiagFailed("LoadLibraryW");
  typedef void(WINAPI * NativeInfoFn)(LPSYSTEM_INFO);
  SYSTEM_INFO info = {};
  auto native = suite::ProcAddress<NativeInfoFn>(kernel32.get(), "GetNativeSystemInfo");
  if (native) {
    native(&info);
  } else {
    GetSystemInfo(&info);
  }
  return info.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_AMD64 ||
         info.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_IA64;
}

Wow64RedirectionGuard::Wow64RedirectionGuard() {
  if (!Is64BitWindows()) return;
  kernel32_.reset(LoadLibraryW(L"Kernel32.dll"));
  if (!kernel32_) {
    suite::DiagFailed("LoadLibraryW");
    return;
  }
  disable_ = suite::ProcAddress<DisableFn>(kernel32_.get(), "Wow64DisableWow64FsRedirection");
  if (!disable_) return;
  revert_ = suite::ProcAddress<RevertFn>(kernel32_.get(), "Wow64RevertWow64FsRedirection");
  if (!revert_) return;
  switchedOff_ = disable_(&savedState_);
  if (!switchedOff_) suite::DiagFailed("Wow64DisableWow64FsRedirection");
}

// The library is freed after this body, by its member: the revert call lives in it.
Wow64RedirectionGuard::~Wow64RedirectionGuard() {
  if (switchedOff_ == TRUE && revert_) {
    if (!revert_(savedState_)) suite::DiagFailed("Wow64RevertWow64FsRedirection");
    switchedOff_ = FALSE;
  }
}

}  // namespace kerneldump
