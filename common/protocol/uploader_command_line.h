// The command line with which Kelvor hands a crash to the uploader Ulvane: Kelvor writes it with
// FormatUploaderCommandLine and Ulvane reads it with ReadUploaderCommandLine; both live here, beside
// the switch texts (uploader_switches.h), so that the two ends cannot drift apart
// (uploader_command_line_test.cpp runs one against the other). What Ulvane then does with the crash
// (the dump's path, the servers, the information post) is uploader/crash_args.h.
//
// Pure functions over values; nothing is kept. The launch itself is CCrashCapture::LaunchUploader.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace protocol {

// What "/Start:" asks for. The numbers are the kinds' own: keep them.
enum class StartKind : uint32_t {
  kOther = 0,
  kReport = 1,
  kTrayReported = 2,
  kServerReported = 3,
  kTrayNew = 4,
  kServerNew = 5,
  kKernel = 6,
};

// The crash the line names, one value for each switch.
struct UploaderValues {
  std::wstring dumpFileName;    // "/Path:": the normal dump's file name, no folder
  std::wstring productVersion;  // "/Version:"
  std::wstring module;          // "/Module:": the fault module
  std::wstring application;     // "/App:"
  std::wstring reportId;        // "/ID:": the crash ID
  std::wstring email;           // "/Email:"
};

// The longest "/Email:" value; a longer address is sent as none.
constexpr size_t kMaxContactEmailChars = 40;
// Clears an e-mail longer than 40 characters (the stored value itself, so the report window and
// the uploader agree); returns true when it did.
bool ApplyContactEmailLimit(std::wstring& email);

// The report's word for no module of ours, and the "/Module:" of a crash whose stack walk could not
// start (the reader refuses an empty one).
constexpr wchar_t kUnknownModule[] = L"UnKnown";

// "/Start:report /Path:%s /Version:%s /Module:%s /App:%s /ID:%s /Email:%s", each value through
// SafeSwitchValue (so "My App.exe" goes as "My_App.exe"), an empty module as kUnknownModule.
std::wstring FormatUploaderCommandLine(const UploaderValues& values);

// The first occurrence of `switchText` (exact, case-sensitive) and the characters after it up to
// the first space or the end; empty when the switch is missing.
std::wstring ReadSwitchValue(const std::wstring& commandLine, const wchar_t* switchText);
// True when `switchText` stands on the line as a word of its own ("/Pending").
bool HasSwitchWord(const std::wstring& commandLine, const wchar_t* switchText);
// "/Start:" values, compared exactly; anything else is Other.
StartKind MapStartKind(const std::wstring& value);

// Reads every value switch into `values`, each one whatever the others hold. False when the line
// names no crash: the "/ID:" value is not exactly 32 characters (of any kind) or "/Module:" is
// missing or empty.
bool ReadUploaderCommandLine(const std::wstring& commandLine, UploaderValues& values);

}  // namespace protocol
