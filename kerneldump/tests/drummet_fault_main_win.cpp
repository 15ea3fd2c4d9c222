// Drummet with a real fault (a write through a null pointer) injected into the first report's packing
// ("pack") or posting ("post"), named as the only argument. Everything else is the program itself: it
// must contain the fault, leave no file behind and end with 0.
#include <cstring>

#include "kerneldump/drummet_win.h"

namespace {

char g_faultStep[8];
bool g_faulted = false;

void FaultOnce(const char* step) {
  if (g_faulted || strcmp(step, g_faultStep) != 0) return;
  g_faulted = true;
  *static_cast<volatile int*>(nullptr) = 0x41414145;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc > 1) {
    for (size_t i = 0; i + 1 < sizeof(g_faultStep) && argv[1][i]; ++i) g_faultStep[i] = char(argv[1][i]);
    kerneldump::g_reportStepHook = FaultOnce;
  }
  if (kerneldump::IsSingleInstance()) kerneldump::CollectAndReportDumps();
  return 0;
}
