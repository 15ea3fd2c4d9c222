// Drummet's folders: the user's low-integrity data folder, and version.xml and "log\" beside the
// program.
#include "kerneldump/data_folder_win.h"

#include <share.h>
#include <shlobj.h>

#include <cerrno>
#include <cstdio>
#include <sstream>

#include "common/diag_failure_win.h"
#include "common/path.h"
#include "common/proc_address_win.h"
#include "common/protocol/file_names.h"
#include "common/scoped_handle_win.h"
#include "kerneldump/dump_folder_win.h"
#include "kerneldump/report_package.h"
#include "kerneldump/version_xml.h"
#include "kerneldump/wow64_guard_win.h"

namespace kerneldump {
namespace {

// FOLDERID_LocalAppDataLow, spelled out so that no import library is needed for it.
const GUID kLocalAppDataLow = {0xA520A1A4, 0x1780, 0x4FF6, {0xBD, 0x18, 0x16, 0x73, 0x43, 0xC5, 0xAF, 0x16}};
const DWORD kKnownFolderCreate = 0x8000;
const int kLocalAppDataCreate = 0x801C;
const size_t kPathCapacity = MAX_PATH;

// The base folder, or `out` left as it was when it can't be found.
void LookUpAppDataFolder(wchar_t* out, size_t capacity) {
  if (IsVistaOrLater()) {
    suite::ScopedLibrary shell32(LoadLibraryW(L"shell32.dll"));
    if (!shell32) {
      suite::DiagFailed("LoadLibraryW");
      return;
    }
    typedef HRESULT(WINAPI * KnownFolderFn)(REFGUID, DWORD, HANDLE, PWSTR*);
    auto known = suite::ProcAddress<KnownFolderFn>(shell32.get(), "SHGetKnownFolderPath");
    PWSTR path = nullptr;
    const HRESULT found = known ? known(kLocalAppDataLow, kKnownFolderCreate, nullptr, &path) : E_NOTIMPL;
    if (SUCCEEDED(found) && path) {
      lstrcpynW(out, path, static_cast<int>(capacity));
    } else {
      suite::DiagFailed("SHGetKnownFolderPath", static_cast<unsigned long>(found));
    }
    if (path) CoTaskMemFree(path);
    return;
  }
  const HRESULT found = SHGetFolderPathW(nullptr, kLocalAppDataCreate, nullptr, SHGFP_TYPE_CURRENT, out);
  if (FAILED(found)) suite::DiagFailed("SHGetFolderPathW", static_cast<unsigned long>(found));
}

void AppendFolder(wchar_t* out, size_t capacity, const wchar_t* name, bool create) {
  std::wstring joined = suite::JoinPath(out, name);
  lstrcpynW(out, joined.c_str(), static_cast<int>(capacity));
  if (create && GetFileAttributesW(out) == INVALID_FILE_ATTRIBUTES && !CreateDirectoryW(out, nullptr))
    suite::DiagFailed("CreateDirectoryW");
}

}  // namespace

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

bool GetDataFolder(wchar_t* out, size_t capacity, bool create) {
  if (capacity >= MAX_PATH) LookUpAppDataFolder(out, capacity);
  AppendFolder(out, capacity, protocol::kDataFolderParent, create);
  AppendFolder(out, capacity, protocol::kDataFolderName, create);
  return true;
}

bool GetModuleFolder(std::wstring& folder) {
  wchar_t path[kPathCapacity] = {};
  DWORD n = GetModuleFileNameW(nullptr, path, kPathCapacity);
  if (n == 0) return suite::DiagFailed("GetModuleFileNameW");
  if (n >= kPathCapacity) return false;  // cut: no folder can be trusted from it
  return ModuleFolderFromPath(path, folder);
}

FileTime GetLogFolderCreationTime() {
  std::wstring folder;
  if (!GetModuleFolder(folder)) return 0;
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW((folder + protocol::kLogFolderName).c_str(), GetFileExInfoStandard, &data)) {
    suite::DiagFailed("GetFileAttributesExW");
    return 0;  // no floor: every dump newer than the last report counts
  }
  return ToFileTime(data.ftCreationTime);
}

bool ReadProgramVersion(wchar_t* out) {
  std::wstring folder;
  if (!GetModuleFolder(folder)) return false;
  FILE* file = _wfsopen((folder + protocol::kVersionXmlName).c_str(), L"rt", _SH_DENYNO);
  if (!file) return suite::DiagFailed("_wfsopen", static_cast<unsigned long>(errno));
  std::string content;
  char chunk[4096];
  size_t got;
  while ((got = fread(chunk, 1, sizeof(chunk), file)) > 0) content.append(chunk, got);
  fclose(file);
  std::istringstream lines(content);
  std::string version;
  if (!ProgramVersionFromStream(lines, version)) return false;
  int written = MultiByteToWideChar(CP_ACP, 0, version.c_str(), -1, out, static_cast<int>(kVersionCapacity));
  if (written == 0) {
    suite::DiagFailed("MultiByteToWideChar");
    out[0] = 0;
  }
  return written != 0;
}

}  // namespace kerneldump
