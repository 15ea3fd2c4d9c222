// Kelvor's process-wide values, shared between the capture and the report window.
#include "reporter/capture/crash_capture.h"

namespace kelvor {

wchar_t g_CrashedAppName[260] = {};
std::wstring g_ContactEmail;
BOOL g_RestartChecked = TRUE;  // the window's restart box starts checked
std::wstring g_UserContext;

}  // namespace kelvor
