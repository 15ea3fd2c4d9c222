// The report window's decisions, natively.
#include "reporter/dialog/dialog_rules.h"

#include <gtest/gtest.h>

namespace kelvor {
namespace {

TEST(DialogRules, LanguageFolderKnowsThreeLanguagesAndFallsBackToEnglish) {
  EXPECT_EQ(LanguageFolderFor(2052), L"2052");
  EXPECT_EQ(LanguageFolderFor(1054), L"1054");
  for (int other : {1033, 1041, 0, -1, 2053, 1028}) EXPECT_EQ(LanguageFolderFor(other), L"1033") << other;
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

TEST(DialogRules, EscClosesEnterSendsOnlyOnKeyDown) {
  EXPECT_EQ(CommandForKey(0x0100, 0x1B), KeyCommand::Close);
  EXPECT_EQ(CommandForKey(0x0100, 0x0D), KeyCommand::Send);
  EXPECT_EQ(CommandForKey(0x0101, 0x0D), KeyCommand::Pass);  // key up
  EXPECT_EQ(CommandForKey(0x0102, 0x0D), KeyCommand::Pass);  // the character itself
  EXPECT_EQ(CommandForKey(0x0100, 0x41), KeyCommand::Pass);
}

TEST(DialogRules, ClosingStoresEntriesOnlyWithTheContactBoxChecked) {
  UserEntries before{L"old@example.com", L"old text", true};
  ClosingFacts facts;
  facts.haveEmailBox = facts.haveLineBox = true;
  facts.emailText = L"typed@example.com";
  facts.lineText = std::wstring(300, L'x');
  facts.restartChecked = false;

  UserEntries clear = StoreEntriesOnClose(before, facts);
  EXPECT_EQ(clear.contactEmail, L"old@example.com");
  EXPECT_EQ(clear.userContext, L"old text");
  EXPECT_FALSE(clear.restartChecked);

  facts.contactChecked = true;
  UserEntries checked = StoreEntriesOnClose(before, facts);
  EXPECT_EQ(checked.contactEmail, L"typed@example.com");
  EXPECT_EQ(checked.userContext, std::wstring(259, L'x'));

  facts.haveEmailBox = false;
  EXPECT_EQ(StoreEntriesOnClose(before, facts).contactEmail, L"old@example.com");
}

}  // namespace
}  // namespace kelvor
