// The report window's decisions, natively.
#include "reporter/dialog/dialog_rules.h"

#include <gtest/gtest.h>

namespace kelvor {
namespace {

TEST(DialogRules, LanguageFolderKnowsThreeLanguagesAndFallsBackToEnglish) {
  EXPECT_EQ(LanguageFolderFor(2052), L"2052");
  EXPECT_EQ(LanguageFolderFor(1054), L"1054");
  for (int other : {1033, 1041, 0, -1, 2053, 1028}) EXPECT_EQ(LanguageFolderFor(other), L"1033") << other;
  auto only1033 = [](const std::wstring& f) { return f == L"1033"; };
  auto all = [](const std::wstring&) { return true; };
  EXPECT_EQ(InstalledLanguageFolder(2052, all), L"2052");
  EXPECT_EQ(InstalledLanguageFolder(2052, only1033), L"1033");  // its folder missing
  EXPECT_EQ(InstalledLanguageFolder(1054, only1033), L"1033");
  EXPECT_EQ(InstalledLanguageFolder(1041, only1033), L"1033");
  EXPECT_EQ(CharsetForLanguageFolder(L"1054"), 222);
  EXPECT_EQ(CharsetForLanguageFolder(L"2052"), 134);
  EXPECT_EQ(CharsetForLanguageFolder(L"1033"), 1);
  std::vector<std::wstring> folders = LanguageResourceFolders(L"2052");
  ASSERT_EQ(folders.size(), 2u);
  EXPECT_EQ(folders[0], L"I18N\\2052\\BugReporter");
  EXPECT_EQ(folders[1], L"I18N\\2052\\Font");
}

TEST(DialogRules, ConfigIniSitsBesideTheProgram) {
  EXPECT_EQ(ConfigIniPathFrom(L"C:\\Program Files (x86)\\Vemko Antivirus\\Kelvor.exe"),
            L"C:\\Program Files (x86)\\Vemko Antivirus\\config.ini");
  EXPECT_EQ(ConfigIniPathFrom(L"Kelvor.exe"), L"Kelvor.exe\\config.ini");
  EXPECT_EQ(ConfigIniPathFrom(L"C:\\Kelvor.exe"), L"C:\\config.ini");
}

TEST(DialogRules, SizesAndEditPlacement) {
  EXPECT_EQ(ReportWindowHeight(false), 285);
  EXPECT_EQ(ReportWindowHeight(true), 315);
  EditRect r = RichEditRectFor({10, 20, 110, 44});
  EXPECT_EQ(r.left, 11);
  EXPECT_EQ(r.top, 25);
  EXPECT_EQ(r.right, 109);
  EXPECT_EQ(r.bottom, 43);
}

TEST(DialogRules, NotificationsAreMatchedExactly) {
  EXPECT_EQ(CommandForSkinNotify(L"btn.send"), SkinCommand::Send);
  EXPECT_EQ(CommandForSkinNotify(L"btn.checkbox.Contact"), SkinCommand::ToggleContact);
  for (const wchar_t* other :
       {L"Btn.Send", L"btn.send ", L"btn.checkbox.contact", L"btn.checkbox.Restart", L""})
    EXPECT_EQ(CommandForSkinNotify(other), SkinCommand::Nothing);
  EXPECT_EQ(CommandForSkinNotify(nullptr), SkinCommand::Nothing);
}

TEST(DialogRules, KeysByMessageKeyShiftAndFocus) {
  const unsigned down = 0x0100, up = 0x0101, chr = 0x0102;
  struct Case {
    unsigned message;
    unsigned long long key;
    bool shift, onSkinControl;
    KeyCommand command;
  } cases[] = {
      {down, 0x1B, false, false, KeyCommand::Close},
      {down, 0x0D, false, false, KeyCommand::Send},  // also in the description box
      {down, 0x0D, false, true, KeyCommand::Send},
      {up, 0x0D, false, false, KeyCommand::Pass},
      {chr, 0x0D, false, false, KeyCommand::Pass},
      {down, 0x41, false, false, KeyCommand::Pass},
      {down, 0x09, false, false, KeyCommand::NextFocus},  // never a TAB in a box
      {down, 0x09, true, false, KeyCommand::PreviousFocus},
      {down, 0x09, true, true, KeyCommand::PreviousFocus},
      {chr, L'\t', false, false, KeyCommand::Drop},
      {down, 0x20, false, true, KeyCommand::Activate},
      {up, 0x20, false, true, KeyCommand::Drop},
      {chr, L' ', false, true, KeyCommand::Drop},
      {down, 0x20, false, false, KeyCommand::Pass},  // a space typed into a box
      {chr, L' ', false, false, KeyCommand::Pass},
  };
  for (const Case& c : cases)
    EXPECT_EQ(CommandForKey(c.message, c.key, c.shift, c.onSkinControl), c.command)
        << std::hex << c.message << " " << c.key << " shift " << c.shift << " skin " << c.onSkinControl;
}

TEST(DialogRules, TabWalksCheckBoxesBoxesWhenShownAndSendAndWraps) {
  std::vector<std::wstring> plain = FocusOrder(false), contact = FocusOrder(true);
  EXPECT_EQ(plain, (std::vector<std::wstring>{L"btn.checkbox.Restart", L"btn.checkbox.Help",
                                              L"btn.checkbox.Contact", L"btn.send"}));
  EXPECT_EQ(NextInFocusOrder(contact, L"btn.checkbox.Contact", false), L"edit.email");
  EXPECT_EQ(NextInFocusOrder(contact, L"edit.email", false), L"edit.line");
  EXPECT_EQ(NextInFocusOrder(contact, L"edit.email", true), L"btn.checkbox.Contact");
  EXPECT_EQ(NextInFocusOrder(plain, L"btn.send", false), L"btn.checkbox.Restart");
  EXPECT_EQ(NextInFocusOrder(plain, L"btn.checkbox.Restart", true), L"btn.send");
  // A box that was hidden meanwhile: start again at an end.
  EXPECT_EQ(NextInFocusOrder(plain, L"edit.line", false), L"btn.checkbox.Restart");
  EXPECT_EQ(NextInFocusOrder(plain, L"", true), L"btn.send");
  EXPECT_EQ(NextInFocusOrder({}, L"btn.send", false), L"");
}

TEST(DialogRules, TheCutNeverSplitsASurrogatePair) {
  const std::wstring emoji = L"\xD83D\xDE00";
  EXPECT_EQ(CutToRichEditLimit(std::wstring(258, L'a') + emoji), std::wstring(258, L'a'));
  EXPECT_EQ(CutToRichEditLimit(std::wstring(257, L'a') + emoji + L"b"), std::wstring(257, L'a') + emoji);
  EXPECT_EQ(CutToRichEditLimit(std::wstring(257, L'a') + emoji), std::wstring(257, L'a') + emoji);
  EXPECT_EQ(CutToRichEditLimit(std::wstring(259, L'a')), std::wstring(259, L'a'));
  EXPECT_EQ(CutToRichEditLimit(L"ab\xD83D"), L"ab");  // the box itself kept a half
  EXPECT_EQ(CutToRichEditLimit(L""), L"");
}

TEST(DialogRules, AnAddressIsKeptOnlyWhenReportAndUploaderCanCarryItWhole) {
  struct Case {
    const wchar_t* typed;
    bool acceptable;
    const wchar_t* kept;
  } cases[] = {
      {L"user@example.org", true, L"user@example.org"},
      {L"  user@example.org ", true, L"user@example.org"},
      {L"", true, L""},
      {L"   ", true, L""},
      {L"john smith@example.org", false, L""},  // the uploader would get "john"
      {L"a@b\tc", false, L""},
      {L"a@b\x3000"
       L"c",
       false, L""},
      {L"\x00e9l\x00e8ve@\x00e9cole.fr", true, L"\x00e9l\x00e8ve@\x00e9cole.fr"},
  };
  for (const Case& c : cases) {
    std::wstring kept = L"stale";
    EXPECT_EQ(AcceptableEmail(c.typed, kept), c.acceptable) << c.typed;
    EXPECT_EQ(kept, c.kept);
  }
  std::wstring kept;
  EXPECT_TRUE(AcceptableEmail(std::wstring(40, L'x'), kept));
  EXPECT_FALSE(AcceptableEmail(std::wstring(41, L'x'), kept));  // the uploader would get none
  EXPECT_EQ(kept, L"");
}

TEST(DialogRules, ClosingStoresEntriesOnlyWithTheContactBoxChecked) {
  UserEntries before{L"old@example.com", L"old text", true};
  ClosingFacts facts;
  facts.haveEmailBox = facts.haveLineBox = true;
  facts.emailText = L"typed@example.com";
  facts.lineText = std::wstring(300, L'x');
  facts.restartChecked = false;
  facts.sendChecked = false;

  UserEntries clear = StoreEntriesOnClose(before, facts);
  EXPECT_EQ(clear.contactEmail, L"old@example.com");
  EXPECT_EQ(clear.userContext, L"old text");
  EXPECT_FALSE(clear.restartChecked);
  EXPECT_FALSE(clear.sendChecked);

  facts.contactChecked = true;
  UserEntries checked = StoreEntriesOnClose(before, facts);
  EXPECT_EQ(checked.contactEmail, L"typed@example.com");
  EXPECT_EQ(checked.userContext, std::wstring(259, L'x'));

  facts.emailText = L"two words@example.com";
  EXPECT_EQ(StoreEntriesOnClose(before, facts).contactEmail, L"");

  facts.haveEmailBox = false;
  EXPECT_EQ(StoreEntriesOnClose(before, facts).contactEmail, L"old@example.com");
}

}  // namespace
}  // namespace kelvor
