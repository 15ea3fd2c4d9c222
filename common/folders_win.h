// Folder lookups shared by the three programs (Windows).
//
// Ownership: the caller owns every buffer; nothing is kept between calls. A false result means the
// value could not be read (the cases are given with each function); the std::wstring forms then leave
// `out` alone or return an empty text.
#pragma once
#include <windows.h>

#include <string>

#include "common/protocol/registry_names.h"

namespace suite {

// Reads "InstallDir" (protocol::kInstallDirValue under protocol::kUninstallKey, HKEY_LOCAL_MACHINE)
// into `buffer` of `capacity` characters. On success `capacity` becomes the text's length. When the
// key cannot be opened, nothing is touched and false is returned; when the value is missing or does
// not fit (at most capacity-1 characters), the buffer is zeroed and false is returned. Opened
// without a view flag, so a 32-bit program reads the 32-bit view.
bool ReadInstallDir(wchar_t* buffer, DWORD& capacity);

// The running program's folder (no trailing backslash except for a drive root).
bool ReadProgramFolder(wchar_t* buffer, DWORD capacity);

// Convenience forms for code that does not need the fixed buffers.
bool GetInstallDir(std::wstring& out);
std::wstring GetProgramFolderPath();

// The one rule by which Kelvor and Ulvane find the product: "InstallDir" when it can be read and is
// not empty (an empty value names no folder; taken as one, it would be the current or Windows
// folder). Otherwise the running program's own folder stands in, for the dump folder, "config.ini"
// and Ulvane.exe alike. `installed` (may be null) tells which it is.
std::wstring ProductFolder(bool* installed);

}  // namespace suite
