// Inside the crash handler: the one entry every kind of crash goes through, and the routes from
// the C and C++ runtime into it.
//
// Ownership: the exception pointers stay the crashed thread's; nothing here returns.
#pragma once
#include <windows.h>

namespace orv {

// Hands the crash off to Kelvor and ends the process; never returns. The first thread to arrive
// hands off; a thread that crashes meanwhile waits for that hand-off instead of cutting it short.
[[noreturn]] void HandleCrash(EXCEPTION_POINTERS* exception);

// Installs the runtime's handlers (abort, terminate, pure call, invalid parameter); each one
// reports through HandleCrash with its own code (crash_handler_win.h).
void InstallRuntimeRoutes();

}  // namespace orv
