// Kelvor's run in its order over KelvorPlatform; the release of the crashed process is scoped here.
#include "reporter/kelvor_run.h"

#include "common/scope_exit.h"
#include "reporter/capture/capture_rules.h"

namespace kelvor {

namespace {

// Releases the crashed process once, on every way out of the scope that holds it, unless the release
// has been handed to the full-dump worker. A path that forgets it cannot leave the crashed process
// waiting for a signal that never comes.
class ReleaseOnExit {
 public:
  explicit ReleaseOnExit(KelvorPlatform& platform) : platform_(platform) {}
  ~ReleaseOnExit() { ReleaseNow(); }
  void ReleaseNow() {
    if (!pending_) return;
    pending_ = false;
    platform_.Release();
  }
  // The worker releases now, after the full dump.
  void HandOver() { pending_ = false; }

 private:
  ReleaseOnExit(const ReleaseOnExit&) = delete;
  ReleaseOnExit& operator=(const ReleaseOnExit&) = delete;
  KelvorPlatform& platform_;
  bool pending_ = true;
};

// The worker's whole job: the full dump, then (mode 1, complete dump only) the older ones make way,
// then the release, whatever became of the full dump.
void FullDumpWork(KelvorPlatform& platform, uint32_t fullDumpMode) {
  ReleaseOnExit release(platform);
  if (platform.WriteFullDump() && fullDumpMode == 1) platform.DeleteOlderFullDumps();
}

// Report, dump and report file, their names, and the mark when something of this crash was written
// and named. True when there is something to hand over (mark, rewrite, uploader).
bool WriteCrashFiles(KelvorPlatform& platform) {
  platform.BuildReport();
  // Without names of our own nothing is written: another crash's files would be overwritten.
  if (!platform.ClaimFiles()) return false;
  const bool dumped = platform.WriteDump();
  // The report goes up alone when the dump failed.
  const bool reported = platform.WriteReport();
  if (!dumped && !reported) return false;
  if (!platform.PublishFiles()) return false;
  platform.MarkDump();
  return true;
}

}  // namespace

void RunKelvorSteps(KelvorPlatform& platform, const std::wstring& commandLine) {
  // The run never ends while the worker runs: the worker uses the platform, the release is its own,
  // and a full dump cut off by the end of the process would be lost. Declared first: it runs after
  // the release below.
  const suite::ScopeExit joinWorker([&platform] { platform.WaitForWorker(); });
  ReleaseOnExit release(platform);
  if (!platform.Intake(commandLine)) return;  // nothing to capture; the release still goes out
  const CrashRequest request = platform.Request();

  const bool handOver = WriteCrashFiles(platform);

  // The crashed process is let go before any window: a user at the window never holds it.
  if (request.fullDumpMode == 0) {
    release.ReleaseNow();
  } else {
    const uint32_t mode = request.fullDumpMode;
    if (platform.StartWorker([&platform, mode] { FullDumpWork(platform, mode); }))
      release.HandOver();
    else
      release.ReleaseNow();  // no worker, no full dump: nothing to wait for
  }

  // The hand-over happens once: after the window, or from inside it when the session ends.
  bool handedOver = !handOver;
  auto handOverOnce = [&](const WindowChoices& choices, bool rewrite) {
    if (handedOver) return;
    handedOver = true;
    if (rewrite) platform.RewriteReport();
    if (choices.send)
      platform.LaunchUploader();
    else
      platform.UnmarkDump();  // declined: a later delivery of pending crashes must not find it
  };

  WindowChoices choices;
  if (request.showWindow) {
    // The user's entries reach the report and the server: the uploader waits for the window.
    choices = platform.ShowReportWindow([&](const WindowChoices& c) { handOverOnce(c, true); });
    handOverOnce(choices, true);
  } else {
    handOverOnce(choices, false);
  }
  if (choices.sessionEnding) return;  // no restart into a session that is going away

  const bool restartChecked = choices.restart;
  if (TakesRestartPath(request.showWindow, request.restart, restartChecked, request.productProcess)) {
    platform.WaitForWorker();
    platform.WaitForCrashedProcessEnd();
    platform.Restart();
  }
}

}  // namespace kelvor
