// Finding the system crash dumps that are new since the last report, and reporting them oldest
// first. The rules live here, platform-free; the registry, folder listing and upload are behind
// DumpPlatform (dump_collector_win.cpp on Windows, fakes in the tests).
//
// Ownership: RunDumpCollection borrows the platform for one run; the platform owns the registry keys
// from a successful Open to the matching Close (and closes what is still open when it is destroyed).
// A false Open ends the run there, quietly.
#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace kerneldump {

// File times in the FILETIME unit (100 ns since 1601), compared unsigned.
typedef uint64_t FileTime;

// Last-write time → dump path, oldest first; a later file with the same time replaces the earlier.
typedef std::map<FileTime, std::wstring> CandidateDumpMap;

constexpr uint32_t kFolderAttribute = 0x10;
constexpr uint32_t kSmallMemoryDump = 3;
// Windows' own minidump folder, used when "MinidumpDir" is missing or empty.
extern const wchar_t kDefaultMinidumpDir[];

struct FolderEntry {
  std::wstring name;
  uint32_t attributes = 0;
  FileTime lastWrite = 0;
};

// Parses "LastDmpTime" like wcstoll in base 10: leading white space, an optional sign, digits up
// to the first non-digit; out-of-range values clamp to the 64-bit limits; no digits gives 0.
int64_t ParseLastDmpTime(const std::wstring& text);
// The signed decimal text written back as "LastDmpTime".
std::wstring FormatLastDmpTime(FileTime time);

// A dump is taken only when it is strictly newer than both the install floor and the last report.
bool IsNewDump(FileTime time, FileTime floor, FileTime last);
// Adds every entry that is a file and new enough; folders ("." and ".." included) are skipped.
void AddCandidates(CandidateDumpMap& map, const std::wstring& dumpDir,
                   const std::vector<FolderEntry>& entries, FileTime floor, FileTime last);

// The folder to search: the configured one, or Windows' default when none is configured. An empty
// configuration must never turn into a search of the current drive's root.
std::wstring MinidumpDirOrDefault(const std::wstring& configured);

// The text test of IsExistingFilePath: a drive path (":\" anywhere) or a UNC path ("\\" first).
bool HasRootedPathForm(const std::wstring& path);

// How one report ended (ReportDumpFile). A dump that may still go out later (server down, dump
// locked, a failed post) stops the walk and comes first on the next run, so no newer dump ever
// overtakes it. A dump that can never be sent (its archive can't be built, or the server says it is
// too large) is passed over: recorded as such, and the walk goes on, so that it cannot hold back every
// newer dump for ever. The values are fixed: any other value is taken as RetryLater.
enum class ReportOutcome {
  RetryLater = 0,
  Delivered = 1,
  PassedOver = 2,
  // The dump can't be opened, and not because someone is writing it (access denied): it may stay so
  // for ever. It holds the walk like a retry, but only for a bounded number of runs or days; then it
  // is passed over.
  Unreadable = 3,
};

// The dump the walk waits for because it can't be opened: its time, when that was first found and
// on how many runs. Kept between runs as "<time> <since> <runs>" in decimal.
struct UnreadableDump {
  FileTime dump = 0;
  FileTime since = 0;
  uint32_t runs = 0;
};
constexpr uint32_t kUnreadableRunLimit = 5;
constexpr FileTime kUnreadableTimeLimit = 3ull * 24 * 3600 * 10000000;  // three days
// Text that is not a record reads as no record.
UnreadableDump ParseUnreadableDump(const std::wstring& text);
std::wstring FormatUnreadableDump(const UnreadableDump& record);
// The record after this run found `dump` unreadable at `now`: counted on from the stored record when
// that is the same dump, else started afresh.
UnreadableDump NoteUnreadable(const UnreadableDump& stored, FileTime dump, FileTime now);
// Given up when it has been unreadable on kUnreadableRunLimit runs, or for kUnreadableTimeLimit since
// it was first found (a clock set back counts as no time passed).
bool GivesUpOn(const UnreadableDump& record, FileTime now);

class DumpPlatform {
 public:
  virtual ~DumpPlatform() = default;
  // Creation time of the program's "log" folder, 0 when unknown.
  virtual FileTime LogFolderCreationTime() = 0;

  virtual bool OpenCrashControl() = 0;
  // "MinidumpDir" as read (empty on a failed read).
  virtual std::wstring ReadMinidumpDir() = 0;
  // Environment references expanded; false when the result does not fit.
  virtual bool ExpandEnvironment(const std::wstring& text, std::wstring& expanded) = 0;
  // "CrashDumpEnabled"; `value` is untouched on a failed read.
  virtual void ReadCrashDumpEnabled(uint32_t& value) = 0;
  virtual void WriteCrashDumpEnabled(uint32_t value) = 0;
  virtual void CloseCrashControl() = 0;

  virtual bool OpenUninstallKey() = 0;
  virtual std::wstring ReadLastDmpTime() = 0;
  virtual void WriteLastDmpTime(const std::wstring& text) = 0;
  // "PassedOverDmpTime": the time of the newest dump that was given up as unsendable.
  virtual void WritePassedOverDmpTime(const std::wstring& text) = 0;
  // "UnreadableDmp": the record of the dump that can't be opened (empty text removes it).
  virtual std::wstring ReadUnreadableDmp() = 0;
  virtual void WriteUnreadableDmp(const std::wstring& text) = 0;
  // The current time (UTC file time).
  virtual FileTime Now() = 0;
  virtual void CloseUninstallKey() = 0;

  virtual bool IsExistingFilePath(const std::wstring& path) = 0;
  // The entries of one folder (not recursive); what was listed before a failure is kept.
  virtual std::vector<FolderEntry> ListFolder(const std::wstring& dir) = 0;
  virtual ReportOutcome ReportDumpFile(const std::wstring& path) = 0;
};

// One run: CrashControl repair, discovery, reports oldest first, "LastDmpTime" after each dump that
// was delivered or passed over.
void RunDumpCollection(DumpPlatform& platform);

}  // namespace kerneldump
