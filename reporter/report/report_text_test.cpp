#include "reporter/report/report_text.h"

#include <gtest/gtest.h>

namespace {
using namespace kelvor;

ReportHeaderFacts SampleHeader() {
  ReportHeaderFacts h;
  h.programName = L"Orv";
  h.programVersion = L"5.2.0.118";
  h.appName = L"Orv.exe";
  h.windowsVersion = L"WIN_7";
  h.is64BitSystem = true;
  h.faultModule = L"OrvCore.dll";
  h.time = {2013, 7, 5, 9, 3, 41};
  h.email = L"";
  h.crashId = L"6411A82AC403CB898D94121C6BBB3287";
  return h;
}

MemoryFacts SampleMemory() {
  MemoryFacts m;
  m.memoryLoad = 37;
  m.totalPhys = 1073741824u;  // 1 GiB
  m.availPhys = 536870912u;
  m.totalPageFile = 4294967295u;  // the largest 32-bit figure
  m.availPageFile = 1048576u;
  m.totalVirtual = 2147352576u;
  m.availVirtual = 0;
  m.workingSetSize = 4095u;
  m.quotaPagedPoolUsage = 524288u;
  m.quotaNonPagedPoolUsage = 1536u;
  m.privateUsage = 0;
  m.pagefileUsage = 10485760u;
  return m;
}

const wchar_t kGoldenHeader[] =
    L"Vemko Dump\r\n"
    L"Program Name:Orv   Program Version:5.2.0.118\r\n"
    L"AppName:Orv.exe   Windows Version:WIN_7 64\r\n"
    L"Module:OrvCore.dll   Data:2013-7-5 9:3:41\r\n"
    L"Email:\r\n"
    L"HashCode:6411A82AC403CB898D94121C6BBB3287\r\n";

const wchar_t kGoldenMemory[] =
    L"\r\n\r\nSystem Memory:\r\n"
    L"Memory Usage:37% \r\n"
    L"Total Memory:1024.000 M\r\n"
    L"Avail Memory:512.000 M\r\n"
    L"Total Paged Memory:4096.000 M\r\n"
    L"Avail Paged Memory:1.000 M\r\n"
    L"Total Virtual Memory:2047.875 M\r\n"
    L"Avail Virtual Memory:0.000 M\r\n"
    L"Process Memory:\r\n"
    L"WorkingSetSize:0.004 M\r\n"
    L"PagedPoolUsage:0.500 M\r\n"
    L"NonPagedPoolUsage:0.001 M\r\n"
    L"PrivateUsage :0.000 M\r\n"
    L"PagefileUsage :10.000 M\r\n";

TEST(ReportText, HeaderIsExact) {
  EXPECT_EQ(FormatHeaderText(SampleHeader()), kGoldenHeader);
  ReportHeaderFacts h = SampleHeader();
  h.is64BitSystem = false;
  h.windowsVersion = L"WIN_XP";
  h.email = L"me@example.org";
  h.time = {2014, 1, 1, 0, 0, 5};
  std::wstring text = FormatHeaderText(h);
  EXPECT_NE(text.find(L"   Windows Version:WIN_XP 32\r\n"), std::wstring::npos);
  EXPECT_NE(text.find(L"   Data:2014-1-1 0:0:5\r\nEmail:me@example.org\r\n"), std::wstring::npos);
}

TEST(ReportText, MemorySectionIsExact) {
  EXPECT_EQ(FormatMemorySection(SampleMemory()), kGoldenMemory);
  // The load is printed with "%d" like every Windows build of this report: a bogus figure above
  // 2^31 (seen from emulated systems) comes out negative, as it would there.
  MemoryFacts odd = SampleMemory();
  odd.memoryLoad = 0xFFFFFFFFu;
  EXPECT_NE(FormatMemorySection(odd).find(L"\r\nMemory Usage:-1% \r\n"), std::wstring::npos);
}

TEST(ReportText, ProcessLinesAndWindowEntries) {
  EXPECT_EQ(FormatProcessSection({{L"System", 4, 0}, {L"Orv.exe", 2468, 1200}}),
            L"\r\nSystem Process:\r\nSystem Pid:4 Parrent Pid:0\r\nOrv.exe Pid:2468 Parrent Pid:1200\r\n");
  EXPECT_EQ(FormatProcessSection({}), L"\r\nSystem Process:\r\n");
  // Two children without text run on one line; a texted one ends it. Handles print signed.
  EXPECT_EQ(FormatWindowSection({{66000, 65998, L""}, {-2, 0, L""}, {66004, 66000, L"OK"}}),
            L"\r\n\r\nWindow Info:\r\nhwnd:66000  ParentWnd: 65998  hwnd:-2  ParentWnd: 0  "
            L"hwnd:66004  ParentWnd: 66000  Window Text:OK\r\n");
  std::wstring longText(300, L'w');
  std::wstring entry = FormatWindowEntry({1, 2, longText});
  EXPECT_EQ(entry, L"hwnd:1  ParentWnd: 2  Window Text:" + std::wstring(259, L'w') + L"\r\n");
  EXPECT_EQ(FormatWindowEntry({1, 2, std::wstring(259, L'v')}).size(), entry.size());
}

TEST(ReportText, WholeReportByteForByte) {
  ReportSections s;
  s.header = FormatHeaderText(SampleHeader());
  s.stack = L"\r\nStack:\r\n0x6A281234  0x00001234  OrvCore\r\n";
  s.processes = FormatProcessSection({{L"Orv.exe", 2468, 1200}});
  s.command = FormatCommandSection(L"\"C:\\Orv\\Orv.exe\" /crash dll");
  s.windows = FormatWindowSection({{66000, 65998, L"Scan"}});
  s.memory = FormatMemorySection(SampleMemory());
  s.userContext = FormatUserContextSection(L"clicked scan");
  std::wstring text = AssembleReportText(s);

  std::wstring expected = std::wstring(1, static_cast<wchar_t>(0xFEFF)) + kGoldenHeader +
                          L"\r\nStack:\r\n0x6A281234  0x00001234  OrvCore\r\n"
                          L"\r\nSystem Process:\r\nOrv.exe Pid:2468 Parrent Pid:1200\r\n"
                          L"\r\nCommand:\r\n\"C:\\Orv\\Orv.exe\" /crash dll"
                          L"\r\n\r\nWindow Info:\r\nhwnd:66000  ParentWnd: 65998  Window Text:Scan\r\n" +
                          kGoldenMemory + L"\r\nUserContext:\r\nclicked scan";
  EXPECT_EQ(text, expected);

  std::string bytes = ReportFileBytes(text);
  ASSERT_GE(bytes.size(), 4u);
  EXPECT_EQ(bytes.substr(0, 4), std::string("\xFF\xFE"
                                            "V\0",
                                            4));
  EXPECT_EQ(bytes.size(), 2 * text.size());
  EXPECT_EQ(bytes.size() % 2, 0u);
  // Ends with the user's text, no line end and no NUL.
  EXPECT_EQ(bytes.substr(bytes.size() - 4), std::string("a\0n\0", 4));
  // Every line feed is part of a CR LF pair.
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == L'\n') {
      EXPECT_TRUE(i > 0 && text[i - 1] == L'\r') << "bare LF at " << i;
    }
  }
}

TEST(ReportText, AbsentSectionsLeaveNeighboursTouching) {
  // A process without windows and without readable figures: the window heading runs straight
  // into the user context; with figures, straight into the memory section.
  ReportSections s;
  s.header = L"H\r\n";
  s.command = FormatCommandSection(L"orv.exe");
  s.windows = FormatWindowSection({});
  s.userContext = FormatUserContextSection(L"");
  EXPECT_EQ(AssembleReportText(s).substr(1),
            L"H\r\n\r\nCommand:\r\norv.exe\r\n\r\nWindow Info:\r\n\r\nUserContext:\r\n");
  s.memory = FormatMemorySection(SampleMemory());
  EXPECT_NE(
      AssembleReportText(s).find(L"\r\n\r\nWindow Info:\r\n\r\n\r\nSystem Memory:\r\nMemory Usage:37% \r\n"),
      std::wstring::npos);
  EXPECT_EQ(AssembleReportText(ReportSections()), std::wstring(1, static_cast<wchar_t>(0xFEFF)));
}

}  // namespace
