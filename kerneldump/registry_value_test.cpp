#include "kerneldump/registry_value.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace kerneldump
