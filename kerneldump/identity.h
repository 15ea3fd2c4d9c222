// The report identity ("SID#MAC") and the rules around it (platform-free): which adapter's address
// is used, when an identity is usable, and when the stored one stands in. The Windows calls sit
// behind IdentityContext and SessionApi (identity_win.cpp), so that branches Windows rarely takes
// (a refused privilege, no console session) can be tested.
//
// Ownership: a TokenHandle that PickActiveUserToken or ActiveUserToken returns belongs to the caller,
// which closes it through CloseToken; GetReportIdWith closes the token it asked for itself and leaves
// a token it was given to the giver. False results are described with each function.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kerneldump {

constexpr uint32_t kIfTypeEthernet = 6;
constexpr uint32_t kIfTypeWireless = 71;
// The identity used when the user's SID cannot be found.
extern const wchar_t kDefaultIdentity[];
// Identities of this many characters or fewer carry too little to tell users apart.
constexpr size_t kShortIdentityMax = 22;
constexpr size_t kReportIdCapacity = 256;

struct AdapterRecord {
  uint32_t ifType = 0;
  std::vector<uint8_t> physicalAddress;
};

// Each byte as two upper-case hex digits.
std::wstring FormatMac(const std::vector<uint8_t>& bytes);
// The first wired adapter's MAC; without one, the first wireless adapter's; adapters without a
// physical address or of other types never count.
bool ChoosePrimaryMac(const std::vector<AdapterRecord>& adapters, std::wstring& mac);

bool IsUsableIdentity(const std::wstring& id);

// The result of BuildUserMachineId from its parts: SID [+ "#" + MAC] when it fits `capacity`
// (terminator included); otherwise the default identity when capacity allows, else empty.
bool ComposeUserMachineId(bool haveSid, const std::wstring& sid, bool haveMac, const std::wstring& mac,
                          size_t capacity, std::wstring& out);

// True when an adjust-privileges call really enabled the privilege: the call can succeed and still
// assign nothing (ERROR_NOT_ALL_ASSIGNED, 1300).
bool PrivilegeWasEnabled(bool callSucceeded, uint32_t lastError);

typedef void* TokenHandle;

// Terminal Services session lookups.
struct SessionRecord {
  uint32_t id = 0;
  uint32_t state = 0;  // 0 = WTSActive
};
class SessionApi {
 public:
  virtual ~SessionApi() = default;
  virtual uint32_t ConsoleSessionId() = 0;
  virtual TokenHandle QueryUserToken(uint32_t session) = 0;  // null on failure
  virtual bool EnumerateSessions(std::vector<SessionRecord>& sessions) = 0;
};
// The console session's user token; failing that, the first active session's (the console session
// again when none is active). Null when there is none.
TokenHandle PickActiveUserToken(SessionApi& api);

// What GetReportId needs from the system, in the order it uses it.
class IdentityContext {
 public:
  virtual ~IdentityContext() = default;
  virtual bool EnableTcbPrivilege() = 0;
  virtual TokenHandle ActiveUserToken() = 0;
  virtual bool Impersonate(TokenHandle token) = 0;
  virtual void Revert() = 0;
  virtual void CloseToken(TokenHandle token) = 0;
  // BuildUserMachineId into `out` with `capacity` characters.
  virtual void BuildUserMachineId(std::wstring& out, size_t capacity) = 0;
  // "swiftor-id" of the current (impersonated) user; false when it cannot be read.
  virtual bool ReadStoredIdentity(std::wstring& id) = 0;
  virtual void StoreIdentity(const std::wstring& id) = 0;
};

// Builds the identity in the user's context; a short one is replaced by a stored usable one, a
// usable one is stored. `out` holds the identity afterwards (possibly empty). True when the
// identity was taken from or stored into the registry.
bool GetReportIdWith(IdentityContext& context, std::wstring& out, size_t capacity, TokenHandle token);

}  // namespace kerneldump
