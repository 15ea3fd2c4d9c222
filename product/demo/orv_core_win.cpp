// OrvCore.dll: a library of the demo product, so that crash stacks pass through a DLL of ours.
#define ORV_CORE_BUILD
#include <windows.h>

#include "product/demo/orv_core_win.h"

namespace {
volatile int g_sink = 0;

__attribute__((noinline)) void CoreStep(OrvTask task, int argument) {
  g_sink = g_sink + 1;
  task(argument);
  g_sink = g_sink + 1;  // keeps the call from becoming a jump
}
}  // namespace

ORV_CORE_API void OrvCoreRun(OrvTask task, int argument) {
  CoreStep(task, argument);
  g_sink = g_sink + 1;
}

ORV_CORE_API void OrvCoreFault(int argument) {
  volatile int* volatile target = nullptr;
  *target = argument;
  g_sink = g_sink + 1;
}

BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
