// The uploader's command line: Kelvor's formatter, Ulvane's reader on what may stand on the line, and
// what Kelvor formats read back by Ulvane across the hand-over.
#include "common/protocol/uploader_command_line.h"

#include <gtest/gtest.h>

#include "common/protocol/uploader_switches.h"

namespace protocol {
namespace {

const std::wstring kId = L"0123456789abcdef0123456789ABCDEF";

// What Kelvor hands over for a crash in one of the product's own modules.
const UploaderValues kSent = {L"Orv_[2013-7-4_9_5_30]_1.dmp",       // dump file name
                              L"5.2.0.118",                         // version
                              L"OrvCore.dll",                       // module
                              L"Orv.exe",                           // application
                              L"0123456789abcdef0123456789abcdef",  // crash ID
                              L"someone@example.com"};              // e-mail

UploaderValues ReadBack(const UploaderValues& sent) {
  UploaderValues got;
  EXPECT_TRUE(ReadUploaderCommandLine(FormatUploaderCommandLine(sent), got));
  return got;
}

TEST(FormatUploaderCommandLine, SwitchesInOrderValuesAsTheyStand) {
  UploaderValues sent = kSent;
  sent.module = L"UnKnown";
  sent.email.clear();
  EXPECT_EQ(FormatUploaderCommandLine(sent),
            L"/Start:report /Path:Orv_[2013-7-4_9_5_30]_1.dmp /Version:5.2.0.118 /Module:UnKnown /App:Orv.exe"
            L" /ID:0123456789abcdef0123456789abcdef /Email:");
  // No quoting: spaces, slashes, backslashes and control characters become "_".
  sent.application = L"My App.exe";
  sent.productVersion = L"1.0 beta/Module:X\\y\t";
  sent.email = L"a@b.c";
  const std::wstring line = FormatUploaderCommandLine(sent);
  EXPECT_EQ(line.substr(0, 13), L"/Start:report");
  EXPECT_NE(line.find(L" /Version:1.0_beta_Module:X_y_ /Module:UnKnown /App:My_App.exe /ID:"),
            std::wstring::npos);
  EXPECT_EQ(line.substr(line.size() - 13), L" /Email:a@b.c");
}

std::wstring Line(const std::wstring& id, const std::wstring& tail = L" /Email:") {
  return L"/Start:report /Path:Orv_x.dmp /Version:1.0.0.1 /Module:OrvCore.dll /App:Orv.exe /ID:" + id + tail;
}

TEST(ReadUploaderCommandLine, KelvorsLineIsReadSwitchBySwitch) {
  UploaderValues got;
  ASSERT_TRUE(ReadUploaderCommandLine(Line(kId), got));
  EXPECT_EQ(got.dumpFileName, L"Orv_x.dmp");
  EXPECT_EQ(got.productVersion, L"1.0.0.1");
  EXPECT_EQ(got.module, L"OrvCore.dll");
  EXPECT_EQ(got.application, L"Orv.exe");
  EXPECT_EQ(got.reportId, kId);
  EXPECT_EQ(got.email, L"");
}

TEST(ReadUploaderCommandLine, NamesACrashOnlyWithAnIdOf32CharactersOfAnyKindAndAModule) {
  const struct {
    std::wstring line;
    bool named;
  } kCases[] = {{Line(kId.substr(1)), false},
                {Line(kId + L"0"), false},
                {Line(L"!\"#$%&'()*+,-./:;<=>?@[]^_`{|}~\x00e9"), true},
                {L"/Module:M", false},
                {L"/Path:a.dmp /ID:" + kId, false},
                {L"/Path:a.dmp /Module: /ID:" + kId, false},
                {L"/Path:a.dmp /Module:x /ID:" + kId, true}};
  for (const auto& c : kCases) {
    UploaderValues got;
    EXPECT_EQ(ReadUploaderCommandLine(c.line, got), c.named) << c.line;
  }
}

TEST(ReadUploaderCommandLine, ValueRule) {
  // Cut at the first space, quotes mean nothing, the first occurrence wins, the program's path in
  // front does not matter.
  const std::wstring line =
      L"\"C:\\x\\Ulvane.exe\" /App:My App.exe /App:Other.exe /Path:\"a b\".dmp /Module:";
  EXPECT_EQ(ReadSwitchValue(line, L"/App:"), L"My");
  EXPECT_EQ(ReadSwitchValue(line, L"/Path:"), L"\"a");
  EXPECT_EQ(ReadSwitchValue(line, L"/Module:"), L"");
  EXPECT_EQ(ReadSwitchValue(line, L"/Email:"), L"");
  EXPECT_EQ(ReadSwitchValue(line, L"/app:"), L"");
}

TEST(ReadUploaderCommandLine, StartKindsMapExactly) {
  EXPECT_EQ(MapStartKind(L"report"), StartKind::kReport);
  EXPECT_EQ(MapStartKind(L"Report"), StartKind::kOther);
  EXPECT_EQ(MapStartKind(L""), StartKind::kOther);
  EXPECT_EQ(MapStartKind(L"servernew"), StartKind::kServerNew);
  EXPECT_EQ(MapStartKind(L"kernel"), StartKind::kKernel);
}

TEST(ReadUploaderCommandLine, PendingSwitchIsAWordOfItsOwn) {
  EXPECT_TRUE(HasSwitchWord(L"\"C:\\x\\Ulvane.exe\" /Pending", L"/Pending"));
  EXPECT_TRUE(HasSwitchWord(L"/Pending /x", L"/Pending"));
  EXPECT_FALSE(HasSwitchWord(L"/Path:a/Pending.dmp /Pendingx", L"/Pending"));
}

TEST(UploaderCommandRoundTrip, EveryValueArrivesAsKelvorSentIt) {
  const UploaderValues sent = kSent;
  const UploaderValues got = ReadBack(sent);
  EXPECT_EQ(got.dumpFileName, sent.dumpFileName);
  EXPECT_EQ(got.productVersion, sent.productVersion);
  EXPECT_EQ(got.module, sent.module);
  EXPECT_EQ(got.application, sent.application);
  EXPECT_EQ(got.reportId, sent.reportId);
  EXPECT_EQ(got.email, sent.email);
  const std::wstring line = FormatUploaderCommandLine(sent);
  EXPECT_EQ(MapStartKind(ReadSwitchValue(line, kSwitchStart)), StartKind::kReport);
}

TEST(UploaderCommandRoundTrip, NoModuleIsSentAsUnKnownAndIsAccepted) {
  UploaderValues sent = kSent;
  sent.module.clear();  // the stack walk could not start
  EXPECT_NE(FormatUploaderCommandLine(sent).find(L" /Module:UnKnown /App:"), std::wstring::npos);
  EXPECT_EQ(ReadBack(sent).module, kUnknownModule);
}

TEST(UploaderCommandRoundTrip, AnEmailOfFortyCharactersArrivesWholeALongerOneIsClearedAndArrivesEmpty) {
  UploaderValues sent = kSent;
  const std::wstring forty = std::wstring(30, L'x') + L"@vemko.com";
  ASSERT_EQ(forty.size(), 40u);
  sent.email = forty;
  EXPECT_FALSE(ApplyContactEmailLimit(sent.email));
  EXPECT_EQ(sent.email, forty);
  EXPECT_EQ(ReadBack(sent).email, forty);
  sent.email += L"m";  // one too long: cleared before it is sent, so nothing arrives
  EXPECT_TRUE(ApplyContactEmailLimit(sent.email));
  EXPECT_EQ(sent.email, L"");
  EXPECT_EQ(ReadBack(sent).email, L"");
  EXPECT_FALSE(ApplyContactEmailLimit(sent.email));
}

TEST(UploaderCommandRoundTrip, AValueWithASpaceOrSwitchTextArrivesWholeAndSafe) {
  // Values are not quoted: Kelvor makes each safe, so none is cut and none replaces a later switch.
  UploaderValues sent = kSent;
  sent.application = L"My App.exe";
  sent.productVersion = L"1.0 beta/Module:Evil.dll/ID:ffffffffffffffffffffffffffffffff";
  const UploaderValues got = ReadBack(sent);
  EXPECT_EQ(got.application, L"My_App.exe");
  EXPECT_EQ(got.productVersion, SafeSwitchValue(sent.productVersion));
  EXPECT_EQ(got.module, sent.module);
  EXPECT_EQ(got.reportId, sent.reportId);
  EXPECT_EQ(SafeSwitchValue(got.productVersion), got.productVersion);  // the mark's key is this
}

}  // namespace
}  // namespace protocol
