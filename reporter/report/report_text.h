// The crash text report, assembled from gathered facts. Its layout is read by people and tools at
// the report server, so every literal here is exact to the character. Pure functions of the facts
// they are given: they own nothing and cannot fail (an absent fact is an empty string or a zero).
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace kelvor {

extern const wchar_t kProcessHeading[];      // "\r\nSystem Process:\r\n"
extern const wchar_t kWindowHeading[];       // "\r\n\r\nWindow Info:\r\n"
extern const wchar_t kCommandHeading[];      // "\r\nCommand:\r\n"
extern const wchar_t kUserContextHeading[];  // "\r\nUserContext:\r\n"

// A window text is read into 261 characters with a limit of 260, which leaves 259 of text.
constexpr size_t kMaxWindowTextChars = 259;

struct LocalTimeFacts {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
};

struct ReportHeaderFacts {
  std::wstring programName;     // the record's name stem
  std::wstring programVersion;  // the record's product version
  std::wstring appName;         // the crashed application's file name
  std::wstring windowsVersion;  // e.g. "WIN_7"
  bool is64BitSystem = false;
  std::wstring faultModule;
  LocalTimeFacts time;
  std::wstring email;
  std::wstring crashId;
};

struct ProcessFacts {
  std::wstring exeFile;
  uint32_t processId = 0;
  uint32_t parentProcessId = 0;
};

struct WindowFacts {
  int32_t hwnd = 0;       // handle value, printed signed
  int32_t parentWnd = 0;  // GWL_HWNDPARENT value, printed signed
  std::wstring text;      // empty for a window without text
};

// Byte counts as the 32-bit MEMORYSTATUS and PROCESS_MEMORY_COUNTERS_EX records hold them.
struct MemoryFacts {
  uint32_t memoryLoad = 0;
  uint32_t totalPhys = 0, availPhys = 0;
  uint32_t totalPageFile = 0, availPageFile = 0;
  uint32_t totalVirtual = 0, availVirtual = 0;
  uint32_t workingSetSize = 0;
  uint32_t quotaPagedPoolUsage = 0, quotaNonPagedPoolUsage = 0;
  uint32_t privateUsage = 0, pagefileUsage = 0;
};

std::wstring FormatHeaderText(const ReportHeaderFacts& facts);
std::wstring FormatProcessLine(const ProcessFacts& process);
std::wstring FormatProcessSection(const std::vector<ProcessFacts>& processes);
// One child window's entry; a window without text gets no line end.
std::wstring FormatWindowEntry(const WindowFacts& window);
std::wstring FormatWindowSection(const std::vector<WindowFacts>& windows);
std::wstring FormatMemorySection(const MemoryFacts& memory);
std::wstring FormatCommandSection(const std::wstring& commandLine);
std::wstring FormatUserContextSection(const std::wstring& userContext);

// The sections in report order; an absent section is an empty string.
struct ReportSections {
  std::wstring header, stack, processes, command, windows, memory, userContext;
};

// U+FEFF followed by the sections in order, nothing added between them.
std::wstring AssembleReportText(const ReportSections& sections);

// The report file's bytes: the text's UTF-16LE code units as they stand (FF FE first, no NUL).
std::string ReportFileBytes(const std::wstring& text);

}  // namespace kelvor
