// Drummet's file-system and single-instance pieces on Windows.
#include <io.h>

#include "common/fault_guard_win.h"
#include "common/scoped_handle_win.h"
#include "kerneldump/drummet_win.h"
#include "kerneldump/report_package.h"

namespace kerneldump {

const wchar_t kInstanceMutexName[] = L"Global\\DRUMMETPROTECTOR";

namespace {

const size_t kPathCapacity = MAX_PATH;

FileTime ToFileTime(const FILETIME& t) { return (FileTime(t.dwHighDateTime) << 32) | t.dwLowDateTime; }

// Like find-next, but an access violation inside it reads as the end of the listing; other
// exceptions go on to the handlers above.
BOOL GuardedFindNext(FindNextFn findNext, HANDLE find, WIN32_FIND_DATAW* data) {
  BOOL more = FALSE;
  if (!suite::RunContainedCall([&] { more = findNext(find, data); }, nullptr, EXCEPTION_ACCESS_VIOLATION))
    return FALSE;
  return more;
}

FolderEntry ToEntry(const WIN32_FIND_DATAW& data) {
  FolderEntry e;
  e.name = data.cFileName;
  e.attributes = data.dwFileAttributes;
  e.lastWrite = ToFileTime(data.ftLastWriteTime);
  return e;
}

}  // namespace

bool IsSingleInstance() {
  // Deliberately never closed: the mutex marks this process as the running instance until it ends.
  HANDLE mutex = CreateMutexW(nullptr, TRUE, kInstanceMutexName);
  (void)mutex;
  return GetLastError() != ERROR_ALREADY_EXISTS;
}

bool GetModuleFolder(std::wstring& folder) {
  wchar_t path[kPathCapacity] = {};
  DWORD n = GetModuleFileNameW(nullptr, path, kPathCapacity);
  if (n == 0 || n >= kPathCapacity) return false;
  return ModuleFolderFromPath(path, folder);
}

FileTime GetLogFolderCreationTime() {
  std::wstring folder;
  if (!GetModuleFolder(folder)) return 0;
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW((folder + L"log\\").c_str(), GetFileExInfoStandard, &data)) return 0;
  return ToFileTime(data.ftCreationTime);
}

bool IsExistingFilePath(const std::wstring& path) {
  if (_waccess(path.c_str(), 0) != 0) return false;
  DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) return false;
  return HasRootedPathForm(path);
}

std::vector<FolderEntry> ListFolderGuarded(const std::wstring& dir, FindNextFn findNext) {
  std::vector<FolderEntry> entries;
  WIN32_FIND_DATAW data;
  suite::ScopedFind find(FindFirstFileW((dir + L"\\*").c_str(), &data));
  if (!find) return entries;  // a missing folder simply holds no dumps
  do {
    entries.push_back(ToEntry(data));
  } while (GuardedFindNext(findNext, find.get(), &data));
  return entries;
}

}  // namespace kerneldump
