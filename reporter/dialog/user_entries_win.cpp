// After the report window: the report file written again with the user's entries.
#include "reporter/dialog/user_entries_win.h"

#include "reporter/capture/path_name_gen.h"
#include "reporter/dialog/user_entries.h"

namespace kelvor {

bool RewriteReportWithUserEntries(CCrashCapture& capture) {
  if (!capture.valid || !capture.report.built) return false;
  // Without names of its own this crash wrote nothing; the report name may be another crash's.
  if (capture.nothingToHandOver) return false;
  std::wstring text = capture.report.text;
  if (!PutUserEntriesIntoReport(text, capture.report.crashId, g_ContactEmail, g_UserContext)) return false;
  capture.report.text = text;
  std::wstring folder = CPathNameGen::Instance()->ResolveDumpFolder();
  return capture.WriteReportFile(folder + capture.reportFileName, text.c_str(),
                                 static_cast<DWORD>(text.size() * sizeof(wchar_t)));
}

}  // namespace kelvor
