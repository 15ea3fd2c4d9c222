// Names of the files that make up one kernel-dump report (platform-free).
//
// Every function takes and returns values and keeps nothing; ModuleFolderFromPath is false for a path
// without a backslash, and `folder` is then left alone.
#pragma once
#include <cstdint>
#include <string>

#include "common/protocol/file_names.h"

namespace kerneldump {

using protocol::kInfoFileName;
extern const wchar_t kInfoSection[];
extern const wchar_t kDriverModule[];

// A minidump is a few MB at most: a file above this is not one we can pack and hold in memory.
constexpr uint64_t kMaxDumpBytes = 1ull << 30;
// Archives above this are more than any report server takes; they are passed over, never posted.
constexpr uint64_t kMaxArchiveBytes = 128ull << 20;
// The server's answer that this archive will never be taken.
constexpr int kStatusTooLarge = 413;

// How a report ended (kReport* of dump_collector.h) from what was found before, while and after packing.
enum class DumpCheck { Readable, Unreadable, TooLarge };
enum class PackResult { Packed, Failed, Faulted };
int OutcomeBeforePost(DumpCheck dump, PackResult pack, uint64_t archiveBytes);
int OutcomeOfPost(bool delivered, int status);

// program folder (ending in a backslash) + "dump\".
std::wstring DumpFolderFor(const std::wstring& programFolder);
// The dump's file name, extension included, + ".zip" in the dump folder.
std::wstring ArchivePathFor(const std::wstring& programFolder, const std::wstring& dumpPath);
std::wstring InfoFilePathFor(const std::wstring& dataFolder);
// The program's own folder from its full path, cut after the last backslash; false without one.
bool ModuleFolderFromPath(const std::wstring& modulePath, std::wstring& folder);

}  // namespace kerneldump
