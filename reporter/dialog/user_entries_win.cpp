// After the report window: the report file written again with the user's entries.
#include "reporter/dialog/user_entries_win.h"

#include "reporter/dialog/user_entries.h"

namespace kelvor {

bool RewriteReportWithUserEntries(CCrashCapture& capture, const std::wstring& contactEmail,
                                  const std::wstring& userContext) {
  std::wstring text = capture.Report().Text();
  if (!PutUserEntriesIntoReport(text, capture.Report().CrashId(), contactEmail, userContext)) return false;
  return capture.RewriteReport(text);
}

}  // namespace kelvor
