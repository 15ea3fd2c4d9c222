// The report part of a capture: the crashed thread's stack walk, the crash ID (MD5 of the frame
// signature) and the UTF-16 text report with its snapshot of processes, windows and memory.
//
// Ownership: the report owns its texts. It borrows the crash record only while a call runs and
// never keeps a pointer to it or to the capture that holds it. A call given no record (null) does
// nothing and returns false; BuildReportText still marks the report built, so that the steps that
// wait for a report (dumps, uploader) can tell that it was attempted.
#pragma once
#include <cstdint>
#include <string>

namespace protocol {
struct BugInfoBlock;
}  // namespace protocol

namespace kelvor {

class CCrashReport {
 public:
  // Builds text, crash ID and window list for the crash that `block` describes. `processId` is the
  // crashed process as the command line names it (windows and memory figures are read from it);
  // the e-mail and the user context go into the text as they stand (empty before the window).
  // Sets built; returns the stack walk's result.
  bool BuildReportText(const protocol::BugInfoBlock* block, uint32_t processId,
                       const std::wstring& contactEmail, const std::wstring& userContext);

  bool FormatReportHeader(const protocol::BugInfoBlock* block, const std::wstring& contactEmail,
                          std::wstring& out);
  bool FormatProcessList(std::wstring& out);
  bool FormatWindowInfo(uint32_t processId);
  // False, `out` untouched, when the process cannot be opened or has ended.
  bool FormatMemoryStatus(uint32_t processId, std::wstring& out);

  // Walks the crashed thread's stack (at most maxFrames) from the context the record holds; fills
  // signature and stack text, sets the fault module; allInNtdll tells whether every frame lay in
  // ntdll.dll. False when the record has no context to walk from or nothing could be walked.
  bool WalkCrashStack(const protocol::BugInfoBlock* block, unsigned maxFrames, std::wstring& signature,
                      std::wstring& stackText, bool& allInNtdll);

  // The text in place of the built one (the report after the user's entries went into it).
  void ReplaceText(const std::wstring& newText) { text = newText; }

  const std::wstring& Text() const { return text; }
  const std::wstring& CrashId() const { return crashId; }
  const std::wstring& FaultModule() const { return faultModule; }
  const std::wstring& WindowInfo() const { return windowInfo; }
  bool IsBuilt() const { return built != 0; }
  uint32_t WalkResult() const { return walkResult; }

 private:
  std::wstring text;
  std::wstring crashId;
  std::wstring faultModule;
  std::wstring windowInfo;
  uint32_t built = 0;
  uint32_t walkResult = 0;
};

}  // namespace kelvor
