// Identity, data folder and product version in the logged-on user's context.
// clang-format off
// winsock2.h before windows.h, and the IP helper after both.
#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>
// clang-format on
#include "kerneldump/user_context_win.h"

#include <sddl.h>
#include <share.h>
#include <shlobj.h>
#include <wtsapi32.h>

#include <cstdio>
#include <sstream>
#include <vector>

#include "common/path.h"
#include "common/scoped_handle_win.h"
#include "kerneldump/drummet_win.h"
#include "kerneldump/registry_value.h"
#include "kerneldump/report_package.h"
#include "kerneldump/version_xml.h"

namespace kerneldump {

namespace {

// FOLDERID_LocalAppDataLow, spelled out so that no import library is needed for it.
const GUID kLocalAppDataLow = {0xA520A1A4, 0x1780, 0x4FF6, {0xBD, 0x18, 0x16, 0x73, 0x43, 0xC5, 0xAF, 0x16}};
const DWORD kKnownFolderCreate = 0x8000;
const int kLocalAppDataCreate = 0x801C;

class WinSessionApi : public SessionApi {
 public:
  uint32_t ConsoleSessionId() override { return WTSGetActiveConsoleSessionId(); }
  TokenHandle QueryUserToken(uint32_t session) override {
    HANDLE token = nullptr;
    return WTSQueryUserToken(session, &token) ? token : nullptr;
  }
  bool EnumerateSessions(std::vector<SessionRecord>& sessions) override {
    WTS_SESSION_INFOW* list = nullptr;
    DWORD count = 0;
    if (!WTSEnumerateSessionsW(WTS_CURRENT_SERVER_HANDLE, 0, 1, &list, &count)) return false;
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
    if (RegOpenCurrentUser(KEY_ALL_ACCESS, hive_.receive()) != ERROR_SUCCESS) hive_.release();
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
bool WinIdentityContext::Impersonate(TokenHandle token) { return ImpersonateLoggedOnUser(token) != FALSE; }
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
  if (RegOpenKeyExW(hive.get(), kIdentityKey, 0, KEY_ALL_ACCESS, key.receive()) != ERROR_SUCCESS)
    return false;
  BYTE bytes[520] = {};
  DWORD type = 0, size = sizeof(bytes);
  LONG rc = RegQueryValueExW(key.get(), kIdentityValue, nullptr, &type, bytes, &size);
  return rc == ERROR_SUCCESS && DecodeUnterminatedString(type, bytes, size, id);
}

void WinIdentityContext::StoreIdentity(const std::wstring& id) {
  UserHive hive;
  suite::ScopedRegKey key;
  if (RegCreateKeyExW(hive.get(), kIdentityKey, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr,
                      key.receive(), nullptr) != ERROR_SUCCESS)
    return;
  // Stored without the terminating zero, as the product's other readers expect.
  RegSetValueExW(key.get(), kIdentityValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(id.c_str()),
                 static_cast<DWORD>(id.size() * sizeof(wchar_t)));
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
  if (!GetUserNameW(name, &nameLength)) return false;
  DWORD sidSize = 0, domainSize = 0;
  SID_NAME_USE use;
  LookupAccountNameW(nullptr, name, nullptr, &sidSize, nullptr, &domainSize, &use);
  if (sidSize == 0) return false;
  std::vector<BYTE> sidBytes(sidSize + 1);
  std::vector<wchar_t> domain(domainSize + 1);
  if (!LookupAccountNameW(nullptr, name, sidBytes.data(), &sidSize, domain.data(), &domainSize, &use))
    return false;
  wchar_t* text = nullptr;
  if (!ConvertSidToStringSidW(sidBytes.data(), &text)) return false;
  sid = text;
  LocalFree(text);
  return true;
}

bool GetPrimaryMacAddress(std::wstring& mac) {
  ULONG size = 0;
  if (GetAdaptersAddresses(AF_INET, 0, nullptr, nullptr, &size) != ERROR_BUFFER_OVERFLOW) return false;
  std::vector<BYTE> buffer(size);
  auto* first = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data());
  if (GetAdaptersAddresses(AF_INET, 0, nullptr, first, &size) != ERROR_SUCCESS) return false;
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
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ALL_ACCESS, token.receive())) return false;
  TOKEN_PRIVILEGES wanted = {};
  bool ok = false;
  if (LookupPrivilegeValueW(nullptr, name, &wanted.Privileges[0].Luid)) {
    wanted.PrivilegeCount = 1;
    wanted.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    BYTE previous[16] = {};
    DWORD previousSize = sizeof(previous);
    BOOL adjusted = AdjustTokenPrivileges(token.get(), FALSE, &wanted, sizeof(previous),
                                          reinterpret_cast<TOKEN_PRIVILEGES*>(previous), &previousSize);
    ok = PrivilegeWasEnabled(adjusted != FALSE, GetLastError());
  }
  return ok;
}

