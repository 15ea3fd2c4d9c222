// Drummet's folders on Windows: the user's data folder, where info.ini is written while a report is
// packed, and the program's own folder with version.xml and the installer's "log\" folder. The names
// are those of common/protocol/file_names.h.
//
// Ownership: the caller owns the output buffers. False results are described with each function;
// an output buffer may then hold an empty or partial text.
#pragma once
#include <windows.h>

#include <string>

#include "kerneldump/dump_collector.h"

namespace kerneldump {

// The user's low-integrity application-data folder + "Vemko\Ossary" (each part created when
// `create` and missing); always true. Below MAX_PATH characters of room the base folder is left out.
bool GetDataFolder(wchar_t* out, size_t capacity, bool create);
bool IsVistaOrLater();

// The program's folder ending in a backslash; false when the program's path can't be read.
bool GetModuleFolder(std::wstring& folder);
// Creation time of the "log\" folder beside the program; 0 when unknown.
FileTime GetLogFolderCreationTime();
// "version.xml" beside the program; `out` gets at most 63 characters and a terminator.
bool ReadProgramVersion(wchar_t* out);

}  // namespace kerneldump
