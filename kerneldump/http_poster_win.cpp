// The report POST over WinINet.
#include "kerneldump/http_poster_win.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "common/diag_log.h"
#include "kerneldump/http_request.h"

namespace kerneldump {
namespace {

// The cracked URL; every buffer zeroed before cracking.
struct UrlParts {
  wchar_t scheme[33] = {};
  wchar_t host[257] = {};
  wchar_t user[129] = {};
  wchar_t password[129] = {};
  wchar_t path[2049] = {};
  wchar_t extra[2049] = {};
  INTERNET_PORT port = 0;

  bool Crack(const wchar_t* url) {
    URL_COMPONENTSW c = {};
    c.dwStructSize = sizeof(c);
    c.lpszScheme = scheme;
    c.dwSchemeLength = ARRAYSIZE(scheme);
    c.lpszHostName = host;
    c.dwHostNameLength = ARRAYSIZE(host);
    c.lpszUserName = user;
    c.dwUserNameLength = ARRAYSIZE(user);
    c.lpszPassword = password;
    c.dwPasswordLength = ARRAYSIZE(password);
    c.lpszUrlPath = path;
    c.dwUrlPathLength = ARRAYSIZE(path);
    c.lpszExtraInfo = extra;
    c.dwExtraInfoLength = ARRAYSIZE(extra);
    if (!InternetCrackUrlW(url, 0, ICU_DECODE, &c)) return false;
    port = c.nPort;
    // The query goes out as written: decoding it would change what the server receives.
    std::wstring query = QueryPartOf(url);
    if (!query.empty()) lstrcpynW(extra, query.c_str(), ARRAYSIZE(extra));
    return true;
  }
};

const wchar_t* OrNull(const wchar_t* text) { return text[0] ? text : nullptr; }

}  // namespace

bool HttpPoster::Open(const wchar_t* agent) {
  root_ = InternetOpenW(agent, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
  if (!root_) OutputDebugStringA("10\n");
  return root_ != nullptr;
}

HRESULT HttpPoster::Post(const wchar_t* url, const void* body, DWORD length, const wchar_t* headers,
                         DWORD headersLength, DWORD flags) {
  if (connection_) return E_FAIL;
  if (!body) return E_POINTER;
  status_ = 0;
  if (length == DWORD(-1)) length = static_cast<DWORD>(strlen(static_cast<const char*>(body)));

  UrlParts parts;
  if (!url || !parts.Crack(url)) return E_FAIL;
  connection_ = InternetConnectW(root_, parts.host, parts.port, OrNull(parts.user), OrNull(parts.password),
                                 INTERNET_SERVICE_HTTP, 0, 0);
  if (!connection_) {
    suite::DiagFailure("InternetConnectW", GetLastError());
    return E_FAIL;
  }

  const std::wstring referrer = BuildReferrer(parts.scheme, parts.host);
  const std::wstring object = BuildObjectName(parts.path, parts.extra);
  const bool secure = IsHttpsUrl(url);
  flags = RequestFlagsFor(url, flags);
  request_ = HttpOpenRequestW(connection_, L"POST", object.c_str(), nullptr, referrer.c_str(), nullptr, flags,
                              reinterpret_cast<DWORD_PTR>(this));
  if (!request_) {
    suite::DiagFailure("HttpOpenRequestW", GetLastError());
    CloseRequest();
    return E_FAIL;
  }
  if (secure) {
    DWORD security = kLenientSecurityFlags;
    InternetSetOptionW(request_, INTERNET_OPTION_SECURITY_FLAGS, &security, sizeof(security));
  }
  if (!HttpSendRequestW(request_, headers, headersLength, const_cast<void*>(body), length)) {
    suite::DiagFailure("HttpSendRequestW", GetLastError());
    CloseRequest();
    return E_FAIL;
  }

  DWORD status = 0, size = sizeof(status);
  if (!HttpQueryInfoW(request_, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size, nullptr))
    status = 0;
  status_ = static_cast<int>(status);
  if (status_ != 200) {
    CloseRequest();
    return E_FAIL;
  }

  const DWORD answerLength = ContentLengthOrDefault();
  if (answerLength != 0) {
    // The answer is read once and dropped: only the status decides.
    char* answer = new (std::nothrow) char[size_t(answerLength) + 1];
    if (!answer) return status_;
    ReadResponse(answer, answerLength);
    CloseRequest();
    status_ = 0;
    delete[] answer;
  }
  return status_;
}

DWORD HttpPoster::ContentLengthOrDefault() {
  wchar_t text[256] = {};  // 512 bytes
  DWORD size = sizeof(text);
  if (!HttpQueryInfoW(request_, HTTP_QUERY_CONTENT_LENGTH, text, &size, nullptr)) return kLengthWhenUnknown;
  text[std::min<DWORD>(size / sizeof(wchar_t), ARRAYSIZE(text) - 1)] = 0;
  return ParseContentLength(text);
}

DWORD HttpPoster::ReadResponse(void* buffer, DWORD size) {
  if (!request_) return 0;
  INTERNET_BUFFERSA read = {};
  read.dwStructSize = sizeof(read);
  read.lpvBuffer = buffer;
  read.dwBufferLength = size;
  if (InternetReadFileExA(request_, &read, 0, reinterpret_cast<DWORD_PTR>(this))) return read.dwBufferLength;
  char line[128];
  snprintf(line, sizeof(line), "InternetReadFileExA failed: %d\n", static_cast<int>(GetLastError()));
  OutputDebugStringA(line);
  return 0;
}

void HttpPoster::CloseRequest() {
  if (request_) InternetCloseHandle(request_);
  request_ = nullptr;
  if (connection_) InternetCloseHandle(connection_);
  connection_ = nullptr;
}

void HttpPoster::Close() {
  CloseRequest();
  if (root_) InternetCloseHandle(root_);
  root_ = nullptr;
  status_ = 0;
}

}  // namespace kerneldump
