// The platform-free half of what Kelvor learns about the machine: the Windows release table and the
// result rules of the system calls that system_facts_win.h makes. Pure functions, no state.
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

}  // namespace kelvor
