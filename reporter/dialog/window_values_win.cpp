// The process-wide values the report window shares with the run.
#include "reporter/dialog/report_window_win.h"

namespace kelvor {

wchar_t g_CrashedAppName[260] = {};
std::wstring g_ContactEmail;
BOOL g_RestartChecked = TRUE;  // the window's restart box starts checked
std::wstring g_UserContext;
BOOL g_SendChecked = TRUE;  // the box that offers to send the report starts checked
BOOL g_SessionEnding = FALSE;

void SetCrashedAppName(const std::wstring& appName) {
  const size_t n = appName.size() < 259 ? appName.size() : 259;
  appName.copy(g_CrashedAppName, n);
  g_CrashedAppName[n] = 0;
}

}  // namespace kelvor
