// The user's entries put into a built report.
#include "reporter/dialog/user_entries.h"

#include <gtest/gtest.h>

#include "reporter/report/report_text.h"

namespace kelvor {
namespace {

std::wstring BuiltReport(const std::wstring& stem) {
  ReportHeaderFacts facts;
  facts.programName = stem;
  facts.crashId = L"0123456789abcdef0123456789abcdef";
  ReportSections s;
  s.header = FormatHeaderText(facts);
  s.command = FormatCommandSection(L"orv.exe");
  s.userContext = FormatUserContextSection(L"");
  return AssembleReportText(s);
}

TEST(UserEntries, FillEmailLineAndTailOnly) {
  const std::wstring id = L"0123456789abcdef0123456789abcdef";
  // A stem that imitates the e-mail line with another ID does not draw the address.
  std::wstring text = BuiltReport(L"X\r\nEmail:\r\nHashCode:ffff\r\n");
  std::wstring before = text;
  ASSERT_TRUE(PutUserEntriesIntoReport(text, id, L"me@example.org", L"clicked scan"));
  std::wstring expected = before;
  expected.insert(expected.find(L"\r\nEmail:\r\nHashCode:" + id) + 8, L"me@example.org");
  expected += L"clicked scan";
  EXPECT_EQ(text, expected);
  EXPECT_NE(text.find(L"\r\nEmail:me@example.org\r\nHashCode:" + id + L"\r\n"), std::wstring::npos);
  EXPECT_EQ(text.substr(text.size() - 28), L"\r\nUserContext:\r\nclicked scan");
}

TEST(UserEntries, AReportOfAnotherShapeIsLeftAlone) {
  std::wstring text = BuiltReport(L"Orv");
  std::wstring other = text;
  EXPECT_FALSE(PutUserEntriesIntoReport(other, L"ffffffffffffffffffffffffffffffff", L"a@b", L"c"));
  EXPECT_EQ(other, text);
  std::wstring noTail = text.substr(0, text.size() - 2);
  EXPECT_FALSE(PutUserEntriesIntoReport(noTail, L"0123456789abcdef0123456789abcdef", L"a@b", L"c"));
  std::wstring empty;
  EXPECT_FALSE(PutUserEntriesIntoReport(empty, L"", L"a@b", L"c"));
}

}  // namespace
}  // namespace kelvor
