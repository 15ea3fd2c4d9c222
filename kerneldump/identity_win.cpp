// The report identity in the logged-on user's context: the user's SID and the primary adapter's MAC,
// the user's token and hive, and the stored identity that stands in for a short one.
// clang-format off
// winsock2.h before windows.h, and the IP helper after both.
#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>
// clang-format on
#include "kerneldump/identity_win.h"

#include <sddl.h>
#include <wtsapi32.h>

#include <vector>

#include "common/diag_failure_win.h"
#include "common/protocol/registry_names.h"
#include "common/scoped_handle_win.h"
#include "kerneldump/registry_value.h"

namespace kerneldump {

namespace {

class WinSessionApi : public SessionApi {
 public:
  uint32_t ConsoleSessionId() override { return WTSGetActiveConsoleSessionId(); }
  TokenHandle QueryUserToken(uint32_t session) override {
    HANDLE token = nullptr;
    if (WTSQueryUserToken(session, &token)) return token;
    suite::DiagFailed("WTSQueryUserToken");
    return nullptr;
  }
  bool EnumerateSessions(std::vector<SessionRecord>& sessions) override {
    WTS_SESSION_INFOW* list = nullptr;
    DWORD count = 0;
    if (!WTSEnumerateSessionsW(WTS_CURRENT_SERVER_HANDLE, 0, 1, &list, &count))
      return suite::DiagFailed("WTSEnumerateSessionsW");
    for (DWORD i = 0; i < count; ++i) sessions.push_back({list[i].SessionId, uint32_t(list[i].State)});
    WTSFreeMemory(list);
    return true;
  }
};

// The current (possibly impersonated) user's hive; the predefined key when it cannot be opened.
class UserHive {
 public:
  UserHive() {
    // What a failed call leaves behind is not a key of ours to close.
    const LONG rc = RegOpenCurrentUser(KEY_ALL_ACCESS, hive_.receive());
    if (rc != ERROR_SUCCESS) {
      hive_.release();
      suite::DiagFailed("RegOpenCurrentUser", static_cast<unsigned long>(rc));
    }
  }
  HKEY get() const { return hive_ ? hive_.get() : HKEY_CURRENT_USER; }

