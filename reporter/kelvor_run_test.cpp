// Kelvor's run order over a fake platform: every step, every failure path and the full-dump worker,
// with the releases of the crashed process counted.
#include "reporter/kelvor_run.h"

#include <gtest/gtest.h>

#include <set>
#include <sstream>
#include <string>
#include <utility>

namespace kelvor {
namespace {

// Records the steps in order; the steps named in `failing` return false. The worker's job runs only
// when the run waits for it, as late as a real worker may finish.
class FakePlatform : public KelvorPlatform {
 public:
  std::set<std::string> failing;
  CrashRequest request;
  WindowChoices choices;
  std::string trace;
  int releases = 0;

  bool Intake(const std::wstring&) override { return Step("intake"); }
  CrashRequest Request() override { return request; }
  void BuildReport() override { Note("report"); }
  bool ClaimFiles() override { return Step("claim"); }
  bool WriteDump() override { return Step("dump"); }
  bool WriteReport() override { return Step("report_file"); }
  bool PublishFiles() override { return Step("publish"); }
  bool MarkDump() override { return Step("mark"); }
  bool Release() override {
    ++releases;
    return Step("release");
  }
  bool StartWorker(std::function<void()> work) override {
    if (!Step("worker")) return false;
    worker_ = std::move(work);
    return true;
  }
  bool WriteFullDump() override { return Step("full_dump"); }
  void DeleteOlderFullDumps() override { Note("delete_older"); }
  void WaitForWorker() override {
    std::function<void()> work = std::move(worker_);
    worker_ = nullptr;
    if (work) work();
  }
  bool LaunchUploader() override { return Step("uploader"); }
  bool UnmarkDump() override { return Step("unmark"); }
  // A session that ends while the window is open: the window hands over from inside its answer.
  WindowChoices ShowReportWindow(const SessionEndHandOver& sessionEnds) override {
    Note("window");
    if (choices.sessionEnding) {
      Note("session_end");
      sessionEnds(choices);
    }
    return choices;
  }
  bool RewriteReport() override { return Step("rewrite"); }
  void WaitForCrashedProcessEnd() override { Note("wait_end"); }
  bool Restart() override { return Step("restart"); }

