// System facts read from and actions taken on the running Windows.
#include <windows.h>

#include "reporter/capture/system_facts_win.h"

#include <vector>

#include "common/diag_log.h"
#include "common/scoped_handle_win.h"

namespace kelvor {

bool GetWindowsVersionCode(int& code) {
  code = -1;
  OSVERSIONINFOEXW info;
  ZeroMemory(&info, sizeof(info));
  info.dwOSVersionInfoSize = sizeof(OSVERSIONINFOEXW);  // 284
  if (!GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&info))) {
    // An older system knows only the plain record; the product type then stays 0.
    ZeroMemory(&info, sizeof(info));
    info.dwOSVersionInfoSize = sizeof(OSVERSIONINFOW);  // 276
    if (!GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&info))) return false;
  }
  code = WindowsVersionCodeFor(true, info.dwPlatformId, info.dwMajorVersion, info.dwMinorVersion,
                               info.wProductType);
  return true;
}

bool GetWindowsVersionName(std::wstring& name) {
  int code = -1;
  bool ok = GetWindowsVersionCode(code);
  name = WindowsVersionNameFor(code);
  return ok;
}

bool Is64BitSystem() {
  SYSTEM_INFO info;
  ZeroMemory(&info, sizeof(info));
  GetNativeSystemInfo(&info);
  if (info.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_AMD64) return true;
  if (info.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_INTEL) return false;
  BOOL wow64 = FALSE;
  return IsWow64Process(GetCurrentProcess(), &wow64) && wow64;
}

bool StartServiceByName(const std::wstring& name) {
  suite::ScopedService manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (!manager) return false;
  suite::ScopedService service(OpenServiceW(manager.get(), name.c_str(), SERVICE_ALL_ACCESS));
  if (!service) return false;
  BOOL started = StartServiceW(service.get(), 0, nullptr);
  return ServiceStartCounts(started != FALSE, started ? 0 : GetLastError());
}

bool StartDetachedProcess(const wchar_t* application, const std::wstring& commandLine) {
  // CreateProcessW may write into the command line: hand it a private, NUL-terminated copy.
  std::vector<wchar_t> writable(commandLine.begin(), commandLine.end());
  writable.push_back(0);
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION started = {};
  if (!CreateProcessW(application, writable.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &started)) {
    suite::DiagFailure("CreateProcessW", GetLastError());
    return false;
  }
  suite::ScopedKernelObject thread(started.hThread);
  suite::ScopedKernelObject process(started.hProcess);
  return true;
}

bool EnableDebugPrivilege() {
  suite::ScopedKernelObject token;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, token.receive())) return false;
  TOKEN_PRIVILEGES privileges;
  ZeroMemory(&privileges, sizeof(privileges));
  if (!LookupPrivilegeValueW(nullptr, L"SeDebugPrivilege", &privileges.Privileges[0].Luid)) return false;
  privileges.PrivilegeCount = 1;
  privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  SetLastError(0);
  BOOL adjusted = AdjustTokenPrivileges(token.get(), FALSE, &privileges, 0, nullptr, nullptr);
  return DebugPrivilegeEnabled(adjusted != FALSE, GetLastError());
}

}  // namespace kelvor