 private:
  suite::ScopedRegKey hive_;
};

void CopyOut(const std::wstring& text, wchar_t* out, size_t capacity) {
  if (!out || capacity == 0) return;
  lstrcpynW(out, text.c_str(), static_cast<int>(capacity));
}

}  // namespace

bool WinIdentityContext::EnableTcbPrivilege() { return EnablePrivilege(SE_TCB_NAME); }
TokenHandle WinIdentityContext::ActiveUserToken() { return GetActiveUserToken(); }
bool WinIdentityContext::Impersonate(TokenHandle token) {
  return ImpersonateLoggedOnUser(token) || suite::DiagFailed("ImpersonateLoggedOnUser");
}
void WinIdentityContext::Revert() { RevertToSelf(); }
void WinIdentityContext::CloseToken(TokenHandle token) { CloseHandle(token); }

void WinIdentityContext::BuildUserMachineId(std::wstring& out, size_t capacity) {
  std::vector<wchar_t> buffer(capacity + 1, 0);
  lstrcpynW(buffer.data(), out.c_str(), static_cast<int>(buffer.size()));
  kerneldump::BuildUserMachineId(buffer.data(), capacity);
  out = buffer.data();
}

bool WinIdentityContext::ReadStoredIdentity(std::wstring& id) {
  UserHive hive;
  suite::ScopedRegKey key;
  LONG rc = RegOpenKeyExW(hive.get(), protocol::kIdentityKey, 0, KEY_ALL_ACCESS, key.receive());
  if (rc != ERROR_SUCCESS) return suite::DiagFailed("RegOpenKeyExW", static_cast<unsigned long>(rc));
  BYTE bytes[520] = {};
  DWORD type = 0, size = sizeof(bytes);
  rc = RegQueryValueExW(key.get(), protocol::kIdentityValue, nullptr, &type, bytes, &size);
  if (rc != ERROR_SUCCESS) return suite::DiagFailed("RegQueryValueExW", static_cast<unsigned long>(rc));
  return DecodeUnterminatedString(type, bytes, size, id);
}

void WinIdentityContext::StoreIdentity(const std::wstring& id) {
  UserHive hive;
  suite::ScopedRegKey key;
  LONG rc = RegCreateKeyExW(hive.get(), protocol::kIdentityKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                            KEY_ALL_ACCESS, nullptr, key.receive(), nullptr);
  if (rc != ERROR_SUCCESS) {
    suite::DiagFailed("RegCreateKeyExW", static_cast<unsigned long>(rc));
    return;
  }
  // Stored without the terminating zero, as the product's other readers expect.
  rc = RegSetValueExW(key.get(), protocol::kIdentityValue, 0, REG_SZ,
                      reinterpret_cast<const BYTE*>(id.c_str()),
                      static_cast<DWORD>(id.size() * sizeof(wchar_t)));
  if (rc != ERROR_SUCCESS) suite::DiagFailed("RegSetValueExW", static_cast<unsigned long>(rc));
}

bool GetReportId(wchar_t* out, size_t capacity, HANDLE token) {
  if (!out || capacity == 0) return false;
  WinIdentityContext context;
  std::wstring id = out;
  bool result = GetReportIdWith(context, id, capacity, token);
  CopyOut(id, out, capacity);
  return result;
}

bool BuildUserMachineId(wchar_t* out, size_t capacity) {
  if (!out || capacity < 1) return false;
  std::wstring sid, mac, id;
  const bool haveSid = GetUserSidString(sid);
  const bool haveMac = haveSid && GetPrimaryMacAddress(mac);
  const bool ok = ComposeUserMachineId(haveSid, sid, haveMac, mac, capacity, id);
  CopyOut(id, out, capacity);
  return ok;
}

bool GetUserSidString(std::wstring& sid) {
  wchar_t name[257] = {};
  DWORD nameLength = ARRAYSIZE(name);
  if (!GetUserNameW(name, &nameLength)) return suite::DiagFailed("GetUserNameW");
  DWORD sidSize = 0, domainSize = 0;
  SID_NAME_USE use;
  LookupAccountNameW(nullptr, name, nullptr, &sidSize, nullptr, &domainSize, &use);
  if (sidSize == 0) return suite::DiagFailed("LookupAccountNameW");
  std::vector<BYTE> sidBytes(sidSize + 1);
  std::vector<wchar_t> domain(domainSize + 1);
  if (!LookupAccountNameW(nullptr, name, sidBytes.data(), &sidSize, domain.data(), &domainSize, &use))
    return suite::DiagFailed("LookupAccountNameW");
  wchar_t* text = nullptr;
  if (!ConvertSidToStringSidW(sidBytes.data(), &text)) return suite::DiagFailed("ConvertSidToStringSidW");
  sid = text;
  LocalFree(text);
  return true;
}

bool GetPrimaryMacAddress(std::wstring& mac) {
  ULONG size = 0;
  ULONG rc = GetAdaptersAddresses(AF_INET, 0, nullptr, nullptr, &size);
  if (rc != ERROR_BUFFER_OVERFLOW) return suite::DiagFailed("GetAdaptersAddresses", rc);
  std::vector<BYTE> buffer(size);
  auto* first = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data());
  rc = GetAdaptersAddresses(AF_INET, 0, nullptr, first, &size);
  if (rc != ERROR_SUCCESS) return suite::DiagFailed("GetAdaptersAddresses", rc);
  std::vector<AdapterRecord> adapters;
  for (IP_ADAPTER_ADDRESSES* a = first; a; a = a->Next) {
    AdapterRecord r;
    r.ifType = a->IfType;
    r.physicalAddress.assign(a->PhysicalAddress, a->PhysicalAddress + a->PhysicalAddressLength);
    adapters.push_back(r);
  }
  return ChoosePrimaryMac(adapters, mac);
}

HANDLE GetActiveUserToken() {
  WinSessionApi api;
  return PickActiveUserToken(api);
}

bool EnablePrivilege(const wchar_t* name) {
  suite::ScopedKernelObject token;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ALL_ACCESS, token.receive()))
    return suite::DiagFailed("OpenProcessToken");
  TOKEN_PRIVILEGES wanted = {};
  if (!LookupPrivilegeValueW(nullptr, name, &wanted.Privileges[0].Luid))
    return suite::DiagFailed("LookupPrivilegeValueW");
  wanted.PrivilegeCount = 1;
  wanted.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  BYTE previous[16] = {};
  DWORD previousSize = sizeof(previous);
  BOOL adjusted = AdjustTokenPrivileges(token.get(), FALSE, &wanted, sizeof(previous),
                                        reinterpret_cast<TOKEN_PRIVILEGES*>(previous), &previousSize);
  const DWORD error = GetLastError();
  // A call that succeeds can still have assigned nothing; both are a refusal to note.
  return PrivilegeWasEnabled(adjusted != FALSE, error) || suite::DiagFailed("AdjustTokenPrivileges", error);
}

}  // namespace kerneldump
