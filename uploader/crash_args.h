// Ulvane's command line and the text rules of one upload (platform-free): the switch values, the
// dump, report and archive paths, the server addresses and the information post's fields.
//
// Every function takes and returns values and keeps nothing. A false ParseCrashArgs means the command
// line names no crash to upload (Ulvane then ends quietly); a false NormalizeServerUrl means there is
// no server address.
#pragma once
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace ulvane {

enum StartKind : uint32_t {
  kStartOther = 0,
  kStartReport = 1,
  kStartTrayReported = 2,
  kStartServerReported = 3,
  kStartTrayNew = 4,
  kStartServerNew = 5,
  kStartKernel = 6,
};

struct CrashArgs {
  StartKind startKind = kStartOther;
  std::wstring dumpFileName;  // "/Path:"
  std::wstring productVersion;
  std::wstring module;
  std::wstring application;
  std::wstring reportId;
  std::wstring email;
};

// The first occurrence of `switchText` (exact, case-sensitive) and the characters after it up to
// the first space or the end; empty when the switch is missing.
std::wstring ReadSwitchValue(const std::wstring& commandLine, const wchar_t* switchText);
// "/Start:" values, compared exactly; anything else is Other.
StartKind MapStartKind(const std::wstring& value);

// Reads every switch into `args`. False when the report id is not exactly 32 characters, the
// module is empty or "/Path:" is not a plain dump file name (IsPlainDumpName). The start kind recorded is
// Report whatever the switch said, so every upload counts (MapStartKind still names what was asked for).
bool ParseCrashArgs(const std::wstring& commandLine, CrashArgs& args);

// True when `switchText` stands on the line as a word of its own ("/Pending").
bool HasSwitchWord(const std::wstring& commandLine, const wchar_t* switchText);

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

// At most `units` UTF-16 units of `text`, never ending in half a surrogate pair.
std::wstring CutBeforeUnits(const std::wstring& text, size_t units);

// The information post's fields, in the order the server reads them; the version cut to its limit
// by CutBeforeUnits.
std::vector<std::pair<std::wstring, std::wstring>> InfoPostFields(const CrashArgs& args,
                                                                  const std::wstring& machineGuid);

constexpr size_t kVersionChars = 30;
constexpr size_t kEmailChars = 40;  // Kelvor's limit for "/Email:"
constexpr size_t kDumpNameChars = 259;
constexpr uint32_t kArchiveLimitBytes = 5242880;  // archives of this size or more are not posted

}  // namespace ulvane
