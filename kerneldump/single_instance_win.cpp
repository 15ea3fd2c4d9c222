// Drummet's single-instance mutex.
#include <windows.h>

#include "kerneldump/single_instance_win.h"

#include "common/diag_failure_win.h"
#include "common/protocol/file_names.h"

namespace kerneldump {

bool IsSingleInstance() {
  // Deliberately never closed: the mutex marks this process as the running instance until it ends.
  HANDLE mutex = CreateMutexW(nullptr, TRUE, protocol::kDrummetMutexName);
  // A mutex that can't be made at all stops nobody: the run goes on (the diagnostic note keeps the
  // error for GetLastError below).
  if (!mutex) suite::DiagFailed("CreateMutexW");
  return GetLastError() != ERROR_ALREADY_EXISTS;
}

}  // namespace kerneldump
