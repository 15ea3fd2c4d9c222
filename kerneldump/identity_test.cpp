#include "kerneldump/identity.h"

#include <gtest/gtest.h>

namespace kerneldump {
namespace {

const std::vector<uint8_t> kWired = {0x00, 0x15, 0x5d, 0x01, 0x02, 0x03};
const std::vector<uint8_t> kRadio = {0xa0, 0xb1, 0xc2, 0xd3, 0xe4, 0xf5};

TEST(ChoosePrimaryMac, PrefersWiredOverAnEarlierWireless) {
  std::wstring mac;
  ASSERT_TRUE(ChoosePrimaryMac({{24, {}}, {kIfTypeWireless, kRadio}, {kIfTypeEthernet, kWired}}, mac));
  EXPECT_EQ(mac, L"00155D010203");
}

TEST(ChoosePrimaryMac, FallsBackToTheFirstWireless) {
  std::wstring mac;
  std::vector<uint8_t> second = {1, 2, 3, 4, 5, 6};
  ASSERT_TRUE(ChoosePrimaryMac({{kIfTypeWireless, kRadio}, {kIfTypeWireless, second}}, mac));
  EXPECT_EQ(mac, L"A0B1C2D3E4F5");
}

TEST(ChoosePrimaryMac, IgnoresOtherTypesAndEmptyAddresses) {
  std::wstring mac = L"untouched";
  EXPECT_FALSE(ChoosePrimaryMac({{24, kWired}, {kIfTypeEthernet, {}}, {23, kRadio}}, mac));
  EXPECT_EQ(mac, L"untouched");
  EXPECT_FALSE(ChoosePrimaryMac({}, mac));
}

// SID and MAC, the SID alone, the default without a SID, nothing without room.
TEST(ComposeUserMachineId, EveryRow) {
  const std::wstring kDefault = L"0000-0000-0000#0000", kMac = L"00155D010203";
  struct Row {
    bool haveSid;
    std::wstring sid;
    bool haveMac;
    std::wstring mac;
    size_t capacity;
    std::wstring before;
    bool composed;
    std::wstring after;
  } rows[] = {
      {true, L"S-1-5-21-1-2-3-1001", true, kMac, 256, L"stale", true, L"S-1-5-21-1-2-3-1001#00155D010203"},
      {true, L"S-1-5-18", false, L"", 256, L"stale", true, L"S-1-5-18"},
      {false, L"", true, kMac, 256, L"stale", false, kDefault},
      // 8 characters need a capacity of 10: the length plus terminator must stay below it.
      {true, L"S-1-5-18", false, L"", 9, kDefault, false, L""},
      {true, L"S-1-5-18", false, L"", 10, L"stale", true, L"S-1-5-18"},
      {true, std::wstring(30, L'S'), false, L"", 20, L"stale", false, kDefault},
      {true, L"S-1", false, L"", 0, L"kept", false, L"kept"},  // no room at all: left as it was
  };
  for (const Row& r : rows) {
    SCOPED_TRACE("row " + std::to_string(&r - rows));
    std::wstring out = r.before;
    EXPECT_EQ(ComposeUserMachineId(r.haveSid, r.sid, r.haveMac, r.mac, r.capacity, out), r.composed);
    EXPECT_EQ(out, r.after);
  }
}

TEST(IsUsableIdentity, ThresholdIsTwentyThree) {
  EXPECT_FALSE(IsUsableIdentity(std::wstring(22, L'x')));
  EXPECT_TRUE(IsUsableIdentity(std::wstring(23, L'x')));
  EXPECT_FALSE(IsUsableIdentity(L"0000-0000-0000#0000"));
  EXPECT_FALSE(IsUsableIdentity(L"S-1-5-18#00155D010203"));
}

TEST(PrivilegeWasEnabled, NotAllAssignedIsARefusal) {
  EXPECT_TRUE(PrivilegeWasEnabled(true, 0));
  EXPECT_FALSE(PrivilegeWasEnabled(true, 1300));
  EXPECT_FALSE(PrivilegeWasEnabled(false, 5));
}

class FakeSessions : public SessionApi {
 public:
  uint32_t console = 1;
  std::vector<uint32_t> withToken;
  bool enumerates = true;
  std::vector<SessionRecord> sessions;
  std::vector<uint32_t> queried;
  uint32_t ConsoleSessionId() override { return console; }
  TokenHandle QueryUserToken(uint32_t s) override {
    queried.push_back(s);
    for (uint32_t t : withToken)
      if (t == s) return reinterpret_cast<TokenHandle>(uintptr_t(0x100 + s));
    return nullptr;
  }
  bool EnumerateSessions(std::vector<SessionRecord>& out) override {
    out = sessions;
    return enumerates;
  }
};

TEST(PickActiveUserToken, ConsoleSessionFirst) {
  FakeSessions api;
  api.withToken = {1, 2};
  api.sessions = {{2, 0}};
  EXPECT_EQ(PickActiveUserToken(api), reinterpret_cast<TokenHandle>(0x101));
  EXPECT_EQ(api.queried, std::vector<uint32_t>{1});
}

TEST(PickActiveUserToken, NoConsoleUserTakesTheFirstActiveSession) {
  FakeSessions api;
  api.console = 0xFFFFFFFF;  // no session attached to the console
  api.withToken = {3, 4};
  api.sessions = {{0, 4}, {4, 1}, {3, 0}, {5, 0}};
  EXPECT_EQ(PickActiveUserToken(api), reinterpret_cast<TokenHandle>(0x103));
  EXPECT_EQ(api.queried, (std::vector<uint32_t>{0xFFFFFFFF, 3}));
}

TEST(PickActiveUserToken, NoActiveSessionAsksTheConsoleAgain) {
  FakeSessions api;
  api.sessions = {{0, 4}};
  EXPECT_EQ(PickActiveUserToken(api), nullptr);
  EXPECT_EQ(api.queried, (std::vector<uint32_t>{1, 1}));
  FakeSessions broken;
  broken.enumerates = false;
  broken.sessions = {{7, 0}};
  EXPECT_EQ(PickActiveUserToken(broken), nullptr);
  EXPECT_EQ(broken.queried, (std::vector<uint32_t>{1, 1}));
}

class FakeIdentity : public IdentityContext {
 public:
  bool privilege = true, impersonates = true, hasStored = false;
  TokenHandle token = reinterpret_cast<TokenHandle>(0x42);
  std::wstring built = L"S-1-5-21-11-22-33-1001#00155D010203", stored;
  std::vector<std::string> calls;

