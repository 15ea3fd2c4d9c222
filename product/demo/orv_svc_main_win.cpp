// OrvSvc.exe, the demo service: runs under the service manager until stopped, with the product's
// crash handler installed so that a crash of the service is reported and the service restarted.
// Control code 200 makes it crash.
#include <windows.h>

#include "product/crashhandler/crash_handler_win.h"
#include "product/demo/pending_uploads_win.h"

namespace {

SERVICE_STATUS_HANDLE g_statusHandle = nullptr;
HANDLE g_stop = nullptr;
volatile LONG g_crash = 0;

void Report(DWORD state) {
  SERVICE_STATUS status = {};
  status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  status.dwCurrentState = state;
  status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
  SetServiceStatus(g_statusHandle, &status);
}

DWORD WINAPI Control(DWORD control, DWORD, void*, void*) {
  if (control == SERVICE_CONTROL_STOP) {
    Report(SERVICE_STOP_PENDING);
    SetEvent(g_stop);
  } else if (control == 200) {
    InterlockedExchange(&g_crash, 1);
    SetEvent(g_stop);
  }
  return NO_ERROR;
}

void WINAPI ServiceMain(DWORD argc, wchar_t** argv) {
  const wchar_t* name = argc > 0 ? argv[0] : L"OrvSvc";
  orv::CrashHandlerOptions options;
  options.productVersion = L"1.0.0.1";
  options.isService = true;
  options.serviceName = name;
  options.restart = true;
  orv::InstallCrashHandler(options);
  demo::StartPendingUploads();

  g_statusHandle = RegisterServiceCtrlHandlerExW(name, &Control, nullptr);
  if (!g_statusHandle) return;
  g_stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  Report(SERVICE_RUNNING);
  WaitForSingleObject(g_stop, INFINITE);
  if (g_crash) {
    volatile int* volatile target = nullptr;
    *target = 1;
  }
  Report(SERVICE_STOPPED);
}

}  // namespace

int wmain() {
  SERVICE_TABLE_ENTRYW table[] = {{const_cast<wchar_t*>(L"OrvSvc"), &ServiceMain}, {nullptr, nullptr}};
  StartServiceCtrlDispatcherW(table);
  return 0;
}
