// Ulvane's upload order over UploadPlatform: one crash, and the pending ones oldest first.
#include "uploader/upload_run.h"

#include <algorithm>

#include "common/scope_exit.h"

namespace ulvane {

namespace {

UploadOutcome SendArchive(UploadPlatform& platform, const CrashArgs& args, const std::wstring& dumpPath) {
  const std::wstring reportPath = ReportPathFor(dumpPath), archivePath = ArchivePathFor(dumpPath);
  if (!platform.FileExists(dumpPath) && !platform.FileExists(reportPath)) return UploadOutcome::kNoFiles;
  platform.BuildArchive(archivePath, dumpPath, reportPath);
  uint64_t size = 0;
  if (!platform.ArchiveSize(archivePath, size) || size == 0 || size >= kArchiveLimitBytes)
    return UploadOutcome::kArchiveNotSent;
  if (platform.StopRequested()) return UploadOutcome::kStopped;
  const PostResult posted = platform.PostArchive(archivePath);
  if (posted.stopped) return UploadOutcome::kStopped;
  if (!posted.accepted) return UploadOutcome::kArchiveFailed;
  platform.RemoveMark(args.productVersion, args.dumpFileName);
  return UploadOutcome::kDelivered;
}

struct PendingCrash {
  MarkEntry mark;
  uint64_t reportTime;
};

}  // namespace

UploadOutcome UploadCrash(UploadPlatform& platform, const CrashArgs& args, const std::wstring& dumpPath,
                          bool requireMark) {
  if (platform.StopRequested()) return UploadOutcome::kStopped;
  if (!platform.HoldCrash(args.dumpFileName)) return UploadOutcome::kBusy;
  // Let go on every way out once held.
  const suite::ScopeExit releaseCrash([&platform] { platform.ReleaseCrash(); });
  uint32_t mark = 0;
  if (requireMark && !platform.ReadMark(args.productVersion, args.dumpFileName, mark))
    return UploadOutcome::kAlreadyDone;

  const std::wstring guid = platform.MachineGuid();
  const PostResult info = platform.PostInformation(args, guid);
  // Abandoned: whatever the server made of it, the mark says the crash still has to go.
  if (info.stopped) return UploadOutcome::kStopped;
  if (!info.accepted) return UploadOutcome::kInfoFailed;
  platform.SetMarkDelivering(args.productVersion, args.dumpFileName);
  if (!info.wantsArchive) {
    platform.RemoveMark(args.productVersion, args.dumpFileName);
    return UploadOutcome::kDeclined;
  }
  return SendArchive(platform, args, dumpPath);
}

bool ServerInTrouble(UploadOutcome outcome) {
  return outcome == UploadOutcome::kInfoFailed || outcome == UploadOutcome::kArchiveFailed ||
         outcome == UploadOutcome::kStopped;
}

size_t DeliverPending(UploadPlatform& platform, const std::wstring& dumpFolder, const PendingRules& rules) {
  const uint64_t now = platform.Now();
  std::vector<PendingCrash> pending;
  for (const MarkEntry& mark : platform.ListMarks()) {
    // A name that is no plain dump name never came from Kelvor: it is not touched.
    if (!IsPlainDumpName(mark.dumpFileName)) continue;
    uint64_t written = 0;
    // Without its report there is nothing to read the crash's facts from.
    if (!platform.FileTime(ReportPathFor(DumpPathFor(dumpFolder, mark.dumpFileName)), written)) continue;
    const uint64_t age = now > written ? now - written : 0;
    if (age > rules.giveUpTicks) {
      platform.RemoveMark(mark.version, mark.dumpFileName);
      continue;
    }
    if (age >= rules.minAgeTicks) pending.push_back({mark, written});
  }
  std::stable_sort(pending.begin(), pending.end(),
                   [](const PendingCrash& a, const PendingCrash& b) { return a.reportTime < b.reportTime; });

  size_t tried = 0;
  for (const PendingCrash& crash : pending) {
    if (tried == rules.maxPerRun || platform.StopRequested()) break;
    const std::wstring dumpPath = DumpPathFor(dumpFolder, crash.mark.dumpFileName);
    std::wstring text;
    CrashArgs args;
    if (!platform.ReadReport(ReportPathFor(dumpPath), text) || !ReadReportFacts(text, args)) continue;
    args.productVersion = crash.mark.version;
    args.dumpFileName = crash.mark.dumpFileName;
    ++tried;
    if (ServerInTrouble(UploadCrash(platform, args, dumpPath, true))) break;
  }
  return tried;
}

}  // namespace ulvane
