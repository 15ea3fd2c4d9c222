// Ulvane's rules of one upload (platform-free): the crash its command line names, the dump, report
// and archive paths, the server addresses and the information post's fields. The line's format and
// reading are common/protocol/uploader_command_line.h.
//
// Every function takes and returns values and keeps nothing. A false ParseCrashArgs means the command
// line names no crash to upload (Ulvane then ends quietly); a false NormalizeServerUrl means there is
// no server address.
#pragma once
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "common/protocol/uploader_command_line.h"

namespace ulvane {

// The crash's values as the command line (or its report) gave them, and the kind the upload counts as.
struct CrashArgs : protocol::UploaderValues {
  protocol::StartKind startKind = protocol::StartKind::kOther;
};

// Reads the line (protocol::ReadUploaderCommandLine) into `args`. False when the reader refuses it
// or "/Path:" is not a plain dump file name (IsPlainDumpName). The start kind recorded is Report
// whatever the switch said, so every upload counts (protocol::MapStartKind still names what was
// asked for).
bool ParseCrashArgs(const std::wstring& commandLine, CrashArgs& args);

// A file name inside the dump folder ending in ".dmp" (any case): no folder part, no drive, no
// stream. Anything else would make the report, archive and dump one file, or reach outside the
// folder.
bool IsPlainDumpName(const std::wstring& name);

// The information post's values read back from a crash's own report text (its header lines), made
// safe as Kelvor made them for the command line; version and dump file name are left to the
// caller (they come with the crash's mark). False when the report names no 32-character crash ID.
bool ReadReportFacts(const std::wstring& reportText, CrashArgs& args);

// The dump folder: the install folder's "dump\" when the install folder is known, else the
// program's own folder.
std::wstring DumpFolderFor(bool haveInstallDir, const std::wstring& installDir,
                           const std::wstring& programFolder);
// Only a to z change; every other character stays as it is.
std::wstring UpperCaseAscii(std::wstring text);
// Folder and file name joined, then upper-cased.
std::wstring DumpPathFor(const std::wstring& dumpFolder, const std::wstring& dumpFileName);
// The file name's ".dmp" (any letter case) replaced by ".txt" / ".zip"; a path without it gets the
// extension appended, so it never names the dump itself.
std::wstring ReportPathFor(const std::wstring& dumpPath);
std::wstring ArchivePathFor(const std::wstring& dumpPath);

// A server base URL from "config.ini": false when empty, else with one trailing "/".
bool NormalizeServerUrl(std::wstring& url);

// The server wants the archive when its answer's first four bytes are "true".
bool AnswerWantsArchive(const char* answer);

// The information post's fields, in the order the server reads them; the version cut to its limit
// without splitting a surrogate pair.
std::vector<std::pair<std::wstring, std::wstring>> InfoPostFields(const CrashArgs& args,
                                                                  const std::wstring& machineGuid);

constexpr size_t kVersionChars = 30;
constexpr size_t kDumpNameChars = 259;
constexpr uint32_t kArchiveLimitBytes = 5242880;  // archives of this size or more are not posted

}  // namespace ulvane
