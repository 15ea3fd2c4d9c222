// CCrashCapture's restart of the crashed program: its service, or its command line as a new process.
#include <windows.h>
// windows.h first: its StartService macro must rename the restart action everywhere alike.

#include "reporter/capture/capture_rules.h"
#include "reporter/capture/crash_capture_win.h"
#include "reporter/capture/system_facts_win.h"

namespace kelvor {

bool CCrashCapture::RestartCrashedProgram() {
  if (!valid) return false;
  switch (ChooseRestartAction(bugInfo->restart != 0, bugInfo->isService != 0,
                              protocol::SlotText(bugInfo->serviceName))) {
    case RestartAction::Nothing:
      return false;
    case RestartAction::StartService:
      return StartServiceByName(protocol::SlotText(bugInfo->serviceName));
    case RestartAction::RunCommandLine:
      break;
  }
  return StartDetachedProcess(nullptr, protocol::SlotText(bugInfo->restartCommandLine));
}

}  // namespace kelvor
