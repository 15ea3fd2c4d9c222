#include "product/communication/form_encoding.h"

#include <gtest/gtest.h>

namespace communication {
namespace {

TEST(FormEncoding, FieldsInOrderUtf8PercentEncoded) {
  EXPECT_EQ(EncodeForm({{L"product", L"Orv"}, {L"mail", L""}, {L"a b", L"x&y=z+1%"}}),
            "product=Orv&mail=&a%20b=x%26y%3Dz%2B1%25");
  EXPECT_EQ(EncodeForm({{L"n", L"\x00e9\x4e2d-._~"}}), "n=%C3%A9%E4%B8%AD-._~");
  EXPECT_EQ(EncodeForm({}), "");
}

TEST(FormEncoding, UrlsLimitsAndCaps) {
  EXPECT_TRUE(IsCarriedUrl(L"http://127.0.0.1:80/x"));
  EXPECT_TRUE(IsCarriedUrl(L"HTTPS://h/"));
  EXPECT_FALSE(IsCarriedUrl(L"ftp://h/"));
  EXPECT_FALSE(IsCarriedUrl(L"http://"));
  EXPECT_EQ(TimeLimitMs(20), 20000u);
  EXPECT_EQ(TimeLimitMs(0), 0u);
  EXPECT_EQ(TimeLimitMs(kMaxLimitSeconds + 1), 0u);
  EXPECT_EQ(KeptAnswerBytes(4096), 4096u);
  EXPECT_EQ(KeptAnswerBytes(0), kAnswerCeilingBytes);
  EXPECT_TRUE(IsSuccessStatus(200) && IsSuccessStatus(299));
  EXPECT_FALSE(IsSuccessStatus(300) || IsSuccessStatus(199) || IsSuccessStatus(500));
}

}  // namespace
}  // namespace communication
