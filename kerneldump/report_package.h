// Names of the files that make up one kernel-dump report (platform-free).
#pragma once
#include <string>

namespace kerneldump {

extern const wchar_t kInfoFileName[];
extern const wchar_t kInfoSection[];
extern const wchar_t kDriverModule[];

// program folder (ending in a backslash) + "dump\".
std::wstring DumpFolderFor(const std::wstring& programFolder);
// The dump's file name, extension included, + ".zip" in the dump folder.
std::wstring ArchivePathFor(const std::wstring& programFolder, const std::wstring& dumpPath);
std::wstring InfoFilePathFor(const std::wstring& dataFolder);
// The program's own folder from its full path, cut after the last backslash; false without one.
bool ModuleFolderFromPath(const std::wstring& modulePath, std::wstring& folder);

}  // namespace kerneldump
