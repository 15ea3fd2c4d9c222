// The report POST over WinINet.
#include "kerneldump/http_poster_win.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "common/diag_failure_win.h"
#include "kerneldump/http_request.h"

namespace kerneldump {
namespace {

// The URL cracked with its parts decoded, but for the query, which goes out as written: decoding
// it would change what the server receives.
bool CrackForPost(const wchar_t* url, suite::CrackedUrl& parts) {
  if (!parts.Crack(url, ICU_DECODE)) return false;
  std::wstring query = QueryPartOf(url);
  if (!query.empty()) lstrcpynW(parts.extra, query.c_str(), ARRAYSIZE(parts.extra));
  return true;
}

const wchar_t* OrNull(const wchar_t* text) { return text[0] ? text : nullptr; }

class Locked {
 public:
  explicit Locked(CRITICAL_SECTION& lock) : lock_(lock) { EnterCriticalSection(&lock_); }
  ~Locked() { LeaveCriticalSection(&lock_); }

 private:
  CRITICAL_SECTION& lock_;
};

}  // namespace

// Runs beside one post and closes its handles when the post is still under way at the deadline.
class HttpPoster::Watchdog {
 public:
  Watchdog(HttpPoster& poster, DWORD ms) : poster_(poster), ms_(ms) {
    done_.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!done_) suite::DiagFailed("CreateEventW");
    // Without a thread the post still has WinINet's own time-outs; it is not given up for that.
    if (done_) thread_.reset(CreateThread(nullptr, 64 * 1024, &Run, this, 0, nullptr));
    if (done_ && !thread_) suite::DiagFailed("CreateThread");
  }
  ~Watchdog() {
    if (!thread_) return;
    SetEvent(done_.get());
    WaitForSingleObject(thread_.get(), INFINITE);
  }

 private:
  Watchdog(const Watchdog&) = delete;
  Watchdog& operator=(const Watchdog&) = delete;
  static DWORD WINAPI Run(void* self) {
    auto* w = static_cast<Watchdog*>(self);
    if (WaitForSingleObject(w->done_.get(), w->ms_) == WAIT_TIMEOUT) w->poster_.Expire();
    return 0;
  }

  HttpPoster& poster_;
  const DWORD ms_;
  suite::ScopedKernelObject done_, thread_;
};

HttpPoster::HttpPoster() : deadlineMs_(kPostDeadlineMs) { InitializeCriticalSection(&closing_); }

HttpPoster::~HttpPoster() {
  Close();
  DeleteCriticalSection(&closing_);
}

DWORD HttpPoster::ShortenDeadline(DWORD ms) {
  deadlineMs_ = ms && ms < kPostDeadlineMs ? ms : kPostDeadlineMs;
  return deadlineMs_;
}

void HttpPoster::Expire() {
  Locked hold(closing_);
  InterlockedExchange(&expired_, 1);
  request_.Close();
  connection_.Close();
}

class HttpPoster::RequestBody : public AnswerBody {
 public:
  explicit RequestBody(HttpPoster& poster) : poster_(poster) {}
  long Read(char* buffer, uint32_t size) override { return poster_.ReadOnce(buffer, size); }

 private:
  HttpPoster& poster_;
};

