// Platform-free decisions of the report window.
#include "reporter/dialog/dialog_rules.h"

#include <cwchar>

#include "common/protocol/file_names.h"

namespace kelvor {

const wchar_t kReportSkinFolder[] = L"skin\\skin_crashreporter";
const wchar_t kReportLayoutName[] = L"crashreporter";
const wchar_t kReportTitleItem[] = L"BugReport_Vemko";

namespace {
// Locale identifiers of the languages that have resources.
const int kChineseSimplified = 2052;
const int kThai = 1054;
// The window's sizes; the contact rows need 30 more pixels.
const int kHeightPlain = 285;
const int kHeightWithContact = 315;
// Windows' message and key numbers, here so the rule stays free of windows.h.
const unsigned kWmKeyDown = 0x0100;
const unsigned long long kVkReturn = 0x0D;
const unsigned long long kVkEscape = 0x1B;
}  // namespace

std::wstring LanguageFolderFor(int languageNumber) {
  if (languageNumber == kChineseSimplified) return L"2052";
  if (languageNumber == kThai) return L"1054";
  return L"1033";
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

KeyCommand CommandForKey(unsigned message, unsigned long long virtualKey) {
  if (message != kWmKeyDown) return KeyCommand::Pass;
  if (virtualKey == kVkEscape) return KeyCommand::Close;
  if (virtualKey == kVkReturn) return KeyCommand::Send;
  return KeyCommand::Pass;
}

std::wstring CutToRichEditLimit(const std::wstring& text) { return text.substr(0, kRichEditTextLimit); }

UserEntries StoreEntriesOnClose(const UserEntries& before, const ClosingFacts& facts) {
  UserEntries after = before;
  if (facts.contactChecked) {
    if (facts.haveEmailBox) after.contactEmail = CutToRichEditLimit(facts.emailText);
    if (facts.haveLineBox) after.userContext = CutToRichEditLimit(facts.lineText);
  }
  after.restartChecked = facts.restartChecked;
  return after;
}

}  // namespace kelvor
