// Ulvane's start-up: settings, command line and the binding of the networking library.
#include "uploader/crash_logic_win.h"

#include <vector>

#include "common/diag_failure_win.h"
#include "common/diag_log.h"
#include "common/folders_win.h"
#include "common/path.h"
#include "common/proc_address_win.h"
#include "common/protocol/endpoints.h"
#include "common/protocol/net_request_win.h"
#include "common/protocol/uploader_switches.h"
#include "uploader/upload_worker_win.h"

namespace ulvane {

HWND g_MainWindow = nullptr;

bool CCrashLogic::Init() {
  if (!ReadNetworkSettings()) return false;
  // Manual reset: once the session ends, every later poll sees it.
  stopEvent.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!stopEvent) return suite::DiagFailed("CreateEventW");
  if (!ParseCommandLine()) return false;
  if (!LoadTransport()) return false;
  workerThread.reset(CreateThread(nullptr, 0, WorkerProc, this, 0, nullptr));
  return workerThread.valid();
}

bool CCrashLogic::ParseCommandLine() {
  const std::wstring commandLine = GetCommandLineW();
  dumpPath.clear();
  bool installed = false;
  const std::wstring folder = suite::ProductFolder(&installed);
  dumpFolder = DumpFolderFor(installed, folder, folder);
  pendingOnly = protocol::HasSwitchWord(commandLine, protocol::kSwitchPending);
  if (pendingOnly) return true;
  // A path that is no plain dump name is refused here, before anything is touched.
  if (!ParseCrashArgs(commandLine, args)) return false;
  dumpPath = DumpPathFor(dumpFolder, args.dumpFileName);
  return true;
}

bool CCrashLogic::ReadNetworkSettings() {
  const std::wstring ini = suite::JoinPath(suite::ProductFolder(nullptr), protocol::kConfigIniName);
  wchar_t value[MAX_PATH] = {};
  GetPrivateProfileStringW(protocol::kNetworkSection, protocol::kReportUrlKey, protocol::kDefaultReportServer,
                           value, MAX_PATH, ini.c_str());
  reportServerUrl = value;
  if (!NormalizeServerUrl(reportServerUrl)) return false;
  value[0] = 0;
  GetPrivateProfileStringW(protocol::kNetworkSection, protocol::kInfoUrlKey, protocol::kDefaultInfoServer,
                           value, MAX_PATH, ini.c_str());
  infoServerUrl = value;
  return NormalizeServerUrl(infoServerUrl);
}

bool CCrashLogic::LoadTransport() {
  using namespace protocol;
  wchar_t self[MAX_PATH] = {};
  const DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH);
  if (n == 0 || (n == MAX_PATH && GetLastError() == ERROR_INSUFFICIENT_BUFFER)) return false;
  std::wstring path(self, n);
  path = suite::WithTrailingBackslash(path.substr(0, path.rfind(L'\\'))) + kTransportFileName;
  libraryModule = LoadLibraryW(path.c_str());
  if (!libraryModule) return suite::DiagFailed("LoadLibraryW");
  auto create = suite::ProcAddress<CreateObjectFn>(libraryModule, kCreateObjectExport);
  if (!create) return suite::DiagFailed("GetProcAddress");
  requestSink = create(kInterfaceName, &transport, 0);
  if (!transport || !requestSink) return suite::DiagFailed("CreateObject", ERROR_INVALID_HANDLE);
  {
    // The library reads the text during the call only.
    std::wstring empty;
    NetText text = {empty.c_str(), 0};
    TableEntry<TransportSetTextFn>(transport, kTransportSetTextSlot)(transport, &text);
  }
  TableEntry<TransportRegisterFn>(transport, kTransportRegisterSlot)(transport, kResponseCapBytes,
                                                                     OnRequestDone, kRegisterTag);
  return true;
}

void CCrashLogic::SignalStop() {
  if (stopEvent) SetEvent(stopEvent.get());
}

void CCrashLogic::WaitWorker(DWORD ms) {
  if (workerThread) WaitForSingleObject(workerThread.get(), ms);
}

bool CCrashLogic::PollStop(DWORD ms) { return WaitForSingleObject(stopEvent.get(), ms) == WAIT_OBJECT_0; }

}  // namespace ulvane
