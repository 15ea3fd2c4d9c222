#include "uploader/crash_args.h"

#include <gtest/gtest.h>

#include "common/utf16_cut.h"

namespace ulvane {
namespace {

const std::wstring kId = L"0123456789abcdef0123456789ABCDEF";

TEST(CrashArgs, EveryUploadCountsWhateverStartSays) {
  for (const wchar_t* start : {L"/Start:report ", L"/Start:Report ", L"", L"/Start:kernel "}) {
    CrashArgs a;
    ASSERT_TRUE(ParseCrashArgs(std::wstring(start) + L"/Path:a.dmp /Module:m /ID:" + kId, a));
    EXPECT_EQ(a.startKind, protocol::StartKind::kReport) << start;
    EXPECT_EQ(InfoPostFields(a, L"g")[6].second, L"1") << start;
  }
}

TEST(CrashArgs, DumpPathsUpperCase) {
  const std::wstring folder = DumpFolderFor(true, L"C:\\Program Files\\X", L"C:\\own");
  EXPECT_EQ(folder, L"C:\\Program Files\\X\\dump\\");
  EXPECT_EQ(DumpPathFor(folder, L"abc.dmp"), L"C:\\PROGRAM FILES\\X\\DUMP\\ABC.DMP");
  EXPECT_EQ(DumpPathFor(DumpFolderFor(false, L"", L"C:\\own"), L"abc.dmp"), L"C:\\OWN\\ABC.DMP");
  EXPECT_EQ(DumpPathFor(DumpFolderFor(true, L"C:\\X\\", L""), L"a.dmp"), L"C:\\X\\DUMP\\A.DMP");
  EXPECT_EQ(UpperCaseAscii(L"\x00e9z-\x0101a"), L"\x00e9Z-\x0101A");
}

TEST(CrashArgs, ReportAndArchiveReplaceOnlyTheFileNamesDmp) {
  // Any letter case; never the dump's own path, and a folder named like a dump stays as it is.
  const struct {
    const wchar_t* dump;
    std::wstring stem;  // report and archive: this + ".txt" / ".zip"
  } kCases[] = {{L"C:\\D\\ORV_1.DMP", L"C:\\D\\ORV_1"},
                {L"C:\\A.DMP\\b.Dmp", L"C:\\A.DMP\\b"},
                {L"C:\\PROD.DMP\\VEMKO\\DUMP\\X.DMP", L"C:\\PROD.DMP\\VEMKO\\DUMP\\X"},
                {L"C:\\D.DMP\\NOTES", L"C:\\D.DMP\\NOTES"},
                {L"C:\\D\\.DMP", L"C:\\D\\.DMP"}};
  for (const auto& c : kCases) {
    EXPECT_EQ(ReportPathFor(c.dump), c.stem + L".txt") << c.dump;
    EXPECT_EQ(ArchivePathFor(c.dump), c.stem + L".zip") << c.dump;
  }
}

TEST(CrashArgs, PathMustBeAPlainDumpName) {
  for (const wchar_t* good : {L"a.dmp", L"Orv_[2013-7-4_9_5_30]_1.DMP", L"x.y.Dmp"})
    EXPECT_TRUE(IsPlainDumpName(good)) << good;
  for (const wchar_t* bad :
       {L"", L".dmp", L"notes.txt", L"a.dmp.txt", L"..\\x.dmp", L"..\\..\\Windows\\x.dmp", L"sub/x.dmp",
        L"C:x.dmp", L"a.txt:s.dmp", L"\\\\host\\share\\x.dmp"})
    EXPECT_FALSE(IsPlainDumpName(bad)) << bad;
  CrashArgs a;
  EXPECT_FALSE(ParseCrashArgs(L"/Path:notes.txt /Module:m /ID:" + kId, a));
  EXPECT_FALSE(ParseCrashArgs(L"/Path:..\\Orv.dmp /Module:m /ID:" + kId, a));
  EXPECT_FALSE(ParseCrashArgs(L"/Module:m /ID:" + kId, a));
  EXPECT_FALSE(ParseCrashArgs(L"/Path:a.dmp /ID:" + kId, a));  // a plain name, but the reader's no: no module
}

TEST(CrashArgs, ReportFactsReadBackAsKelvorSentThem) {
  const std::wstring header =
      L"\xFEFFVemko Dump\r\nProgram Name:Orv   Program Version:1.0_beta\r\nAppName:My App.exe   Windows "
      L"Version:WIN_7 64\r\nModule:   Data:2024-3-5 9:3:41\r\nEmail:a@b.c\r\nHashCode:" +
      kId + L"\r\n";
  CrashArgs a;
  ASSERT_TRUE(ReadReportFacts(header + L"\r\nStack:\r\n\r\nUserContext:\r\nEmail:x\r\nHashCode:y", a));
  EXPECT_EQ(a.application, L"My_App.exe");
  EXPECT_EQ(a.module, L"UnKnown");
  EXPECT_EQ(a.email, L"a@b.c");
  EXPECT_EQ(a.reportId, kId);
  std::wstring longMail = header;
  longMail.replace(longMail.find(L"a@b.c"), 5, std::wstring(41, L'm'));
  ASSERT_TRUE(ReadReportFacts(longMail, a));
  EXPECT_EQ(a.email, L"");
  EXPECT_FALSE(ReadReportFacts(header.substr(0, header.find(L"HashCode:")), a));
  EXPECT_FALSE(ReadReportFacts(L"", a));
}

TEST(CrashArgs, ServerUrlsAndAnswers) {
  std::wstring url = L"http://h:1";
  EXPECT_TRUE(NormalizeServerUrl(url));
  EXPECT_EQ(url, L"http://h:1/");
  EXPECT_TRUE(NormalizeServerUrl(url));
  EXPECT_EQ(url, L"http://h:1/");
  url.clear();
  EXPECT_FALSE(NormalizeServerUrl(url));

  EXPECT_TRUE(AnswerWantsArchive("true"));
  EXPECT_TRUE(AnswerWantsArchive("trueXYZ"));
  for (const char* no : {"TRUE", " true", "", "tru", "false"}) EXPECT_FALSE(AnswerWantsArchive(no)) << no;
  EXPECT_FALSE(AnswerWantsArchive(nullptr));
}

TEST(CrashArgs, InfoPostFieldsInOrder) {
  CrashArgs a;
  ASSERT_TRUE(ParseCrashArgs(
      L"/Path:a.dmp /Module:M.dll /App:A.exe /Version:" + std::wstring(35, L'9') + L" /ID:" + kId, a));
  const auto fields = InfoPostFields(a, L"00000000-001122334455");
  const std::vector<std::pair<std::wstring, std::wstring>> want = {{L"product", L"Orv"},
                                                                   {L"hash_id", kId},
                                                                   {L"guid", L"00000000-001122334455"},
                                                                   {L"version", std::wstring(30, L'9')},
                                                                   {L"app", L"A.exe"},
                                                                   {L"module", L"M.dll"},
                                                                   {L"count", L"1"},
                                                                   {L"mail", L""}};
  EXPECT_EQ(fields, want);
  // The cut never leaves half of a character outside the basic plane.
  a.productVersion = std::wstring(29, L'9') + L"\xD83D\xDE00";
  EXPECT_EQ(InfoPostFields(a, L"g")[3].second, std::wstring(29, L'9'));
  EXPECT_EQ(suite::CutWithoutSplittingPairs(L"ab\xD83D\xDE00", 4), L"ab\xD83D\xDE00");
}

}  // namespace
}  // namespace ulvane
