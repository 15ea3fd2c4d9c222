// Install-folder and program-folder lookups.
#include "common/folders_win.h"

#include <shlwapi.h>

#include "common/scoped_handle_win.h"

namespace suite {

bool ReadInstallDir(wchar_t* buffer, DWORD& capacity) {
  ScopedRegKey key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, protocol::kUninstallKey, 0, KEY_READ, key.receive()) != ERROR_SUCCESS)
    return false;
  ZeroMemory(buffer, capacity * sizeof(wchar_t));
  // One character less than the buffer, so at least one NUL stays at the end.
  DWORD bytes = capacity * 2 - 2;
  LONG rc = RegQueryValueExW(key.get(), protocol::kInstallDirValue, nullptr, nullptr,
                             reinterpret_cast<BYTE*>(buffer), &bytes);
  if (rc == ERROR_SUCCESS) capacity = static_cast<DWORD>(lstrlenW(buffer));
  return rc == ERROR_SUCCESS;
}

bool ReadProgramFolder(wchar_t* buffer, DWORD capacity) {
  if (GetModuleFileNameW(nullptr, buffer, capacity) == 0) return false;
  PathRemoveFileSpecW(buffer);
  return true;
}

bool GetInstallDir(std::wstring& out) {
  wchar_t buffer[MAX_PATH] = {};
  DWORD capacity = MAX_PATH;
  if (!ReadInstallDir(buffer, capacity)) return false;
  out.assign(buffer);
  return true;
}

std::wstring ProductFolder(bool* installed) {
  std::wstring folder;
  const bool found = GetInstallDir(folder) && !folder.empty();
  if (installed) *installed = found;
  return found ? folder : GetProgramFolderPath();
}

std::wstring GetProgramFolderPath() {
  wchar_t buffer[MAX_PATH + 1] = {};
  if (!ReadProgramFolder(buffer, MAX_PATH + 1)) return std::wstring();
  return buffer;
}

}  // namespace suite
