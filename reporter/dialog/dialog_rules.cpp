// Platform-free decisions of the report window.
#include "reporter/dialog/dialog_rules.h"

#include <cwchar>

#include "common/protocol/file_names.h"
#include "common/protocol/uploader_command_line.h"
#include "common/utf16_cut.h"

namespace kelvor {

const wchar_t kReportSkinFolder[] = L"skin\\skin_crashreporter";
const wchar_t kReportLayoutName[] = L"crashreporter";
const wchar_t kReportTitleItem[] = L"BugReport_Vemko";
const wchar_t kSendButton[] = L"btn.send";
const wchar_t kEmailArea[] = L"edit.email";
const wchar_t kLineArea[] = L"edit.line";

namespace {
// Locale identifiers of the languages that have resources.
const int kChineseSimplified = 2052;
const int kThai = 1054;
// The window's sizes; the contact rows need 30 more pixels.
const int kHeightPlain = 285;
const int kHeightWithContact = 315;
// Windows' message and key numbers, here so the rule stays free of windows.h.
const unsigned kWmKeyDown = 0x0100;
const unsigned kWmKeyUp = 0x0101;
const unsigned kWmChar = 0x0102;
const unsigned long long kVkTab = 0x09;
const unsigned long long kVkReturn = 0x0D;
const unsigned long long kVkEscape = 0x1B;
const unsigned long long kVkSpace = 0x20;
}  // namespace

std::wstring LanguageFolderFor(int languageNumber) {
  if (languageNumber == kChineseSimplified) return L"2052";
  if (languageNumber == kThai) return L"1054";
  return L"1033";
}

std::wstring InstalledLanguageFolder(int languageNumber,
                                     const std::function<bool(const std::wstring&)>& installed) {
  const std::wstring folder = LanguageFolderFor(languageNumber);
  return installed(folder) ? folder : L"1033";
}

int CharsetForLanguageFolder(const std::wstring& folderName) {
  if (folderName == L"1054") return 222;  // THAI_CHARSET
  if (folderName == L"2052") return 134;  // GB2312_CHARSET
  return 1;                               // DEFAULT_CHARSET
}

std::vector<std::wstring> LanguageResourceFolders(const std::wstring& folderName) {
  return {L"I18N\\" + folderName + L"\\BugReporter", L"I18N\\" + folderName + L"\\Font"};
}

std::wstring ConfigIniPathFrom(const std::wstring& longProgramPath) {
  std::wstring folder = longProgramPath;
  size_t slash = folder.rfind(L'\\');
  if (slash != std::wstring::npos) folder.erase(slash);
  return folder + L"\\" + protocol::kConfigIniName;
}

int ReportWindowHeight(bool contactShown) { return contactShown ? kHeightWithContact : kHeightPlain; }

EditRect RichEditRectFor(const EditRect& a) { return {a.left + 1, a.top + 5, a.right - 1, a.bottom - 1}; }

SkinCommand CommandForSkinNotify(const wchar_t* controlName) {
  if (!controlName) return SkinCommand::Nothing;
  if (std::wcscmp(controlName, L"btn.send") == 0) return SkinCommand::Send;
  if (std::wcscmp(controlName, L"btn.checkbox.Contact") == 0) return SkinCommand::ToggleContact;
  return SkinCommand::Nothing;
}

KeyCommand CommandForKey(unsigned message, unsigned long long virtualKey, bool shift, bool onSkinControl) {
  // A tab or space character that got through some other way (a posted WM_CHAR) is still not typed.
  if (message == kWmChar) {
    if (virtualKey == L'\t' || (onSkinControl && virtualKey == L' ')) return KeyCommand::Drop;
    return KeyCommand::Pass;
  }
  if (message == kWmKeyUp)
    return onSkinControl && virtualKey == kVkSpace ? KeyCommand::Drop : KeyCommand::Pass;
  if (message != kWmKeyDown) return KeyCommand::Pass;
  if (virtualKey == kVkEscape) return KeyCommand::Close;
  if (virtualKey == kVkReturn) return KeyCommand::Send;
  if (virtualKey == kVkTab) return shift ? KeyCommand::PreviousFocus : KeyCommand::NextFocus;
  if (virtualKey == kVkSpace && onSkinControl) return KeyCommand::Activate;
  return KeyCommand::Pass;
}

std::vector<std::wstring> FocusOrder(bool contactShown) {
  std::vector<std::wstring> order = {L"btn.checkbox.Restart", L"btn.checkbox.Help", L"btn.checkbox.Contact"};
  if (contactShown) order.insert(order.end(), {kEmailArea, kLineArea});
  order.push_back(kSendButton);
  return order;
}

std::wstring NextInFocusOrder(const std::vector<std::wstring>& order, const std::wstring& current,
                              bool backwards) {
  if (order.empty()) return L"";
  const size_t n = order.size();
  for (size_t i = 0; i < n; ++i)
    if (order[i] == current) return order[backwards ? (i + n - 1) % n : (i + 1) % n];
  return backwards ? order.back() : order.front();
}

std::wstring CutToRichEditLimit(const std::wstring& text) {
  return suite::CutWithoutSplittingPairs(text, kRichEditTextLimit);
}

bool AcceptableEmail(const std::wstring& typed, std::wstring& accepted) {
  accepted.clear();
  size_t first = typed.find_first_not_of(L' '), last = typed.find_last_not_of(L' ');
  if (first == std::wstring::npos) return true;  // nothing typed is acceptable: no address
  std::wstring address = typed.substr(first, last - first + 1);
  if (address.size() > protocol::kMaxContactEmailChars) return false;
  for (wchar_t c : address)
    if (c <= L' ' || c == 0x7F || c == 0x3000 || c == 0xA0) return false;
  accepted = address;
  return true;
}

UserEntries StoreEntriesOnClose(const UserEntries& before, const ClosingFacts& facts) {
  UserEntries after = before;
  if (facts.contactChecked) {
    if (facts.haveEmailBox) AcceptableEmail(CutToRichEditLimit(facts.emailText), after.contactEmail);
    if (facts.haveLineBox) after.userContext = CutToRichEditLimit(facts.lineText);
  }
  after.restartChecked = facts.restartChecked;
  after.sendChecked = facts.sendChecked;
  return after;
}

}  // namespace kelvor
