// Filling the user's entries into a built report without building it again: the stack, processes
// and windows it describes are those of the moment of the crash, not of the window's close.
#include "reporter/dialog/user_entries.h"

#include "reporter/report/report_text.h"

namespace kelvor {

bool PutUserEntriesIntoReport(std::wstring& text, const std::wstring& crashId, const std::wstring& email,
                              const std::wstring& userContext) {
  // The e-mail line is matched with the crash ID after it: names from the crashed process come
  // earlier in the header and could hold the same words.
  const std::wstring emailLine = L"\r\nEmail:\r\nHashCode:" + crashId + L"\r\n";
  const std::wstring tail = kUserContextHeading;
  size_t at = text.find(emailLine);
  if (at == std::wstring::npos || text.size() < tail.size() ||
      text.compare(text.size() - tail.size(), tail.size(), tail) != 0)
    return false;
  text += userContext;
  text.insert(at + 8, email);  // after "\r\nEmail:"
  return true;
}

}  // namespace kelvor
