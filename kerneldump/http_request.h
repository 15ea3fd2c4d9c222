// The pieces of the report POST that do not need WinINet (platform-free): the report URL, the
// referrer and object name, the request flags and the Content-Length rule.
#pragma once
#include <cstdint>
#include <string>

namespace kerneldump {

extern const wchar_t kReportPath[];
extern const wchar_t kDefaultBugUrl[];
extern const wchar_t kAgentText[];
constexpr size_t kReportUrlCapacity = 260;  // characters, terminator included
constexpr size_t kRequestPartCapacity = 512;

constexpr uint32_t kReportRequestFlags = 0x84000200;  // reload, no cache write, no UI
constexpr uint32_t kFlagSecure = 0x00800000;
// Unknown authority, wrong name and expired certificates are accepted on https.
constexpr uint32_t kLenientSecurityFlags = 0x3100;
constexpr uint32_t kLengthWhenUnknown = 256;

// "BugURL" + the fixed path. A base URL that leaves no room for the path in the 260-character URL
// is refused: a cut URL would post the dump somewhere nobody asked for.
bool BuildReportUrl(const std::wstring& bugUrl, std::wstring& url);

bool IsHttpsUrl(const std::wstring& url);
uint32_t RequestFlagsFor(const std::wstring& url, uint32_t flags);
std::wstring BuildReferrer(const std::wstring& scheme, const std::wstring& host);
std::wstring BuildObjectName(const std::wstring& path, const std::wstring& extra);
// The URL's own text from "?" on (undecoded), or empty.
std::wstring QueryPartOf(const std::wstring& url);
// Unsigned decimal up to the first non-digit; saturates instead of wrapping.
uint32_t ParseContentLength(const std::wstring& text);

}  // namespace kerneldump
