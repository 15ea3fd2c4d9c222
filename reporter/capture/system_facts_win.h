// What Kelvor learns about the running Windows and does to it: the version, the bitness, the service
// start of a restart and the debug privilege. Each call owns nothing after it returns; a false
// result means the system refused or did not answer, and the caller goes on without the fact.
#pragma once
#include <string>

#include "reporter/capture/system_facts.h"

namespace kelvor {

// The release table's code of the running system (-1 and false when the version cannot be read).
bool GetWindowsVersionCode(int& code);
// The report's name of the running system; a name is always left, "WIN_UNKNOWN" included.
bool GetWindowsVersionName(std::wstring& name);
bool Is64BitSystem();
// Starts the named service; one already running counts as started.
bool StartServiceByName(const std::wstring& name);
// Starts a process nothing waits for: `application` (null: the command line's first word) with
// `commandLine`, no inherited handles, Kelvor's environment and folder. False when it cannot start.
bool StartDetachedProcess(const wchar_t* application, const std::wstring& commandLine);
// True only when the privilege is really enabled for Kelvor's own process.
bool EnableDebugPrivilege();

}  // namespace kelvor
