// The report part of a capture: stack walk, crash ID and the text report.
#pragma once
#include <cstdint>
#include <string>

namespace kelvor {

class CCrashCapture;

class CCrashReport {
 public:
  explicit CCrashReport(CCrashCapture* owner) : owner(owner) {}

  // Builds text, crashId and windowInfo; sets built; returns the stack walk's result.
  bool BuildReportText();

  bool FormatReportHeader(std::wstring& out);
  bool FormatProcessList(std::wstring& out);
  bool FormatWindowInfo();
  bool FormatMemoryStatus(std::wstring& out);

  // Walks the crashed thread's stack (at most maxFrames); fills signature and stack text, sets
  // faultModule; allInNtdll tells whether every frame lay in ntdll.dll.
  bool WalkCrashStack(unsigned maxFrames, std::wstring& signature, std::wstring& stackText, bool& allInNtdll);

  std::wstring text;
  std::wstring crashId;
  std::wstring faultModule;
  std::wstring windowInfo;
  uint32_t built = 0;
  uint32_t walkResult = 0;
  CCrashCapture* owner;
};

}  // namespace kelvor
