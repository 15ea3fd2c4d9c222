// Request details of the report POST.
#include "kerneldump/http_request.h"

#include "common/path.h"
#include "common/protocol/endpoints.h"

namespace kerneldump {

const wchar_t kAgentText[] = L"Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.1)";

namespace {
std::wstring Cut(const std::wstring& text, size_t capacity) { return text.substr(0, capacity - 1); }
}  // namespace

bool BuildReportUrl(const std::wstring& bugUrl, std::wstring& url) {
  std::wstring full = bugUrl + protocol::kKernelDumpReportPath;
  if (full.size() + 1 > kReportUrlCapacity) return false;
  url = full;
  return true;
}

bool IsHttpsUrl(const std::wstring& url) { return suite::EqualsNoCase(url.substr(0, 5), L"https"); }

uint32_t RequestFlagsFor(const std::wstring& url, uint32_t flags) {
  return IsHttpsUrl(url) ? flags | kFlagSecure : flags;
}

std::wstring BuildReferrer(const std::wstring& scheme, const std::wstring& host) {
  return Cut(scheme + L"://" + host + L"/", kRequestPartCapacity);
}

std::wstring BuildObjectName(const std::wstring& path, const std::wstring& extra) {
  return Cut(path + extra, kRequestPartCapacity);
}

std::wstring QueryPartOf(const std::wstring& url) {
  size_t q = url.find(L'?');
  return q == std::wstring::npos ? std::wstring() : url.substr(q);
}

uint32_t ParseContentLength(const std::wstring& text) {
  uint64_t value = 0;
  for (wchar_t c : text) {
    if (c < L'0' || c > L'9') break;
    value = value * 10 + uint64_t(c - L'0');
    if (value > 0xFFFFFFFFu) return 0xFFFFFFFFu;
  }
  return uint32_t(value);
}

uint32_t AnswerBytesToRead(bool announced, uint32_t length) {
  uint32_t wanted = announced ? length : kLengthWhenUnknown;
  return wanted < kAnswerReadLimit ? wanted : kAnswerReadLimit;
}

bool ReadAnswerBody(AnswerBody& body, bool announced, uint32_t length) {
  char buffer[kAnswerReadLimit];
  const uint32_t wanted = AnswerBytesToRead(announced, length);
  uint32_t got = 0;
  while (got < wanted) {
    long n = body.Read(buffer + got, wanted - got);
    if (n < 0 || uint32_t(n) > wanted - got) return false;
    if (n == 0) return !announced;  // the body ended before what the server announced
    got += uint32_t(n);
  }
  return true;
}

}  // namespace kerneldump