bool HttpPoster::Open(const wchar_t* agent) {
  root_.reset(InternetOpenW(agent, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
  if (!root_) {
    suite::DiagFailed("InternetOpenW");
    OutputDebugStringA("10\n");
  }
  if (root_) SetTimeouts(root_.get());  // inherited by the connection and request handles
  return root_.valid();
}

HRESULT HttpPoster::Post(const wchar_t* url, const void* body, DWORD length, const wchar_t* headers,
                         DWORD headersLength, DWORD flags) {
  if (connection_) return E_FAIL;
  if (!body) return E_POINTER;
  status_ = 0;
  InterlockedExchange(&expired_, 0);
  HRESULT result;
  {
    Watchdog watchdog(*this, deadlineMs_);
    result = PostWithinDeadline(url, body, length, headers, headersLength, flags);
  }
  if (!expired()) return result;
  // Whatever arrived before the handles were closed, the post did not finish in time.
  suite::DiagFailed("post_deadline", ERROR_TIMEOUT);
  CloseRequest();
  status_ = 0;
  return E_FAIL;
}

// Handles are stored under the lock, so that one made just as the deadline passes is closed too.
bool HttpPoster::Keep(suite::ScopedInternet& slot, HINTERNET handle) {
  Locked hold(closing_);
  slot.reset(handle);
  if (expired()) slot.Close();
  return slot.valid();
}

HRESULT HttpPoster::PostWithinDeadline(const wchar_t* url, const void* body, DWORD length,
                                       const wchar_t* headers, DWORD headersLength, DWORD flags) {
  if (length == DWORD(-1)) length = static_cast<DWORD>(strlen(static_cast<const char*>(body)));

  suite::CrackedUrl parts;
  if (!url || !CrackForPost(url, parts)) return E_FAIL;
  if (!Keep(connection_, InternetConnectW(root_.get(), parts.host, parts.port, OrNull(parts.user),
                                          OrNull(parts.password), INTERNET_SERVICE_HTTP, 0, 0))) {
    suite::DiagFailed("InternetConnectW");
    return E_FAIL;
  }
  SetTimeouts(connection_.get());

  const std::wstring referrer = BuildReferrer(parts.scheme, parts.host);
  const std::wstring object = BuildObjectName(parts.path, parts.extra);
  const bool secure = IsHttpsUrl(url);
  flags = RequestFlagsFor(url, flags);
  if (!Keep(request_, HttpOpenRequestW(connection_.get(), L"POST", object.c_str(), nullptr, referrer.c_str(),
                                       nullptr, flags, reinterpret_cast<DWORD_PTR>(this)))) {
    suite::DiagFailed("HttpOpenRequestW");
    CloseRequest();
    return E_FAIL;
  }
  SetTimeouts(request_.get());
  if (secure) {
    DWORD security = kLenientSecurityFlags;
    InternetSetOptionW(request_.get(), INTERNET_OPTION_SECURITY_FLAGS, &security, sizeof(security));
  }
  if (!HttpSendRequestW(request_.get(), headers, headersLength, const_cast<void*>(body), length)) {
    suite::DiagFailed("HttpSendRequestW");
    CloseRequest();
    return E_FAIL;
  }

  DWORD status = 0, size = sizeof(status);
  if (!HttpQueryInfoW(request_.get(), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size,
                      nullptr)) {
    suite::DiagFailed("HttpQueryInfoW");
    status = 0;
  }
  status_ = static_cast<int>(status);
  if (status_ != 200) {
    CloseRequest();
    return E_FAIL;
  }

  DWORD announcedLength = 0;
  const bool announced = ContentLength(announcedLength);
  if (AnswerBytesToRead(announced, announcedLength) != 0) {
    // The answer is read into a fixed buffer and dropped: only the status and its arrival count.
    RequestBody answer(*this);
    const bool whole = ReadAnswerBody(answer, announced, announcedLength);
    CloseRequest();
    status_ = 0;
    if (!whole) return E_FAIL;
  }
  return status_;
}

bool HttpPoster::ContentLength(DWORD& length) {
  wchar_t text[256] = {};  // 512 bytes
  DWORD size = sizeof(text);
  if (!HttpQueryInfoW(request_.get(), HTTP_QUERY_CONTENT_LENGTH, text, &size, nullptr)) return false;
  text[std::min<DWORD>(size / sizeof(wchar_t), ARRAYSIZE(text) - 1)] = 0;
  length = ParseContentLength(text);
  return true;
}

long HttpPoster::ReadOnce(void* buffer, DWORD size) {
  if (!request_ || expired()) return -1;
  INTERNET_BUFFERSA read = {};
  read.dwStructSize = sizeof(read);
  read.lpvBuffer = buffer;
  read.dwBufferLength = size;
  if (InternetReadFileExA(request_.get(), &read, 0, reinterpret_cast<DWORD_PTR>(this)))
    return long(read.dwBufferLength);
  const DWORD error = GetLastError();
  suite::DiagFailed("InternetReadFileExA", error);
  char line[128];
  snprintf(line, sizeof(line), "InternetReadFileExA failed: %d\n", static_cast<int>(error));
  OutputDebugStringA(line);
  return -1;
}

DWORD HttpPoster::ReadResponse(void* buffer, DWORD size) {
  long n = ReadOnce(buffer, size);
  return n < 0 ? 0 : DWORD(n);
}

void HttpPoster::SetTimeouts(HINTERNET handle) {
  const struct {
    DWORD option, ms;
  } timeouts[] = {{INTERNET_OPTION_CONNECT_TIMEOUT, kConnectTimeoutMs},
                  {INTERNET_OPTION_SEND_TIMEOUT, kSendTimeoutMs},
                  {INTERNET_OPTION_RECEIVE_TIMEOUT, kReceiveTimeoutMs}};
  for (const auto& t : timeouts) {
    DWORD ms = t.ms;
    InternetSetOptionW(handle, t.option, &ms, sizeof(ms));
  }
}

void HttpPoster::CloseRequest() {
  Locked hold(closing_);
  request_.Close();
  connection_.Close();
}

void HttpPoster::Close() {
  CloseRequest();
  root_.Close();
  status_ = 0;
}

}  // namespace kerneldump
