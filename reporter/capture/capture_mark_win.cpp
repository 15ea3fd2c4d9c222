// The registry mark of a dump: Kelvor creates it with 0, the uploader sets it to 1 and removes it.
#include "common/diag_log.h"
#include "common/protocol/registry_names.h"
#include "common/protocol/uploader_switches.h"
#include "common/scoped_handle_win.h"
#include "reporter/capture/crash_capture_win.h"

namespace kelvor {

namespace {

std::wstring MarkKeyName(const std::wstring& productVersion) {
  return std::wstring(protocol::kBugMarkKey) + L"\\" + productVersion;
}

// Marks `dumpFileName` with 0 under the product version's key of HKEY_CURRENT_USER.
bool MarkDumpInRegistry(const std::wstring& productVersion, const std::wstring& dumpFileName) {
  const std::wstring keyName = MarkKeyName(productVersion);
  suite::ScopedRegKey key;
  LONG rc = RegCreateKeyExW(HKEY_CURRENT_USER, keyName.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                            KEY_SET_VALUE | KEY_CREATE_SUB_KEY, nullptr, key.receive(), nullptr);
  if (rc != ERROR_SUCCESS) {
    suite::DiagFailure("RegCreateKeyExW", static_cast<unsigned long>(rc));
    return false;
  }
  DWORD zero = 0;
  rc = RegSetValueExW(key.get(), dumpFileName.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&zero),
                      sizeof(zero));
  if (rc != ERROR_SUCCESS) suite::DiagFailure("RegSetValueExW", static_cast<unsigned long>(rc));
  return rc == ERROR_SUCCESS;
}

}  // namespace

bool CCrashCapture::RecordDumpInRegistry() {
  if (!valid) return false;
  // Keyed by the version as the uploader is told it, so it finds (and removes) this very mark.
  return MarkDumpInRegistry(protocol::SafeSwitchValue(protocol::SlotText(bugInfo->productVersion)),
                            dumpFileName);
}

bool CCrashCapture::RemoveDumpMark() {
  if (!valid) return false;
  suite::ScopedRegKey key;
  LONG rc = RegOpenKeyExW(HKEY_CURRENT_USER, MarkKeyName(protocol::SlotText(bugInfo->productVersion)).c_str(),
                          0, KEY_SET_VALUE, key.receive());
  if (rc == ERROR_SUCCESS) rc = RegDeleteValueW(key.get(), dumpFileName.c_str());
  if (rc != ERROR_SUCCESS) suite::DiagFailure("RegDeleteValueW", static_cast<unsigned long>(rc));
  return rc == ERROR_SUCCESS;
}

}  // namespace kelvor