 private:
  void Note(const char* step) { trace += trace.empty() ? step : std::string(" ") + step; }
  bool Step(const char* step) {
    Note(step);
    return failing.count(step) == 0;
  }
  std::function<void()> worker_;
};

CrashRequest Mode(uint32_t fullDumpMode) {
  CrashRequest r;
  r.fullDumpMode = fullDumpMode;
  return r;
}
CrashRequest Window(uint32_t fullDumpMode = 0) {
  CrashRequest r = Mode(fullDumpMode);
  r.showWindow = true;
  return r;
}
CrashRequest Restarting(bool showWindow, bool restartByte, bool productProcess, uint32_t fullDumpMode = 0) {
  CrashRequest r = Mode(fullDumpMode);
  r.showWindow = showWindow;
  r.restart = restartByte;
  r.productProcess = productProcess;
  return r;
}

const WindowChoices kKept{};
const WindowChoices kNoRestart{false};
const WindowChoices kNoSending{true, false};
const WindowChoices kSessionEnds{true, true, true};

struct RunCase {
  const char* what;
  std::set<std::string> failing;
  CrashRequest request;
  WindowChoices choices;
  const char* trace;
};

const char kWritten[] = "intake report claim dump report_file publish mark";

const RunCase kCases[] = {
    // Mode 0, no window: released once dump, report and mark are there.
    {"all steps succeed", {}, Mode(0), kKept, "+ release uploader"},
    {"intake fails", {"intake"}, Window(1), kKept, "intake release"},
    {"no files of our own", {"claim"}, Mode(0), kKept, "intake report claim release"},
    {"no free name", {"publish"}, Mode(0), kKept, "intake report claim dump report_file publish release"},
    {"dump fails: the report goes alone", {"dump"}, Mode(0), kKept, "+ release uploader"},
    {"report fails", {"report_file"}, Mode(0), kKept, "+ release uploader"},
    {"nothing written",
     {"dump", "report_file"},
     Mode(0),
     kKept,
     "intake report claim dump report_file release"},
    {"mark fails", {"mark"}, Mode(0), kKept, "+ release uploader"},
    {"uploader fails", {"uploader"}, Mode(0), kKept, "+ release uploader"},
    // Full dumps: the worker releases after the full dump, however late it finishes.
    {"mode 1", {}, Mode(1), kKept, "+ worker uploader full_dump delete_older release"},
    {"mode 2 keeps older full dumps", {}, Mode(2), kKept, "+ worker uploader full_dump release"},
    {"full dump fails", {"full_dump"}, Mode(1), kKept, "+ worker uploader full_dump release"},
    {"worker cannot start", {"worker"}, Mode(1), kKept, "+ worker release uploader"},
    {"nothing written, full dump still",
     {"claim"},
     Mode(1),
     kKept,
     "intake report claim worker full_dump delete_older release"},
    // The window: released before it; the uploader after it and the rewrite.
    {"window", {}, Window(), kKept, "+ release window rewrite uploader"},
    {"window, rewrite fails", {"rewrite"}, Window(), kKept, "+ release window rewrite uploader"},
    {"window while the full dump is written",
     {},
     Window(1),
     kKept,
     "+ worker window rewrite uploader full_dump delete_older release"},
    {"window, nothing written", {"claim"}, Window(), kKept, "intake report claim release window"},
    // The restart path waits for the full dump and the crashed process's end.
    {"restart byte, no window",
     {},
     Restarting(false, true, false),
     kKept,
     "+ release uploader wait_end restart"},
    {"product process, no window, full dump",
     {},
     Restarting(false, false, true, 2),
     kKept,
     "+ worker uploader full_dump release wait_end restart"},
    {"window, box ticked, product process",
     {},
     Restarting(true, true, true),
     kKept,
     "+ release window rewrite uploader wait_end restart"},
    {"window, box cleared",
     {},
     Restarting(true, true, true),
     kNoRestart,
     "+ release window rewrite uploader"},
    {"window, restart byte alone",
     {},
     Restarting(true, true, false),
     kKept,
     "+ release window rewrite uploader"},
    {"restart fails",
     {"restart"},
     Restarting(false, true, false),
     kKept,
     "+ release uploader wait_end restart"},
    // The send box cleared: no upload, and the mark goes so that no later run sends it.
    {"window, sending declined", {}, Window(), kNoSending, "+ release window rewrite unmark"},
    {"window, sending declined, nothing written",
     {"claim"},
     Window(),
     kNoSending,
     "intake report claim release window"},
    // The session ends with the window open: handed over once, from inside the window; no restart.
    {"session ends",
     {},
     Restarting(true, true, true),
     kSessionEnds,
     "+ release window session_end rewrite uploader"},
    {"session ends, sending declined",
     {},
     Window(),
     {true, false, true},
     "+ release window session_end rewrite unmark"},
    {"session ends while the full dump is written",
     {},
     Window(1),
     kSessionEnds,
     "+ worker window session_end rewrite uploader full_dump delete_older release"},
};

std::string Expected(const char* trace) {
  std::string t = trace;
  return t.compare(0, 1, "+") == 0 ? kWritten + t.substr(1) : t;
}

// Index of `step` in a trace, -1 when absent.
int PositionOf(const std::string& trace, const std::string& step) {
  std::istringstream words(trace);
  std::string word;
  for (int i = 0; words >> word; ++i)
    if (word == step) return i;
  return -1;
}

TEST(RunKelvorSteps, OrderAndExactlyOneReleaseOnEveryPath) {
  for (const RunCase& c : kCases) {
    SCOPED_TRACE(c.what);
    FakePlatform p;
    p.failing = c.failing;
    p.request = c.request;
    p.choices = c.choices;
    RunKelvorSteps(p, L"/BugInfo:0,1,2,3");
    EXPECT_EQ(p.trace, Expected(c.trace));
    EXPECT_EQ(p.releases, 1);
    // Never before what this crash writes is on disk.
    const int release = PositionOf(p.trace, "release");
    for (const char* written : {"dump", "report_file", "publish", "mark", "full_dump", "delete_older"})
      EXPECT_LT(PositionOf(p.trace, written), release) << written;
  }
}

// A release that fails (no event, a refused signal) is not tried again.
TEST(RunKelvorSteps, AFailedReleaseIsNotRepeated) {
  for (uint32_t mode : {0u, 1u}) {
    FakePlatform p;
    p.failing = {"release"};
    p.request = Mode(mode);
    RunKelvorSteps(p, L"");
    EXPECT_EQ(p.releases, 1) << mode;
  }
}

}  // namespace
}  // namespace kelvor
