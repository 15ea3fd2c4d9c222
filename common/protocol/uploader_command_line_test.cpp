// The uploader's command line across the hand-over: what Kelvor formats, Ulvane reads back.
#include <gtest/gtest.h>

#include "common/protocol/uploader_switches.h"
#include "common/protocol/uploader_command_line.h"
#include "uploader/crash_args.h"

namespace {

kelvor::UploaderLaunchFacts Facts() {
  kelvor::UploaderLaunchFacts facts;
  facts.dumpFileName = L"Orv_[2013-7-4_9_5_30]_1.dmp";
  facts.productVersion = L"5.2.0.118";
  facts.faultModule = L"OrvCore.dll";
  facts.appName = L"Orv.exe";
  facts.crashId = L"0123456789abcdef0123456789abcdef";
  facts.email = L"someone@example.com";
  return facts;
}

ulvane::CrashArgs ReadBack(const kelvor::UploaderLaunchFacts& facts) {
  ulvane::CrashArgs args;
  EXPECT_TRUE(ulvane::ParseCrashArgs(kelvor::FormatUploaderCommandLine(facts), args));
  return args;
}

TEST(UploaderCommandRoundTrip, EveryValueArrivesAsKelvorSentIt) {
  const kelvor::UploaderLaunchFacts sent = Facts();
  const ulvane::CrashArgs got = ReadBack(sent);
  EXPECT_EQ(got.dumpFileName, sent.dumpFileName);
  EXPECT_EQ(got.productVersion, sent.productVersion);
  EXPECT_EQ(got.module, sent.faultModule);
  EXPECT_EQ(got.application, sent.appName);
  EXPECT_EQ(got.reportId, sent.crashId);
  EXPECT_EQ(got.email, sent.email);
  const std::wstring line = kelvor::FormatUploaderCommandLine(sent);
  EXPECT_EQ(ulvane::MapStartKind(ulvane::ReadSwitchValue(line, protocol::kSwitchStart)),
            ulvane::kStartReport);
}

TEST(UploaderCommandRoundTrip, NoModuleArrivesAsUnKnownAndIsAccepted) {
  kelvor::UploaderLaunchFacts sent = Facts();
  sent.faultModule.clear();  // the stack walk could not start
  EXPECT_EQ(ReadBack(sent).module, kelvor::kUnknownModule);
}

TEST(UploaderCommandRoundTrip, TheEmailArrivesWholeOrEmpty) {
  kelvor::UploaderLaunchFacts sent = Facts();
  sent.email = std::wstring(kelvor::kMaxContactEmailChars - 10, L'x') + L"@vemko.com";
  EXPECT_FALSE(kelvor::ApplyContactEmailLimit(sent.email));
  EXPECT_EQ(ReadBack(sent).email, sent.email);
  sent.email += L"m";  // one too long: cleared before it is sent, so nothing arrives
  EXPECT_TRUE(kelvor::ApplyContactEmailLimit(sent.email));
  EXPECT_EQ(ReadBack(sent).email, L"");
}

TEST(UploaderCommandRoundTrip, AValueWithASpaceOrSwitchTextArrivesWholeAndSafe) {
  // Values are not quoted: Kelvor makes each safe, so none is cut and none replaces a later switch.
  kelvor::UploaderLaunchFacts sent = Facts();
  sent.appName = L"My App.exe";
  sent.productVersion = L"1.0 beta/Module:Evil.dll/ID:ffffffffffffffffffffffffffffffff";
  const ulvane::CrashArgs got = ReadBack(sent);
  EXPECT_EQ(got.application, L"My_App.exe");
  EXPECT_EQ(got.productVersion, protocol::SafeSwitchValue(sent.productVersion));
  EXPECT_EQ(got.module, sent.faultModule);
  EXPECT_EQ(got.reportId, sent.crashId);
  EXPECT_EQ(protocol::SafeSwitchValue(got.productVersion), got.productVersion);  // the mark's key is this
}

}  // namespace
