// GetTickCount64 for the posix thread runtime that every program links statically.
//
// The runtime's timed waits import GetTickCount64, which Windows XP's kernel32 lacks: the loader would
// refuse the whole program there. This file defines the import's address slot itself, so the linker
// takes it instead of kernel32's entry. The slot calls the system's own function where there is one
// (Vista on) and otherwise widens GetTickCount to 64 bits.
#include <windows.h>

#include "common/proc_address_win.h"

namespace {

typedef ULONGLONG(WINAPI* TickCount64Fn)();

// High 32 bits: how often the 32-bit count has wrapped (every 49.7 days); low 32 bits: the last count
// seen. One 64-bit word, so that threads that read it at once never see half an update.
volatile LONG64 g_widened = 0;

ULONGLONG WINAPI WidenedTickCount() {
  for (;;) {
    const LONG64 seen = InterlockedCompareExchange64(&g_widened, 0, 0);
    const DWORD now = GetTickCount();
    ULONGLONG wraps = static_cast<ULONGLONG>(seen) >> 32;
    if (now < static_cast<DWORD>(seen)) ++wraps;
    const LONG64 next = static_cast<LONG64>((wraps << 32) | now);
    if (next == seen || InterlockedCompareExchange64(&g_widened, next, seen) == seen)
      return static_cast<ULONGLONG>(next);
  }
}

// Null until the first call has looked the system's function up.
TickCount64Fn volatile g_tickCount64 = nullptr;

ULONGLONG WINAPI TickCount64() {
  TickCount64Fn fn = g_tickCount64;
  if (!fn) {
    fn = suite::ProcAddress<TickCount64Fn>(GetModuleHandleW(L"kernel32.dll"), "GetTickCount64");
    if (!fn) fn = &WidenedTickCount;
    g_tickCount64 = fn;  // a race only looks the same function up twice
  }
  return fn();
}

}  // namespace

// The import's address slot under the name the runtime's calls go through (kernel32's import library
// defines the same name; an object's definition comes first and keeps that member out of the link).
extern "C" {
TickCount64Fn suiteTickCount64Slot __asm__("__imp__GetTickCount64@0") = &TickCount64;
}
