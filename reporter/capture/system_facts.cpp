// The Windows release table: version record to code, code to name.
#include "reporter/capture/system_facts.h"

namespace kelvor {

namespace {
constexpr uint32_t kPlatformWin32s = 0;
constexpr uint32_t kPlatformWindows = 1;
constexpr uint32_t kPlatformNt = 2;
constexpr uint32_t kNtWorkstation = 1;

int NtCode(uint32_t major, uint32_t minor, uint32_t productType) {
  bool workstation = productType == kNtWorkstation;
  if (major <= 4) return 104;
  if (major == 5 && minor == 0) return 105;
  if (major == 5 && minor == 1) return 200;
  if (major == 5 && minor == 2) return 300;
  if (major == 6 && minor == 0) return workstation ? 400 : 500;
  if (major == 6 && minor == 1) return workstation ? 600 : 700;
  if (major == 6 && minor == 2) return workstation ? 900 : 800;
  return 600;  // every later NT release is reported as Windows 7
}
}  // namespace

int WindowsVersionCodeFor(bool haveRecord, uint32_t platformId, uint32_t major, uint32_t minor,
                          uint32_t productType) {
  if (!haveRecord) return -1;
  switch (platformId) {
    case kPlatformWin32s:
      return 100;
    case kPlatformWindows:
      if (major != 4) return -1;
      if (minor == 0) return 101;
      if (minor == 10) return 102;
      if (minor == 90) return 103;
      return -1;
    case kPlatformNt:
      return NtCode(major, minor, productType);
    default:
      return -1;
  }
}

const wchar_t* WindowsVersionNameFor(int code) {
  switch (code) {
    case 100:
      return L"WIN_32";
    case 101:
      return L"WIN_95";
    case 102:
      return L"WIN_98";
    case 103:
      return L"WIN_ME";
    case 104:
      return L"WIN_NT";
    case 105:
      return L"WIN_2K";
    case 200:
      return L"WIN_XP";
    case 300:
      return L"WIN_2003";
    case 400:
      return L"WIN_VISTA";
    case 500:
      return L"WIN_SERVER_2008";
    case 600:
      return L"WIN_7";
    case 700:
      return L"WIN_SERVER_2008_R2";
    case 800:
      return L"WIN_SERVER_2012";
    case 900:
      return L"WIN_8";
    default:
      return L"WIN_UNKNOWN";
  }
}

}  // namespace kelvor
