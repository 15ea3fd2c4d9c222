// How the programs note a failed system call: the diagnostic log (when it is on) gets the call's
// name and its error code. The programs show nothing else, so this is the only trace of a quiet
// failure; it returns false so that a failure path can end in `return DiagFailed("CallName");`.
#pragma once
#include <windows.h>

#include "common/diag_log.h"

namespace suite {

inline bool DiagFailed(const char* call, unsigned long error = GetLastError()) {
  DiagFailure(call, error);
  return false;
}

}  // namespace suite
