#include "common/wformat.h"

#include <gtest/gtest.h>

namespace {
using suite::WFormat;

TEST(WFormat, PrintsWideStringsAndIntegersTheSameOnEveryPlatform) {
  std::wstring name = L"Orv.exe";
  EXPECT_EQ(WFormat(L"%s Pid:%d Parrent Pid:%d\r\n", name, 1234, 4), L"Orv.exe Pid:1234 Parrent Pid:4\r\n");
  EXPECT_EQ(WFormat(L"[%s][%s]", L"", static_cast<const wchar_t*>(nullptr)), L"[][]");
  EXPECT_EQ(WFormat(L"%d|%d|%u", -7, 0, 4294967295u), L"-7|0|4294967295");
  EXPECT_EQ(WFormat(L"%lld", -1LL), L"-1");
  EXPECT_EQ(WFormat(L"%lld", 74565LL), L"74565");
  EXPECT_EQ(WFormat(L"%x %X %02X %02X", 0x1aU, 0x1aU, 5U, 0xABU), L"1a 1A 05 AB");
  EXPECT_EQ(WFormat(L"Memory Usage:%d%% ", 37), L"Memory Usage:37% ");
  EXPECT_EQ(WFormat(L"%s_[%d-%d-%d_%d_%d_%d]", L"App", 2014, 1, 1, 0, 0, 5), L"App_[2014-1-1_0_0_5]");
}

TEST(WFormat, PointerFormatIsEightUpperCaseDigitsAtLeast) {
  EXPECT_EQ(WFormat(L"0x%llp  0x%llp  %s\r\n", 0x401000ULL, 0x1000ULL, L"Orv"),
            L"0x00401000  0x00001000  Orv\r\n");
  EXPECT_EQ(WFormat(L"%llp", 0xFFFFFFFFFFFFFFFFULL), L"FFFFFFFFFFFFFFFF");
}

TEST(WFormat, FixedPointWithThreeDecimals) {
  EXPECT_EQ(WFormat(L"%.3f M", 1073741824.0 / 1048576.0), L"1024.000 M");
  EXPECT_EQ(WFormat(L"%.3f", 4095.0 / 1048576.0), L"0.004");
  EXPECT_EQ(WFormat(L"%.3f", 0.0), L"0.000");
}

TEST(WFormat, WidthPaddingAndMissingArguments) {
  EXPECT_EQ(WFormat(L"%5d|%-5d|%05d|%-3s|", 42, 42, -42, L"a"), L"   42|42   |-0042|a  |");
  EXPECT_EQ(WFormat(L"%d and %d", 1), L"1 and ");
  EXPECT_EQ(WFormat(L"trailing %"), L"trailing ");
}

TEST(Utf16, SurrogatesAndLittleEndianBytes) {
  std::wstring text = L"A\u00e9";
  text.push_back(static_cast<wchar_t>(0xFEFF));
  EXPECT_EQ(suite::ToUtf16LeBytes(text), std::string("A\0\xE9\0\xFF\xFE", 6));
  std::u16string pair = {0xD83D, 0xDE00};
  EXPECT_EQ(suite::ToUtf16(suite::FromUtf16(pair)), pair);
  EXPECT_EQ(suite::ToUtf8(suite::FromUtf16(pair)), "\xF0\x9F\x98\x80");
}

TEST(Utf8, RoundTripAndBrokenInput) {
  std::wstring text = L"dump_\u00fc\u4e2d.dmp";
  EXPECT_EQ(suite::FromUtf8(suite::ToUtf8(text)), text);
  EXPECT_EQ(suite::ToUtf8(L"\u00fc"), "\xC3\xBC");
  EXPECT_EQ(suite::FromUtf8("a\xC3"), std::wstring(L"a\uFFFD"));
  EXPECT_EQ(suite::FromUtf8("\xFF"
                            "b"),
            std::wstring(L"\uFFFDb"));
}

}  // namespace
