// The Windows half of the stack walk: module lookup per frame, for the walk and its callback. The
// process handle is the caller's, borrowed for the call; DbgHelp keeps what it registers for it
// until the walk cleans up the process's symbol handling.
#pragma once
#include <windows.h>
// windows.h first: the other Windows headers build on its types.
#include <dbghelp.h>

#include "reporter/report/stack_signature.h"

namespace kelvor {

// Base of the module that holds address, 0 when none is found. Asks the symbol handler first;
// otherwise takes the memory region's allocation base and registers that module with the handler
// (without symbols), so later frames in it are found directly.
DWORD64 GetFrameModuleBase(HANDLE process, DWORD64 address, IMAGEHLP_MODULEW64& module);

// StackWalk64's module-base routine.
DWORD64 CALLBACK FrameModuleBaseCallback(HANDLE process, DWORD64 address);

// Looks up pc's module and adds the frame's line and signature part to walk.
bool FormatStackFrame(HANDLE process, DWORD64 pc, CStackSignature& walk);

}  // namespace kelvor
