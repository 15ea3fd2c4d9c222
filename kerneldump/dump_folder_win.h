// The minidump folder on Windows: whether a path names an existing file, and a listing that
// survives an access violation inside the system's find-next.
//
// Ownership: nothing is kept; a listing closes its find handle before it returns. A failed listing
// is an empty (or shortened) one: a missing folder simply holds no dumps.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

#include "kerneldump/dump_collector.h"

namespace kerneldump {

// A rooted path (dump_collector.h's HasRootedPathForm) of an existing file, not a folder.
bool IsExistingFilePath(const std::wstring& path);

typedef BOOL(WINAPI* FindNextFn)(HANDLE, LPWIN32_FIND_DATAW);
// Lists a folder; an access violation inside find-next ends the listing with what was found.
// `findNext` is replaceable so that the guard itself can be tested.
std::vector<FolderEntry> ListFolderGuarded(const std::wstring& dir, FindNextFn findNext = FindNextFileW);

// A FILETIME as one 64-bit count.
inline FileTime ToFileTime(const FILETIME& t) { return (FileTime(t.dwHighDateTime) << 32) | t.dwLowDateTime; }

}  // namespace kerneldump
