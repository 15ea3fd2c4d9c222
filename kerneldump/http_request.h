// The pieces of the report POST that do not need WinINet (platform-free): the report URL, the
// referrer and object name, the request flags and the Content-Length rule.
//
// Every function takes and returns values and keeps nothing. A false BuildReportUrl means there is no
// URL to post to (the report is not sent); the answer reader borrows the AnswerBody for one call.
#pragma once
#include <cstdint>
#include <string>

namespace kerneldump {

// The path and the default server are protocol::kKernelDumpReportPath and kKernelDumpDefaultServer
// (common/protocol/endpoints.h).
extern const wchar_t kAgentText[];
constexpr size_t kReportUrlCapacity = 260;  // characters, terminator included
constexpr size_t kRequestPartCapacity = 512;

constexpr uint32_t kReportRequestFlags = 0x84000200;  // reload, no cache write, no UI
constexpr uint32_t kFlagSecure = 0x00800000;
// Unknown authority, wrong name and expired certificates are accepted on https.
constexpr uint32_t kLenientSecurityFlags = 0x3100;
constexpr uint32_t kLengthWhenUnknown = 256;
// The answer's content is never used, so a server's length claim never sizes anything: at most this
// many bytes are read, into a buffer of fixed size.
constexpr uint32_t kAnswerReadLimit = 4096;
// WinINet's defaults wait for minutes (a server that accepts and never answers held the machine-wide
// mutex for 400 s); a report server that cannot take a small archive within these is down for us.
constexpr uint32_t kConnectTimeoutMs = 15000;
constexpr uint32_t kSendTimeoutMs = 30000;
constexpr uint32_t kReceiveTimeoutMs = 20000;
// The whole post, from connecting to the end of the answer: those time-outs bound each wait, and a
// server that trickles (or a connect that Windows keeps retrying) passes every one of them.
constexpr uint32_t kPostDeadlineMs = 60000;

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

// One read of the answer body: bytes read (0 at its end), or -1 when the read failed or timed out.
class AnswerBody {
 public:
  virtual ~AnswerBody() = default;
  virtual long Read(char* buffer, uint32_t size) = 0;
};
// Bytes of the answer that are read: the announced length, or kLengthWhenUnknown without one, never
// more than kAnswerReadLimit.
uint32_t AnswerBytesToRead(bool announced, uint32_t length);
// Reads the answer after a 200 into a fixed buffer and drops it. True when it arrived whole (up to
// the read limit): a failed read, or an announced body that ends early, is a cut-off answer and the
// report counts as not delivered. Without an announced length the body may end at any point.
bool ReadAnswerBody(AnswerBody& body, bool announced, uint32_t length);

}  // namespace kerneldump
