// ProcAddress: an export looked up by name as the function type it is known to have, for what older
// Windows or another C runtime may lack. Header-only and free of static state, so the XP shim and the
// product's crash handler use it without linking anything more.
#pragma once
#include <windows.h>

namespace suite {

// Null when the module or the export is missing.
template <typename Fn>
Fn ProcAddress(HMODULE module, const char* name) {
  return module ? reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name))) : nullptr;
}

}  // namespace suite
