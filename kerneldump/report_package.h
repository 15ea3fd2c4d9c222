// Names of the files that make up one kernel-dump report (platform-free).
//
// Every function takes and returns values and keeps nothing; ModuleFolderFromPath is false for a path
// without a backslash, and `folder` is then left alone.
#pragma once
#include <cstdint>
#include <functional>
#include <string>

#include "kerneldump/dump_collector.h"

namespace kerneldump {

extern const wchar_t kInfoSection[];
extern const wchar_t kDriverModule[];

// A minidump is a few MB at most: a file above this is not one we can pack and hold in memory.
constexpr uint64_t kMaxDumpBytes = 1ull << 30;
// Archives above this are more than any report server takes; they are passed over, never posted.
constexpr uint64_t kMaxArchiveBytes = 128ull << 20;
// The server's answer that this archive will never be taken.
constexpr int kStatusTooLarge = 413;

// How a report ended (ReportOutcome of dump_collector.h) from what was found before, while and after packing.
// Locked: another program holds the dump open (its writer, most likely); Unreadable: it can't be
// opened for any other reason (access denied). Refused: the writer will never take the dump's entry.
enum class DumpCheck { Readable, Locked, Unreadable, TooLarge };
enum class PackResult { Packed, Failed, Refused, Faulted };
ReportOutcome OutcomeBeforePost(DumpCheck dump, PackResult pack, uint64_t archiveBytes);
ReportOutcome OutcomeOfPost(bool delivered, int status);
// The check of a dump that could not be opened, from the Windows error: only a sharing or lock
// violation means that someone still has it open.
DumpCheck CheckOfOpenError(uint32_t error);

// The dump's entry name in the archive: its file name, with each character that has no exact form
// in the ANSI code page (`convertsExactly` tells, for one character or surrogate pair) replaced by
// "_". The server keys nothing on the name; a dump named in another script still goes out.
std::wstring ArchiveEntryName(const std::wstring& fileName,
                              const std::function<bool(const std::wstring&)>& convertsExactly);

// program folder (ending in a backslash) + "dump\".
std::wstring DumpFolderFor(const std::wstring& programFolder);
// The dump's file name, extension included, + ".zip" in the dump folder; the name is cut where the
// path would pass kMaxArchivePath characters.
constexpr size_t kMaxArchivePath = 259;  // MAX_PATH without the terminator
std::wstring ArchivePathFor(const std::wstring& programFolder, const std::wstring& dumpPath);
std::wstring InfoFilePathFor(const std::wstring& dataFolder);
// The program's own folder from its full path, cut after the last backslash; false without one.
bool ModuleFolderFromPath(const std::wstring& modulePath, std::wstring& folder);

}  // namespace kerneldump
