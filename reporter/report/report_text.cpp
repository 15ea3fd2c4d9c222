// Assembly of the crash text report from facts; no platform calls here.
#include "reporter/report/report_text.h"

#include "common/wformat.h"

namespace kelvor {

using suite::WFormat;

const wchar_t kProcessHeading[] = L"\r\nSystem Process:\r\n";
const wchar_t kWindowHeading[] = L"\r\n\r\nWindow Info:\r\n";
const wchar_t kCommandHeading[] = L"\r\nCommand:\r\n";
const wchar_t kUserContextHeading[] = L"\r\nUserContext:\r\n";

namespace {

const wchar_t kHeaderPattern[] =
    L"Vemko Dump\r\nProgram Name:%s   Program Version:%s\r\nAppName:%s   Windows Version:%s\r\n"
    L"Module:%s   Data:%d-%d-%d %d:%d:%d\r\nEmail:%s\r\nHashCode:%s\r\n";

const wchar_t kMemoryPattern[] =
    L"\r\n\r\nSystem Memory:\r\nMemory Usage:%d%% \r\nTotal Memory:%.3f M\r\nAvail Memory:%.3f M\r\n"
    L"Total Paged Memory:%.3f M\r\nAvail Paged Memory:%.3f M\r\nTotal Virtual Memory:%.3f M\r\n"
    L"Avail Virtual Memory:%.3f M\r\nProcess Memory:\r\nWorkingSetSize:%.3f M\r\nPagedPoolUsage:%.3f M\r\n"
    L"NonPagedPoolUsage:%.3f M\r\nPrivateUsage :%.3f M\r\nPagefileUsage :%.3f M\r\n";

double Mebibytes(uint32_t bytes) { return static_cast<double>(bytes) / 1048576.0; }

}  // namespace

std::wstring FormatHeaderText(const ReportHeaderFacts& f) {
  std::wstring windows = f.windowsVersion + (f.is64BitSystem ? L" 64" : L" 32");
  return WFormat(kHeaderPattern, f.programName, f.programVersion, f.appName, windows, f.faultModule,
                 f.time.year, f.time.month, f.time.day, f.time.hour, f.time.minute, f.time.second, f.email,
                 f.crashId);
}

std::wstring FormatProcessLine(const ProcessFacts& p) {
  return WFormat(L"%s Pid:%d Parrent Pid:%d\r\n", p.exeFile, static_cast<int32_t>(p.processId),
                 static_cast<int32_t>(p.parentProcessId));
}

std::wstring FormatProcessSection(const std::vector<ProcessFacts>& processes) {
  std::wstring out = kProcessHeading;
  for (const ProcessFacts& p : processes) out += FormatProcessLine(p);
  return out;
}

std::wstring FormatWindowEntry(const WindowFacts& w) {
  std::wstring out = WFormat(L"hwnd:%d  ", w.hwnd);
  out += WFormat(L"ParentWnd: %d  ", w.parentWnd);
  if (!w.text.empty()) out += L"Window Text:" + w.text.substr(0, kMaxWindowTextChars) + L"\r\n";
  return out;
}

std::wstring FormatWindowSection(const std::vector<WindowFacts>& windows) {
  std::wstring out = kWindowHeading;
  for (const WindowFacts& w : windows) out += FormatWindowEntry(w);
  return out;
}

std::wstring FormatMemorySection(const MemoryFacts& m) {
  return WFormat(kMemoryPattern, static_cast<int32_t>(m.memoryLoad), Mebibytes(m.totalPhys),
                 Mebibytes(m.availPhys), Mebibytes(m.totalPageFile), Mebibytes(m.availPageFile),
                 Mebibytes(m.totalVirtual), Mebibytes(m.availVirtual), Mebibytes(m.workingSetSize),
                 Mebibytes(m.quotaPagedPoolUsage), Mebibytes(m.quotaNonPagedPoolUsage),
                 Mebibytes(m.privateUsage), Mebibytes(m.pagefileUsage));
}

std::wstring FormatCommandSection(const std::wstring& commandLine) { return kCommandHeading + commandLine; }

std::wstring FormatUserContextSection(const std::wstring& userContext) {
  return kUserContextHeading + userContext;
}

std::wstring AssembleReportText(const ReportSections& s) {
  std::wstring text(1, static_cast<wchar_t>(0xFEFF));
  text += s.header;
  text += s.stack;
  text += s.processes;
  text += s.command;
  text += s.windows;
  text += s.memory;
  text += s.userContext;
  return text;
}

std::string ReportFileBytes(const std::wstring& text) { return suite::ToUtf16LeBytes(text); }

}  // namespace kelvor
