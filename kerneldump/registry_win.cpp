// Registry access for Drummet.
#include "kerneldump/registry_win.h"

#include <vector>

#include "common/diag_failure_win.h"
#include "kerneldump/registry_value.h"

namespace kerneldump {
namespace {

// Notes a failed registry call; the registry's own code is passed on unchanged.
LONG Noted(const char* call, LONG rc) {
  if (rc != ERROR_SUCCESS) suite::DiagFailed(call, static_cast<unsigned long>(rc));
  return rc;
}

}  // namespace

LONG ReadRegString(HKEY key, const wchar_t* name, size_t capacity, std::wstring& text) {
  std::vector<BYTE> bytes(capacity * sizeof(wchar_t));
  DWORD type = 0;
  DWORD size = static_cast<DWORD>(bytes.size());
  LONG rc = Noted("RegQueryValueExW", RegQueryValueExW(key, name, nullptr, &type, bytes.data(), &size));
  if (rc != ERROR_SUCCESS) return rc;
  return CheckRegString(type, bytes.data(), size, text);
}

LONG ReadRegDword(HKEY key, const wchar_t* name, DWORD& value) {
  DWORD type = 0, data = 0, size = sizeof(data);
  LONG rc = Noted("RegQueryValueExW",
                  RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&data), &size));
  if (rc == ERROR_MORE_DATA) return ERROR_INVALID_DATA;
  if (rc != ERROR_SUCCESS) return rc;
  rc = CheckRegDword(type, size);
  if (rc == ERROR_SUCCESS) value = data;
  return rc;
}

LONG WriteRegString(HKEY key, const wchar_t* name, const std::wstring& text) {
  return Noted("RegSetValueExW",
               RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                              static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t))));
}

LONG WriteRegDword(HKEY key, const wchar_t* name, DWORD value) {
  return Noted("RegSetValueExW",
               RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value)));
}

}  // namespace kerneldump
