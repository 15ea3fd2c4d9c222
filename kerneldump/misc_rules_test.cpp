// Registry checks, version.xml lines, report URL and request details, package names.
#include <gtest/gtest.h>

#include <sstream>

#include "kerneldump/http_request.h"
#include "kerneldump/registry_value.h"
#include "kerneldump/report_package.h"
#include "kerneldump/version_xml.h"

namespace kerneldump {
namespace {

std::vector<uint8_t> Utf16(const std::u16string& s, bool terminator) {
  std::vector<uint8_t> b;
  for (char16_t c : s) {
    b.push_back(uint8_t(c & 0xFF));
    b.push_back(uint8_t(c >> 8));
  }
  if (terminator) b.insert(b.end(), {0, 0});
  return b;
}

TEST(CheckRegString, AcceptsTerminatedStringsOfBothTypes) {
  std::wstring text;
  auto b = Utf16(u"C:\\Dumps", true);
  EXPECT_EQ(CheckRegString(kRegSz, b.data(), b.size(), text), kErrorSuccess);
  EXPECT_EQ(text, L"C:\\Dumps");
  auto e = Utf16(u"%SystemRoot%\\Minidump", true);
  EXPECT_EQ(CheckRegString(kRegExpandSz, e.data(), e.size(), text), kErrorSuccess);
  EXPECT_EQ(text, L"%SystemRoot%\\Minidump");
  EXPECT_EQ(CheckRegString(kRegSz, nullptr, 0, text), kErrorSuccess);
  EXPECT_EQ(text, L"");
}

TEST(CheckRegString, RefusesWrongTypeOddSizeOrMissingTerminator) {
  std::wstring text = L"before";
  auto b = Utf16(u"abc", true);
  EXPECT_EQ(CheckRegString(kRegDword, b.data(), b.size(), text), kErrorInvalidData);
  EXPECT_EQ(CheckRegString(7 /* multi-string */, b.data(), b.size(), text), kErrorInvalidData);
  EXPECT_EQ(CheckRegString(kRegSz, b.data(), b.size() - 1, text), kErrorInvalidData);
  auto open = Utf16(u"abc", false);
  EXPECT_EQ(CheckRegString(kRegSz, open.data(), open.size(), text), kErrorInvalidData);
  // A final unit with only its low byte zero is not a terminator.
  auto tricky = Utf16(u"ab\u0100", false);
  EXPECT_EQ(CheckRegString(kRegSz, tricky.data(), tricky.size(), text), kErrorInvalidData);
  EXPECT_EQ(text, L"before");
}

TEST(CheckRegDword, OnlyFourByteDwords) {
  EXPECT_EQ(CheckRegDword(kRegDword, 4), kErrorSuccess);
  EXPECT_EQ(CheckRegDword(kRegSz, 4), kErrorInvalidData);
  EXPECT_EQ(CheckRegDword(kRegDword, 8), kErrorInvalidData);
}

TEST(DecodeUnterminatedString, ReadsTheStoredIdentityWithoutTerminator) {
  std::wstring text;
  auto b = Utf16(u"S-1-5-21-0-0-0-1000#02FC00000001", false);
  EXPECT_TRUE(DecodeUnterminatedString(kRegSz, b.data(), b.size(), text));
  EXPECT_EQ(text, L"S-1-5-21-0-0-0-1000#02FC00000001");
  auto t = Utf16(u"abc", true);
  EXPECT_TRUE(DecodeUnterminatedString(kRegSz, t.data(), t.size(), text));
  EXPECT_EQ(text, L"abc");
  EXPECT_FALSE(DecodeUnterminatedString(kRegDword, b.data(), 4, text));
}

TEST(ProgramVersion, LineRules) {
  std::string v;
  EXPECT_EQ(ProgramVersionFromLine("  <ProgramVersion>1.2.3.4</ProgramVersion>", v), VersionLine::Found);
  EXPECT_EQ(v, "1.2.3.4");
  EXPECT_EQ(ProgramVersionFromLine("1.2.3.4</ProgramVersion>", v), VersionLine::NoVersion);
  EXPECT_EQ(ProgramVersionFromLine("</ProgramVersion>", v), VersionLine::NoVersion);
  EXPECT_EQ(ProgramVersionFromLine("<Other>9</Other>", v), VersionLine::NoMarker);
  // The last marker of the line counts, and the last ">" before it.
  EXPECT_EQ(ProgramVersionFromLine("<a>1</ProgramVersion><b>2</ProgramVersion>", v), VersionLine::Found);
  EXPECT_EQ(v, "2");
  EXPECT_EQ(ProgramVersionFromLine("<ProgramVersion></ProgramVersion>", v), VersionLine::Found);
  EXPECT_EQ(v, "");
}

TEST(ProgramVersion, FirstMarkedLineDecides) {
  std::string v;
  std::istringstream ok("<?xml version=\"1.0\"?>\r\n<Product>\r\n<ProgramVersion>10.0.2.7</ProgramVersion>\r\n"
                        "<ProgramVersion>9</ProgramVersion>\r\n");
  EXPECT_TRUE(ProgramVersionFromStream(ok, v));
  EXPECT_EQ(v, "10.0.2.7");
  std::istringstream bad("x</ProgramVersion>\n<ProgramVersion>9</ProgramVersion>\n");
  EXPECT_FALSE(ProgramVersionFromStream(bad, v));
  std::istringstream none("<ProgramVersion>\n1.0\n");
  EXPECT_FALSE(ProgramVersionFromStream(none, v));
  std::istringstream longer("<v>" + std::string(100, '7') + "</ProgramVersion>");
  EXPECT_TRUE(ProgramVersionFromStream(longer, v));
  EXPECT_EQ(v, std::string(63, '7'));
}

TEST(BuildReportUrl, AppendsThePathAndRefusesWhatDoesNotFit) {
  std::wstring url;
  EXPECT_TRUE(BuildReportUrl(L"http://127.0.0.1:8080", url));
  EXPECT_EQ(url, L"http://127.0.0.1:8080/cgi-bin/bug_report.cgi");
  EXPECT_TRUE(BuildReportUrl(L"http://h/", url));
  EXPECT_EQ(url, L"http://h//cgi-bin/bug_report.cgi");
  // 259 characters of URL are the most the buffer holds.
  const size_t room = 259 - std::wstring(kReportPath).size();
  url = L"unchanged";
  EXPECT_TRUE(BuildReportUrl(L"http://" + std::wstring(room - 7, L'a'), url));
  EXPECT_EQ(url.size(), 259u);
  url = L"unchanged";
  EXPECT_FALSE(BuildReportUrl(L"http://" + std::wstring(room - 6, L'a'), url));
  EXPECT_EQ(url, L"unchanged");
}

TEST(RequestDetails, HttpsAddsTheSecureFlag) {
  EXPECT_TRUE(IsHttpsUrl(L"HTTPS://x"));
  EXPECT_FALSE(IsHttpsUrl(L"http://x"));
  EXPECT_FALSE(IsHttpsUrl(L"http"));
  EXPECT_EQ(RequestFlagsFor(L"http://x", kReportRequestFlags), 0x84000200u);
  EXPECT_EQ(RequestFlagsFor(L"https://x", kReportRequestFlags), 0x84800200u);
}

TEST(RequestDetails, ReferrerObjectNameAndQuery) {
  EXPECT_EQ(BuildReferrer(L"http", L"127.0.0.1"), L"http://127.0.0.1/");
  EXPECT_EQ(BuildObjectName(L"/cgi-bin/bug_report.cgi", L"?a=%20"), L"/cgi-bin/bug_report.cgi?a=%20");
  EXPECT_EQ(BuildObjectName(std::wstring(600, L'p'), L"").size(), 511u);
  EXPECT_EQ(QueryPartOf(L"http://h/p?x=%41&y"), L"?x=%41&y");
  EXPECT_EQ(QueryPartOf(L"http://h/p"), L"");
}

TEST(RequestDetails, ContentLength) {
  EXPECT_EQ(ParseContentLength(L"0"), 0u);
  EXPECT_EQ(ParseContentLength(L"1234"), 1234u);
  EXPECT_EQ(ParseContentLength(L"12x"), 12u);
  EXPECT_EQ(ParseContentLength(L""), 0u);
  EXPECT_EQ(ParseContentLength(L"99999999999"), 0xFFFFFFFFu);
}

TEST(ReportPackage, Names) {
  EXPECT_EQ(ArchivePathFor(L"C:\\Prog\\", L"C:\\Windows\\Minidump\\Mini010114-01.dmp"),
            L"C:\\Prog\\dump\\Mini010114-01.dmp.zip");
  EXPECT_EQ(InfoFilePathFor(L"C:\\Users\\u\\AppData\\LocalLow\\Vemko\\Ossary"),
            L"C:\\Users\\u\\AppData\\LocalLow\\Vemko\\Ossary\\info.ini");
  std::wstring folder;
  EXPECT_TRUE(ModuleFolderFromPath(L"C:\\Prog\\Drummet.exe", folder));
  EXPECT_EQ(folder, L"C:\\Prog\\");
  EXPECT_FALSE(ModuleFolderFromPath(L"Drummet.exe", folder));
}

}  // namespace
}  // namespace kerneldump
