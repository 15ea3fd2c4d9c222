// The logged-on user's context for Drummet's reports (Windows): identity, data folder, version.
//
// Ownership: the caller owns the output buffers and a token it passes in; GetActiveUserToken's token
// is the caller's to close. False means nothing usable was found (the cases are given with each
// function); output buffers may then hold an empty or default text.
#pragma once
#include <windows.h>

#include <string>

#include "common/protocol/registry_names.h"
#include "kerneldump/identity.h"

namespace kerneldump {

using protocol::kIdentityKey;
using protocol::kIdentityValue;

// Fills `out` (capacity characters) with the report identity; `token` may be null.
bool GetReportId(wchar_t* out, size_t capacity, HANDLE token);
bool BuildUserMachineId(wchar_t* out, size_t capacity);
bool GetUserSidString(std::wstring& sid);
bool GetPrimaryMacAddress(std::wstring& mac);
HANDLE GetActiveUserToken();
bool EnablePrivilege(const wchar_t* name);
// The user's low-integrity application-data folder + "Vemko\Ossary"; always true.
bool GetDataFolder(wchar_t* out, size_t capacity, bool create);
bool IsVistaOrLater();
// "version.xml" beside the program; `out` gets at most 63 characters and a terminator.
bool ReadProgramVersion(wchar_t* out);

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
