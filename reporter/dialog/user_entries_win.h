// The report file rewritten once the report window has stored the user's entries.
#pragma once
#include "reporter/capture/crash_capture.h"

namespace kelvor {

// False when the capture has no report or the report cannot take the entries; the file then stays.
bool RewriteReportWithUserEntries(CCrashCapture& capture);

}  // namespace kelvor
