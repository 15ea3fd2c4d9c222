// Drummet with test seams, everything else the program itself. Arguments, any of:
//   pack | post   a real fault (a write through a null pointer) in the first report's packing or posting
//   deny          the first dump of the run can't be opened: access denied
//   deadline=MS   a shorter post deadline
// It must contain the fault, leave no file behind and end with 0.
#include <cstring>
#include <cwchar>

#include "kerneldump/dump_collector_win.h"
#include "kerneldump/report_package_win.h"
#include "kerneldump/single_instance_win.h"

namespace {

char g_faultStep[8];
bool g_faulted = false;
bool g_deny = false;
bool g_denied = false;

unsigned long AtStep(const char* step) {
  if (g_deny && !g_denied && strcmp(step, "open") == 0) {
    g_denied = true;
    return 5;  // ERROR_ACCESS_DENIED
  }
  if (g_faulted || strcmp(step, g_faultStep) != 0) return 0;
  g_faulted = true;
  *static_cast<volatile int*>(nullptr) = 0x41414145;
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  for (int i = 1; i < argc; ++i) {
    const wchar_t* arg = argv[i];
    if (wcsncmp(arg, L"deadline=", 9) == 0) {
      kerneldump::g_postDeadlineMs = wcstoul(arg + 9, nullptr, 10);
    } else if (wcscmp(arg, L"deny") == 0) {
      g_deny = true;
    } else {
      for (size_t k = 0; k + 1 < sizeof(g_faultStep) && arg[k]; ++k) g_faultStep[k] = char(arg[k]);
    }
  }
  kerneldump::g_reportStepHook = AtStep;
  if (kerneldump::IsSingleInstance()) kerneldump::CollectAndReportDumps();
  return 0;
}
