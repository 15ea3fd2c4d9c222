// Kelvor.exe, the crash reporter: started by a crashed product process with "/BugInfo:".
#include <windows.h>

#include "reporter/kelvor_run_win.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR commandLine, int showCommand) {
  return kelvor::RunKelvor(instance, commandLine, showCommand);
}
