// How the capture notes a failed system call: the diagnostic log (when it is on) gets the call's
// name and its last error. Kelvor shows and logs nothing else, so this is the only trace of a
// failure; it returns false so that a failure path can end in `return Failed("CallName");`.
#pragma once
#include <windows.h>

#include "common/diag_log.h"

namespace kelvor {

inline bool Failed(const char* call) {
  suite::DiagFailure(call, GetLastError());
  return false;
}

}  // namespace kelvor
