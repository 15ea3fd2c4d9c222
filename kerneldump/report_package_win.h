// One kernel-dump report on Windows: info.ini and the dump packed into a zip archive (variant D),
// posted to the report server, cleaned up.
//
// Ownership: ReportDumpFile reads the dump and never changes or deletes it; the archive and info.ini
// it makes are deleted before it returns, also when packing or posting faults. A post that outlives
// its deadline keeps what it uses until it ends by itself (report_package_win.cpp).
#pragma once
#include <string>

#include "kerneldump/dump_collector.h"

namespace kerneldump {

// One dump → info.ini + archive → POST. Delivered when the server took it, PassedOver when it can
// never be sent, Unreadable when it can't be opened (and nobody holds it), else RetryLater.
ReportOutcome ReportDumpFile(const wchar_t* dumpPath);

// Test seams, null and unset in the program. The hook is called with "open" (before the dump is
// opened; a non-zero result stands for the error of a failed open), "pack" (after the dump entry)
// and "post" (before the request), inside the contained steps, so that a test can fault there.
typedef unsigned long (*ReportStepHook)(const char* step);
extern ReportStepHook g_reportStepHook;
// A post deadline shorter than the program's (0 = the program's own); a longer one is not taken.
extern unsigned long g_postDeadlineMs;

// "BugURL" from config.ini beside the program, or the default server.
std::wstring ReadBugUrl();

}  // namespace kerneldump
