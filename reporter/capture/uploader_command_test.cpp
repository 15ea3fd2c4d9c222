#include "common/protocol/uploader_command_line.h"

#include <gtest/gtest.h>

namespace {

TEST(UploaderCommand, SwitchesInOrderValuesAsTheyStand) {
  kelvor::UploaderLaunchFacts facts;
  facts.dumpFileName = L"Orv_[2013-7-4_9_5_30]_1.dmp";
  facts.productVersion = L"5.2.0.118";
  facts.faultModule = L"UnKnown";
  facts.appName = L"Orv.exe";
  facts.crashId = L"0123456789abcdef0123456789abcdef";
  EXPECT_EQ(kelvor::FormatUploaderCommandLine(facts),
            L"/Start:report /Path:Orv_[2013-7-4_9_5_30]_1.dmp /Version:5.2.0.118 /Module:UnKnown /App:Orv.exe"
            L" /ID:0123456789abcdef0123456789abcdef /Email:");
  // No quoting: spaces, slashes, backslashes and control characters become "_".
  facts.appName = L"My App.exe";
  facts.productVersion = L"1.0 beta/Module:X\\y\t";
  facts.email = L"a@b.c";
  EXPECT_EQ(kelvor::FormatUploaderCommandLine(facts).substr(0, 13), L"/Start:report");
  EXPECT_NE(kelvor::FormatUploaderCommandLine(facts).find(
                L" /Version:1.0_beta_Module:X_y_ /Module:UnKnown /App:My_App.exe /ID:"),
            std::wstring::npos);
  EXPECT_EQ(
      kelvor::FormatUploaderCommandLine(facts).substr(kelvor::FormatUploaderCommandLine(facts).size() - 13),
      L" /Email:a@b.c");
}

TEST(UploaderCommand, AWalkThatDidNotStartSendsUnKnown) {
  kelvor::UploaderLaunchFacts facts;
  facts.dumpFileName = L"Orv_[2013-7-4_9_5_30].dmp";
  facts.crashId = L"0123456789abcdef0123456789abcdef";
  EXPECT_NE(kelvor::FormatUploaderCommandLine(facts).find(L" /Module:UnKnown /App:"), std::wstring::npos);
}

TEST(UploaderCommand, EmailOfFortyCharactersStaysLongerIsCleared) {
  std::wstring forty = std::wstring(30, L'x') + L"@vemko.com";
  ASSERT_EQ(forty.size(), 40u);
  std::wstring email = forty;
  EXPECT_FALSE(kelvor::ApplyContactEmailLimit(email));
  EXPECT_EQ(email, forty);
  email = forty + L"m";
  EXPECT_TRUE(kelvor::ApplyContactEmailLimit(email));
  EXPECT_EQ(email, L"");
  email.clear();
  EXPECT_FALSE(kelvor::ApplyContactEmailLimit(email));
}

}  // namespace
