// Report identity rules.
#include "kerneldump/identity.h"

#include "common/wformat.h"

namespace kerneldump {

const wchar_t kDefaultIdentity[] = L"0000-0000-0000#0000";

std::wstring FormatMac(const std::vector<uint8_t>& bytes) {
  std::wstring text;
  for (uint8_t b : bytes) text += suite::WFormat(L"%02X", unsigned(b));
  return text;
}

bool ChoosePrimaryMac(const std::vector<AdapterRecord>& adapters, std::wstring& mac) {
  const AdapterRecord* wireless = nullptr;
  for (const AdapterRecord& a : adapters) {
    if (a.physicalAddress.empty()) continue;
    if (a.ifType == kIfTypeEthernet) {
      mac = FormatMac(a.physicalAddress);
      return true;
    }
    if (a.ifType == kIfTypeWireless && !wireless) wireless = &a;
  }
  if (!wireless) return false;
  mac = FormatMac(wireless->physicalAddress);
  return true;
}

bool IsUsableIdentity(const std::wstring& id) { return id.size() > kShortIdentityMax; }

bool ComposeUserMachineId(bool haveSid, const std::wstring& sid, bool haveMac, const std::wstring& mac,
                          size_t capacity, std::wstring& out) {
  if (capacity < 1) return false;
  if (haveSid) {
    std::wstring id = sid;
    if (haveMac) id += L"#" + mac;
    if (id.size() + 1 < capacity) {
      out = id;
      return true;
    }
  }
  out = capacity >= 20 ? std::wstring(kDefaultIdentity) : std::wstring();
  return false;
}

bool PrivilegeWasEnabled(bool callSucceeded, uint32_t lastError) {
  const uint32_t kNotAllAssigned = 1300;
  return callSucceeded && lastError != kNotAllAssigned;
}

TokenHandle PickActiveUserToken(SessionApi& api) {
  const uint32_t console = api.ConsoleSessionId();
  if (TokenHandle token = api.QueryUserToken(console)) return token;
  uint32_t chosen = console;
  std::vector<SessionRecord> sessions;
  if (api.EnumerateSessions(sessions)) {
    for (const SessionRecord& s : sessions) {
      if (s.state == 0) {
        chosen = s.id;
        break;
      }
    }
  }
  return api.QueryUserToken(chosen);
}

bool GetReportIdWith(IdentityContext& context, std::wstring& out, size_t capacity, TokenHandle token) {
  // Needed to query another logon session's token; a refusal still leaves the own context to try.
  context.EnableTcbPrivilege();
  const bool ownsToken = token == nullptr;
  if (ownsToken) token = context.ActiveUserToken();

  bool impersonating = false;
  if (token) {
    impersonating = context.Impersonate(token);
    if (impersonating) context.BuildUserMachineId(out, capacity);
  } else {
    context.BuildUserMachineId(out, capacity);
  }

  bool result = false;
  if (!IsUsableIdentity(out)) {
    std::wstring stored;
    if (context.ReadStoredIdentity(stored) && IsUsableIdentity(stored)) {
      out = stored.substr(0, capacity > 0 ? capacity - 1 : 0);
      result = true;
    }
  } else {
    context.StoreIdentity(out);
    result = true;
  }

  // Only a successful impersonation is reverted.
  if (impersonating) context.Revert();
  if (token && ownsToken) context.CloseToken(token);
  return result;
}

}  // namespace kerneldump
