// The uploader's command-line switches, shared by the program that starts Ulvane and Ulvane itself.
// Each value runs from the end of its switch text to the next space or the end of the line: values
// are not quoted, so one that holds a space arrives cut. Kelvor writes the line and Ulvane reads it
// (refusing it without a 32-character ID or a module) with uploader_command_line.h.
#pragma once
#include <string>

namespace protocol {

constexpr wchar_t kSwitchStart[] = L"/Start:";
constexpr wchar_t kSwitchPath[] = L"/Path:";
constexpr wchar_t kSwitchVersion[] = L"/Version:";
constexpr wchar_t kSwitchModule[] = L"/Module:";
constexpr wchar_t kSwitchApp[] = L"/App:";
constexpr wchar_t kSwitchId[] = L"/ID:";
constexpr wchar_t kSwitchEmail[] = L"/Email:";

// Alone on Ulvane's command line: deliver the current user's pending crashes (marks still present,
// report still on disk) instead of one named crash. The product starts it when it starts.
constexpr wchar_t kSwitchPending[] = L"/Pending";

// The "/Start:" value with which a captured crash is handed over.
constexpr wchar_t kStartReport[] = L"report";
// Length of the "/ID:" value (the crash ID as hexadecimal text).
constexpr unsigned kReportIdChars = 32;
// The crash ID of a crash whose stack gave no signature at all.
constexpr wchar_t kFixedCrashId[] = L"0123456789abcdef0123456789abcdef";

// A value as it may stand on the command line: spaces (which would cut it), slashes (which could
// make switch text of it), backslashes (which would nest the mark's registry key) and control
// characters each become "_". Kelvor passes every value through it and keys the mark with the
// version it gives, so the mark, the report and the upload all name the same version; applied
// twice it changes nothing.
std::wstring SafeSwitchValue(std::wstring value);

}  // namespace protocol
