// The Windows release table over every row, and the two result rules of the system calls.
#include "reporter/capture/system_facts.h"

#include <gtest/gtest.h>

#include <string>

namespace kelvor {
namespace {

// The code of no known release.
constexpr int kUnknown = -1;

struct Row {
  uint32_t platform, major, minor, productType;
  int code;
  const wchar_t* name;
};

TEST(WindowsVersion, EveryRowOfTheTable) {
  const Row rows[] = {
      {0, 3, 1, 0, 100, L"WIN_32"},
      {0, 9, 9, 1, 100, L"WIN_32"},
      {1, 4, 0, 0, 101, L"WIN_95"},
      {1, 4, 10, 0, 102, L"WIN_98"},
      {1, 4, 90, 0, 103, L"WIN_ME"},
      {2, 3, 51, 1, 104, L"WIN_NT"},
      {2, 4, 0, 3, 104, L"WIN_NT"},
      {2, 5, 0, 1, 105, L"WIN_2K"},
      {2, 5, 1, 1, 200, L"WIN_XP"},
      {2, 5, 2, 3, 300, L"WIN_2003"},
      {2, 6, 0, 1, 400, L"WIN_VISTA"},
      {2, 6, 0, 3, 500, L"WIN_SERVER_2008"},
      {2, 6, 0, 0, 500, L"WIN_SERVER_2008"},  // the plain record has no product type
      {2, 6, 1, 1, 600, L"WIN_7"},
      {2, 6, 1, 3, 700, L"WIN_SERVER_2008_R2"},
      {2, 6, 1, 2, 700, L"WIN_SERVER_2008_R2"},
      {2, 6, 2, 1, 900, L"WIN_8"},
      {2, 6, 2, 3, 800, L"WIN_SERVER_2012"},
      {2, 5, 3, 1, 600, L"WIN_7"},
      {2, 6, 3, 1, 600, L"WIN_7"},
      {2, 6, 3, 3, 600, L"WIN_7"},
      {2, 10, 0, 1, 600, L"WIN_7"},
      {2, 7, 0, 3, 600, L"WIN_7"},
  };
  for (const Row& r : rows) {
    int code = WindowsVersionCodeFor(true, r.platform, r.major, r.minor, r.productType);
    EXPECT_EQ(code, r.code) << r.platform << " " << r.major << "." << r.minor << " type " << r.productType;
    EXPECT_EQ(std::wstring(WindowsVersionNameFor(code)), r.name);
  }
  // Records that name no release: Windows 9x versions between the known ones, an unknown platform.
  const uint32_t none[][4] = {{1, 4, 5, 0}, {1, 5, 0, 0}, {3, 10, 0, 1}};
  for (const auto& r : none)
    EXPECT_EQ(WindowsVersionCodeFor(true, r[0], r[1], r[2], r[3]), kUnknown)
        << r[0] << " " << r[1] << "." << r[2];
  EXPECT_EQ(WindowsVersionCodeFor(false, 2, 6, 1, 1), kUnknown);
  EXPECT_EQ(std::wstring(WindowsVersionNameFor(kUnknown)), L"WIN_UNKNOWN");
  EXPECT_EQ(std::wstring(WindowsVersionNameFor(601)), L"WIN_UNKNOWN");
}

TEST(SystemCallRules, DebugPrivilegeAndServiceStart) {
  EXPECT_TRUE(DebugPrivilegeEnabled(true, 0));
  EXPECT_FALSE(DebugPrivilegeEnabled(true, 1300));  // ERROR_NOT_ALL_ASSIGNED: token lacks it
  EXPECT_FALSE(DebugPrivilegeEnabled(false, 0));
  EXPECT_TRUE(ServiceStartCounts(true, 0));
  EXPECT_TRUE(ServiceStartCounts(false, 1056));  // already running
  EXPECT_FALSE(ServiceStartCounts(false, 1058));
}

}  // namespace
}  // namespace kelvor
