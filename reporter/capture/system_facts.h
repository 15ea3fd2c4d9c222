// What Kelvor learns about the machine and does to it: Windows version, bitness, the service start
// of a restart and the debug privilege. The version table is platform-free; the rest is Windows.
#pragma once
#include <cstdint>
#include <string>

namespace kelvor {

// The code of a version record (platform id, major, minor, product type) by the release table;
// -1 when there is no record or the platform or Windows 9x version is unknown. NT versions the
// table does not name, later ones included, count as Windows 7.
int WindowsVersionCodeFor(bool haveRecord, uint32_t platformId, uint32_t major, uint32_t minor,
                          uint32_t productType);
// The name the report prints for a code; "WIN_UNKNOWN" for -1 and any code not in the table.
const wchar_t* WindowsVersionNameFor(int code);

// AdjustTokenPrivileges "succeeds" also when the token lacks the privilege; only a last error of 0
// means it was really enabled.
inline bool DebugPrivilegeEnabled(bool adjustSucceeded, uint32_t lastError) {
  return adjustSucceeded && lastError == 0;
}

// A failed StartServiceW still counts as started when the service was already running (1056).
inline bool ServiceStartCounts(bool startSucceeded, uint32_t lastError) {
  return startSucceeded || lastError == 1056;
}

#ifdef _WIN32
bool GetWindowsVersionCode(int& code);
bool GetWindowsVersionName(std::wstring& name);
bool Is64BitSystem();
bool StartServiceByName(const std::wstring& name);
bool EnableDebugPrivilege();
#endif

}  // namespace kelvor
