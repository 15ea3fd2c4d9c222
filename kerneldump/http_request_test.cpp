#include "kerneldump/http_request.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "common/protocol/endpoints.h"

namespace kerneldump {
namespace {

TEST(BuildReportUrl, AppendsThePathAndRefusesWhatDoesNotFit) {
  std::wstring url;
  EXPECT_TRUE(BuildReportUrl(L"http://127.0.0.1:8080", url));
  EXPECT_EQ(url, L"http://127.0.0.1:8080/cgi-bin/bug_report.cgi");
  EXPECT_TRUE(BuildReportUrl(L"http://h/", url));
  EXPECT_EQ(url, L"http://h//cgi-bin/bug_report.cgi");
  // 259 characters of URL are the most the buffer holds.
  const size_t room = 259 - std::wstring(protocol::kKernelDumpReportPath).size();
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
}

TEST(AnswerBytesToRead, NoLengthClaimSizesAnything) {
  EXPECT_EQ(AnswerBytesToRead(true, 0), 0u);
  EXPECT_EQ(AnswerBytesToRead(true, 17), 17u);
  EXPECT_EQ(AnswerBytesToRead(false, 0), kLengthWhenUnknown);
  // 4294967295 once wrapped "length + 1" to a 0-byte buffer that the server's bytes then filled.
  for (const wchar_t* claim : {L"4294967295", L"4294967296", L"99999999999", L"4097"})
    EXPECT_EQ(AnswerBytesToRead(true, ParseContentLength(claim)), kAnswerReadLimit) << claim;
}

// An answer body that hands out scripted read results (-1 = a failed or timed-out read) and, where
// the script ends, the end of the body.
class ScriptedBody : public AnswerBody {
 public:
  explicit ScriptedBody(std::vector<long> script) : script_(std::move(script)) {}
  long Read(char* buffer, uint32_t size) override {
    asked += size;
    if (next_ == script_.size()) return 0;
    long n = script_[next_++];
    if (n > 0) memset(buffer, 'A', std::min<size_t>(size_t(n), size));
    return honest && n > long(size) ? long(size) : n;
  }
  uint64_t asked = 0;
  bool honest = true;  // false: claims more bytes than it was asked for

 private:
  std::vector<long> script_;
  size_t next_ = 0;
};

TEST(ReadAnswerBody, CutOffOrStalledAnswersAreFailures) {
  ScriptedBody whole({10, 7});
  EXPECT_TRUE(ReadAnswerBody(whole, true, 17));
  ScriptedBody early({10});  // the connection closed after 10 of 17 bytes
  EXPECT_FALSE(ReadAnswerBody(early, true, 17));
  ScriptedBody stalled({5, -1});  // the receive time-out ended the read
  EXPECT_FALSE(ReadAnswerBody(stalled, true, 17));
  ScriptedBody shortUnannounced({3});
  EXPECT_TRUE(ReadAnswerBody(shortUnannounced, false, 0));
  ScriptedBody failedUnannounced({-1});
  EXPECT_FALSE(ReadAnswerBody(failedUnannounced, false, 0));
}

TEST(ReadAnswerBody, HugeClaimsReadNoMoreThanTheLimit) {
  ScriptedBody flood(std::vector<long>(4096, 1000));
  EXPECT_TRUE(ReadAnswerBody(flood, true, 0xFFFFFFFFu));
  EXPECT_LE(flood.asked, 4u * kAnswerReadLimit);
  // A read that claims more than it was asked for is not believed either.
  ScriptedBody liar({5000});
  liar.honest = false;
  EXPECT_FALSE(ReadAnswerBody(liar, true, 100));
}

}  // namespace
}  // namespace kerneldump
