// The report file rewritten once the report window has stored the user's entries.
#pragma once
#include <string>

#include "reporter/capture/crash_capture_win.h"

namespace kelvor {

// Puts the user's e-mail and description into the capture's report and writes this crash's report
// file again. False when the capture has no report file of its own or the report cannot take the
// entries; the file then stays as it was.
bool RewriteReportWithUserEntries(CCrashCapture& capture, const std::wstring& contactEmail,
                                  const std::wstring& userContext);

}  // namespace kelvor
