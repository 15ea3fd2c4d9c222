// Drummet's run on Windows: dump_collector.h's rules over the real registry, minidump folder and
// report (the DumpPlatform of dump_collector_win.cpp), with WOW64 redirection switched off.
//
// Ownership: the run opens and closes its registry keys itself; it reports each dump through
// report_package_win.h, which never changes or deletes a dump.
#pragma once

namespace kerneldump {

void CollectAndReportDumps();

}  // namespace kerneldump
