#include "kerneldump/http_request.h"

#include <gtest/gtest.h>

namespace kerneldump {
namespace {

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

}  // namespace
}  // namespace kerneldump