  bool EnableTcbPrivilege() override {
    calls.push_back("privilege");
    return privilege;
  }
  TokenHandle ActiveUserToken() override {
    calls.push_back("token");
    return token;
  }
  bool Impersonate(TokenHandle) override {
    calls.push_back("impersonate");
    return impersonates;
  }
  void Revert() override { calls.push_back("revert"); }
  void CloseToken(TokenHandle) override { calls.push_back("close"); }
  void BuildUserMachineId(std::wstring& out, size_t) override {
    calls.push_back("build");
    out = built;
  }
  bool ReadStoredIdentity(std::wstring& id) override {
    calls.push_back("read");
    id = stored;
    return hasStored;
  }
  void StoreIdentity(const std::wstring& id) override {
    calls.push_back("store");
    stored = id;
    hasStored = true;
  }
};

TEST(GetReportIdWith, StoresAUsableIdentityInTheUsersContext) {
  FakeIdentity c;
  std::wstring out;
  EXPECT_TRUE(GetReportIdWith(c, out, kReportIdCapacity, nullptr));
  EXPECT_EQ(out, c.built);
  EXPECT_EQ(c.stored, c.built);
  EXPECT_EQ(c.calls, (std::vector<std::string>{"privilege", "token", "impersonate", "build", "store",
                                               "revert", "close"}));
}

// A built identity too short to use beside a stored one: the stored one when it is usable, cut to
// the capacity; else the built one. The stored one stays as it was.
TEST(GetReportIdWith, AShortIdentityBesideAStoredOne) {
  struct Row {
    std::wstring built, stored;
    size_t capacity;
    bool found;
    std::wstring out;
  } rows[] = {
      {L"0000-0000-0000#0000", L"S-1-5-21-11-22-33-1001#00155D010203", kReportIdCapacity, true,
       L"S-1-5-21-11-22-33-1001#00155D010203"},
      {L"S-1-5-18", std::wstring(22, L'7'), kReportIdCapacity, false, L"S-1-5-18"},  // 22 is too short
      {L"", std::wstring(40, L'9'), 30, true, std::wstring(29, L'9')},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE("row " + std::to_string(&r - rows));
    FakeIdentity c;
    c.built = r.built;
    c.hasStored = true;
    c.stored = r.stored;
    std::wstring out;
    EXPECT_EQ(GetReportIdWith(c, out, r.capacity, nullptr), r.found);
    EXPECT_EQ(out, r.out);
    EXPECT_EQ(c.stored, r.stored);
  }
}

TEST(GetReportIdWith, RefusedPrivilegeAndNoSessionStillBuildInOwnContext) {
  FakeIdentity c;
  c.privilege = false;
  c.token = nullptr;
  std::wstring out;
  EXPECT_TRUE(GetReportIdWith(c, out, kReportIdCapacity, nullptr));
  EXPECT_EQ(out, c.built);
  EXPECT_EQ(c.calls, (std::vector<std::string>{"privilege", "token", "build", "store"}));
}

TEST(GetReportIdWith, FailedImpersonationLeavesTheIdentityEmptyUnlessStored) {
  FakeIdentity c;
  c.impersonates = false;
  std::wstring out;
  EXPECT_FALSE(GetReportIdWith(c, out, kReportIdCapacity, nullptr));
  EXPECT_EQ(out, L"");
  EXPECT_EQ(c.calls, (std::vector<std::string>{"privilege", "token", "impersonate", "read", "close"}));
}

TEST(GetReportIdWith, ACallersTokenIsNotClosed) {
  FakeIdentity c;
  std::wstring out;
  GetReportIdWith(c, out, kReportIdCapacity, reinterpret_cast<TokenHandle>(0x77));
  EXPECT_EQ(c.calls, (std::vector<std::string>{"privilege", "impersonate", "build", "store", "revert"}));
}

}  // namespace
}  // namespace kerneldump