bool IsVistaOrLater() {
  OSVERSIONINFOEXW version = {};
  version.dwOSVersionInfoSize = sizeof(version);
  version.dwMajorVersion = 6;
  DWORDLONG mask = 0;
  mask = VerSetConditionMask(mask, VER_MAJORVERSION, VER_GREATER_EQUAL);
  mask = VerSetConditionMask(mask, VER_MINORVERSION, VER_GREATER_EQUAL);
  mask = VerSetConditionMask(mask, VER_SERVICEPACKMAJOR, VER_GREATER_EQUAL);
  mask = VerSetConditionMask(mask, VER_SERVICEPACKMINOR, VER_GREATER_EQUAL);
  return VerifyVersionInfoW(&version,
                            VER_MAJORVERSION | VER_MINORVERSION | VER_SERVICEPACKMAJOR | VER_SERVICEPACKMINOR,
                            mask) != FALSE;
}

namespace {

void LookUpAppDataFolder(wchar_t* out, size_t capacity) {
  if (IsVistaOrLater()) {
    suite::ScopedLibrary shell32(LoadLibraryW(L"shell32.dll"));
    if (!shell32) return;
    typedef HRESULT(WINAPI * KnownFolderFn)(REFGUID, DWORD, HANDLE, PWSTR*);
    auto known = ProcAddress<KnownFolderFn>(shell32.get(), "SHGetKnownFolderPath");
    PWSTR path = nullptr;
    if (known && SUCCEEDED(known(kLocalAppDataLow, kKnownFolderCreate, nullptr, &path)) && path) {
      lstrcpynW(out, path, static_cast<int>(capacity));
    }
    if (path) CoTaskMemFree(path);
    return;
  }
  SHGetFolderPathW(nullptr, kLocalAppDataCreate, nullptr, SHGFP_TYPE_CURRENT, out);
}

void AppendFolder(wchar_t* out, size_t capacity, const wchar_t* name, bool create) {
  std::wstring joined = suite::JoinPath(out, name);
  lstrcpynW(out, joined.c_str(), static_cast<int>(capacity));
  if (create && GetFileAttributesW(out) == INVALID_FILE_ATTRIBUTES) CreateDirectoryW(out, nullptr);
}

}  // namespace

bool GetDataFolder(wchar_t* out, size_t capacity, bool create) {
  if (capacity >= MAX_PATH) LookUpAppDataFolder(out, capacity);
  AppendFolder(out, capacity, L"Vemko", create);
  AppendFolder(out, capacity, L"Ossary", create);
  return true;
}

bool ReadProgramVersion(wchar_t* out) {
  wchar_t module[MAX_PATH] = {};
  DWORD n = GetModuleFileNameW(nullptr, module, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return false;
  std::wstring folder;
  if (!ModuleFolderFromPath(module, folder)) return false;
  FILE* file = _wfsopen((folder + L"version.xml").c_str(), L"rt", _SH_DENYNO);
  if (!file) return false;
  std::string content;
  char chunk[4096];
  size_t got;
  while ((got = fread(chunk, 1, sizeof(chunk), file)) > 0) content.append(chunk, got);
  fclose(file);
  std::istringstream lines(content);
  std::string version;
  if (!ProgramVersionFromStream(lines, version)) return false;
  int written = MultiByteToWideChar(CP_ACP, 0, version.c_str(), -1, out, static_cast<int>(kVersionCapacity));
  if (written == 0) out[0] = 0;
  return written != 0;
}

}  // namespace kerneldump
