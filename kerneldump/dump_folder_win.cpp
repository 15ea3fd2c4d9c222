// The minidump folder on Windows: existence test and a listing guarded against faults in find-next.
#include "kerneldump/dump_folder_win.h"

#include <io.h>

#include "common/diag_failure_win.h"
#include "common/fault_guard_win.h"
#include "common/scoped_handle_win.h"

namespace kerneldump {
namespace {

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
  if (!find) {
    suite::DiagFailed("FindFirstFileW");
    return entries;  // a missing folder simply holds no dumps
  }
  do {
    entries.push_back(ToEntry(data));
  } while (GuardedFindNext(findNext, find.get(), &data));
  return entries;
}

}  // namespace kerneldump
