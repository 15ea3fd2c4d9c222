// The user's entries from the report window put into a report that was built before the window:
// the value of the "Email:" line and the "UserContext:" section at the end.
#pragma once
#include <string>

namespace kelvor {

// `text` was built with an empty e-mail and an empty user context for crash `crashId`. Fills both;
// false (text unchanged) when the report does not have that shape.
bool PutUserEntriesIntoReport(std::wstring& text, const std::wstring& crashId, const std::wstring& email,
                              const std::wstring& userContext);

}  // namespace kelvor
