// Ulvane's upload order, free of Windows: one crash through the information post, its mark, the
// archive and the archive post; and the delivery of the user's pending crashes, each the same way.
// Every step that touches the system is behind UploadPlatform (upload_worker_win.cpp on Windows, a
// fake in upload_run_test.cpp), so each outcome and what it leaves in the registry is decided here.
//
// A crash is pending while its mark exists (0: the information post has not been accepted, 1: the
// archive has not been delivered) and its report is still on disk. Nothing here deletes a file.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "uploader/crash_args.h"

namespace ulvane {

// How a post ended. `stopped`: the session is ending and the post was abandoned, its outcome
// unknown; the crash stays as it was.
struct PostResult {
  bool stopped = false;
  bool accepted = false;      // the server took it (no failure status)
  bool wantsArchive = false;  // information post only: the answer began with "true"
};

// A mark found in the registry: the version key it lies under and the dump file name it names.
struct MarkEntry {
  std::wstring version;
  std::wstring dumpFileName;
};

class UploadPlatform {
 public:
  virtual ~UploadPlatform() = default;

  // The session is ending: leave at once.
  virtual bool StopRequested() = 0;
  // Holds the crash against every other Ulvane until ReleaseCrash; false while another holds it.
  virtual bool HoldCrash(const std::wstring& dumpFileName) = 0;
  virtual void ReleaseCrash() = 0;
  virtual std::wstring MachineGuid() = 0;
  virtual PostResult PostInformation(const CrashArgs& args, const std::wstring& machineGuid) = 0;
  // Builds the archive of whichever of the two files exist.
  virtual void BuildArchive(const std::wstring& archivePath, const std::wstring& dumpPath,
                            const std::wstring& reportPath) = 0;
  // False when the archive cannot be opened.
  virtual bool ArchiveSize(const std::wstring& archivePath, uint64_t& size) = 0;
  virtual PostResult PostArchive(const std::wstring& archivePath) = 0;
  virtual bool FileExists(const std::wstring& path) = 0;

  // The marks under HKEY_CURRENT_USER; each call changes or reads an existing value only.
  virtual bool ReadMark(const std::wstring& version, const std::wstring& dumpFileName, uint32_t& value) = 0;
  virtual void SetMarkDelivering(const std::wstring& version, const std::wstring& dumpFileName) = 0;  // 1
  virtual void RemoveMark(const std::wstring& version, const std::wstring& dumpFileName) = 0;
  virtual std::vector<MarkEntry> ListMarks() = 0;

  // The report's text (UTF-16, read from its start); false when it cannot be read.
  virtual bool ReadReport(const std::wstring& path, std::wstring& text) = 0;
  // Last-write time of a file and the current time, as FILETIME ticks (100 ns).
  virtual bool FileTime(const std::wstring& path, uint64_t& ticks) = 0;
  virtual uint64_t Now() = 0;
};

enum class UploadOutcome {
  kBusy,            // another Ulvane holds the crash
  kAlreadyDone,     // pending delivery: the mark went while we waited for it
  kStopped,         // the session ended; the crash stays pending
  kInfoFailed,      // mark stays (0)
  kDeclined,        // the server wants no archive: mark removed
  kNoFiles,         // neither dump nor report: mark stays 1
  kArchiveNotSent,  // too big or unreadable: mark stays 1
  kArchiveFailed,   // mark stays 1
  kDelivered,       // mark removed
};

// Uploads one crash whose files lie at `dumpPath` (report and archive beside it). With
// `requireMark`, a crash whose mark has gone by the time it is held is left alone.
UploadOutcome UploadCrash(UploadPlatform& platform, const CrashArgs& args, const std::wstring& dumpPath,
                          bool requireMark);

// True when the server could not be reached or failed: the rest of the pending crashes wait for a
// later run rather than each waiting out its own failure now.
bool ServerInTrouble(UploadOutcome outcome);

// Age limits and the batch size of one pending delivery. A crash younger than `minAgeTicks` is left
// to the Ulvane its own Kelvor starts (its report may still be rewritten after the report window);
// one older than `giveUpTicks` is given up: its mark is removed, its files stay.
struct PendingRules {
  uint64_t minAgeTicks = 10ull * 60 * 10000000;         // 10 minutes
  uint64_t giveUpTicks = 30ull * 24 * 3600 * 10000000;  // 30 days
  size_t maxPerRun = 5;
};

// Delivers the pending crashes in `dumpFolder` (with its trailing backslash), oldest report first,
// at most `rules.maxPerRun` of them; stops at a server in trouble or a stop. Returns how many were
// tried.
size_t DeliverPending(UploadPlatform& platform, const std::wstring& dumpFolder, const PendingRules& rules);

}  // namespace ulvane
