// Drummet: reports the kernel crash dumps Windows wrote since the last run. No output, exit code 0.
#include "kerneldump/drummet_win.h"

int wmain(int, wchar_t**) {
  if (kerneldump::IsSingleInstance()) kerneldump::CollectAndReportDumps();
  return 0;
}
