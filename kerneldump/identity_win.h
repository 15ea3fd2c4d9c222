// The report identity on Windows: the steps of identity.h's GetReportIdWith over the real system
// (the logged-on user's token and hive, the user's SID, the primary adapter's MAC).
//
// Ownership: the caller owns the output buffers and a token it passes in; GetActiveUserToken's token
// is the caller's to close. False means nothing usable was found (the cases are given with each
// function); output buffers may then hold an empty or default text.
#pragma once
#include <windows.h>

#include <string>

#include "kerneldump/identity.h"

namespace kerneldump {

// Fills `out` (capacity characters) with the report identity; `token` may be null.
bool GetReportId(wchar_t* out, size_t capacity, HANDLE token);
bool BuildUserMachineId(wchar_t* out, size_t capacity);
bool GetUserSidString(std::wstring& sid);
bool GetPrimaryMacAddress(std::wstring& mac);
HANDLE GetActiveUserToken();
bool EnablePrivilege(const wchar_t* name);

// The Windows implementation of GetReportId's steps, exposed for tests that replace a step.
class WinIdentityContext : public IdentityContext {
 public:
  bool EnableTcbPrivilege() override;
  TokenHandle ActiveUserToken() override;
  bool Impersonate(TokenHandle token) override;
  void Revert() override;
  void CloseToken(TokenHandle token) override;
  void BuildUserMachineId(std::wstring& out, size_t capacity) override;
  bool ReadStoredIdentity(std::wstring& id) override;
  void StoreIdentity(const std::wstring& id) override;
};

}  // namespace kerneldump
