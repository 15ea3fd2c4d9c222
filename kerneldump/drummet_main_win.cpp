// Drummet: reports the kernel crash dumps Windows wrote since the last run. No output, exit code 0.
#include "common/diag_log.h"
#include "kerneldump/dump_collector_win.h"
#include "kerneldump/single_instance_win.h"

int wmain(int, wchar_t**) {
  suite::DiagInit(L"Drummet");
  suite::DiagPhase run("run");
  if (kerneldump::IsSingleInstance()) kerneldump::CollectAndReportDumps();
  return 0;
}
