// Platform-free decisions of the report window: language choice, resource folders, the settings
// file's path, what a skin notification or a key does, the window sizes, what is stored on close.
// The Windows side only feeds them facts, so each rule is tested natively. Pure functions; nothing
// is kept between calls.
#pragma once
#include <string>
#include <vector>

namespace kelvor {

// ---- Language and resources ------------------------------------------------------------------

// "2052" (Simplified Chinese), "1054" (Thai), otherwise "1033" (English), 0 included.
std::wstring LanguageFolderFor(int languageNumber);
// "I18N\<name>\BugReporter" then "I18N\<name>\Font": the order the skin library gets them.
std::vector<std::wstring> LanguageResourceFolders(const std::wstring& folderName);
extern const wchar_t kReportSkinFolder[];  // "skin\skin_crashreporter", loaded after the language
extern const wchar_t kReportLayoutName[];  // "crashreporter"
extern const wchar_t kReportTitleItem[];   // "BugReport_Vemko"

// The long form of the program's path cut at its last backslash, + "\config.ini"; a path without
// any backslash stays whole.
std::wstring ConfigIniPathFrom(const std::wstring& longProgramPath);

// ---- Window geometry -------------------------------------------------------------------------

constexpr int kReportWindowWidth = 500;
int ReportWindowHeight(bool contactShown);  // 315 with the contact controls, else 285

struct EditRect {
  long left, top, right, bottom;
};
// A skin edit area shrunk to the rich edit placed over it: inside the area's frame line.
EditRect RichEditRectFor(const EditRect& skinArea);

// ---- Notifications and keys ------------------------------------------------------------------

enum class SkinCommand { Send, ToggleContact, Nothing };
// Exact, case-sensitive names: "btn.send" sends, "btn.checkbox.Contact" toggles, the rest is ignored.
SkinCommand CommandForSkinNotify(const wchar_t* controlName);

enum class KeyCommand { Close, Send, Pass };
// Esc closes (which stores like send), Enter sends wherever the caret is; other messages pass.
KeyCommand CommandForKey(unsigned message, unsigned long long virtualKey);

// ---- What closing stores ---------------------------------------------------------------------

constexpr size_t kRichEditTextLimit = 259;
// The text as the window keeps it: at most 259 characters.
std::wstring CutToRichEditLimit(const std::wstring& text);

struct UserEntries {
  std::wstring contactEmail;
  std::wstring userContext;
  bool restartChecked = true;
};
struct ClosingFacts {
  bool contactChecked = false;
  bool restartChecked = false;
  bool haveEmailBox = false, haveLineBox = false;
  std::wstring emailText, lineText;
};
// With the contact box clear, the address and description keep what they held; a missing box
// leaves its value alone too. The restart choice is always taken.
UserEntries StoreEntriesOnClose(const UserEntries& before, const ClosingFacts& facts);

}  // namespace kelvor
