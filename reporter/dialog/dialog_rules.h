// Platform-free decisions of the report window: language choice, resource folders, the settings
// file's path, what a skin notification or a key does, the window sizes, what is stored on close.
// The Windows side only feeds them facts, so each rule is tested natively. Pure functions; nothing
// is kept between calls.
#pragma once
#include <functional>
#include <string>
#include <vector>

namespace kelvor {

// ---- Language and resources ------------------------------------------------------------------

// "2052" (Simplified Chinese), "1054" (Thai), otherwise "1033" (English), 0 included.
std::wstring LanguageFolderFor(int languageNumber);
// That language's folder when `installed` finds its resources, else English: a missing folder would
// leave unlabelled boxes and a blank send button.
std::wstring InstalledLanguageFolder(int languageNumber,
                                     const std::function<bool(const std::wstring&)>& installed);
// "I18N\<name>\BugReporter" then "I18N\<name>\Font": the order the skin library gets them.
std::vector<std::wstring> LanguageResourceFolders(const std::wstring& folderName);
// The Windows character set of a language folder's script (Thai 222, simplified Chinese 134, else
// the default, 1): a font asked for with it is one that has the language's glyphs.
int CharsetForLanguageFolder(const std::wstring& folderName);
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

enum class KeyCommand { Close, Send, NextFocus, PreviousFocus, Activate, Drop, Pass };
// Esc closes (which stores like send), Enter sends wherever the caret is; Tab and Shift-Tab move the
// focus and never reach a box as a character; Space on a focused skin control (check box, send
// button) presses it. The rest passes to the focused window.
KeyCommand CommandForKey(unsigned message, unsigned long long virtualKey, bool shift = false,
                         bool onSkinControl = false);

// The order Tab walks: the three check boxes, the two boxes while the contact controls are shown,
// the send button.
extern const wchar_t kSendButton[];  // "btn.send"
extern const wchar_t kEmailArea[];   // "edit.email"
extern const wchar_t kLineArea[];    // "edit.line"
std::vector<std::wstring> FocusOrder(bool contactShown);
// The next (or previous) name after `current`, wrapping; a name not in the order starts at the
// first (or the last).
std::wstring NextInFocusOrder(const std::vector<std::wstring>& order, const std::wstring& current,
                              bool backwards);

// ---- What closing stores ---------------------------------------------------------------------

constexpr size_t kRichEditTextLimit = 259;
// The text as the window keeps it: at most 259 UTF-16 units, never ending inside a surrogate pair
// (a lone half would make the report text invalid UTF-16).
std::wstring CutToRichEditLimit(const std::wstring& text);

// An address that the report and the uploader's command line can both carry as it stands: spaces
// around it dropped, then at most 40 units with no space or control character inside. False for
// anything else (the window then asks for it to be corrected, or keeps none).
bool AcceptableEmail(const std::wstring& typed, std::wstring& accepted);

struct UserEntries {
  std::wstring contactEmail;
  std::wstring userContext;
  bool restartChecked = true;
  bool sendChecked = true;
};
struct ClosingFacts {
  bool contactChecked = false;
  bool restartChecked = false;
  bool sendChecked = false;
  bool haveEmailBox = false, haveLineBox = false;
  std::wstring emailText, lineText;
};
// With the contact box clear, the address and description keep what they held; a missing box
// leaves its value alone too; an address that is not acceptable is kept as none. The restart and
// send choices are always taken.
UserEntries StoreEntriesOnClose(const UserEntries& before, const ClosingFacts& facts);

}  // namespace kelvor
