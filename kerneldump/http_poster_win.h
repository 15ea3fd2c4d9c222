// A one-shot HTTP POST over WinINet for the report archive (Windows).
//
// Ownership: the poster owns its session, connection and request handles (closed by CloseRequest,
// Close and its destructor, request first); the URL, body and headers are borrowed for the call. Open
// is false when WinINet gives no session; the poster then posts nothing.
#pragma once
#include <windows.h>

#include "common/wininet_win.h"

namespace kerneldump {

class HttpPoster {
 public:
  HttpPoster() = default;
  ~HttpPoster() { Close(); }

  bool Open(const wchar_t* agent);
  // Non-negative on success (200 without a body read, 0 after one); E_FAIL or E_POINTER otherwise.
  // An answer cut off before its announced end (or stalled past the receive time-out) is a failure.
  // A body length of all bits set means a zero-terminated byte string.
  HRESULT Post(const wchar_t* url, const void* body, DWORD length, const wchar_t* headers,
               DWORD headersLength, DWORD flags);
  DWORD ReadResponse(void* buffer, DWORD size);
  void CloseRequest();
  void Close();
  int status() const { return status_; }

 private:
  HttpPoster(const HttpPoster&) = delete;
  HttpPoster& operator=(const HttpPoster&) = delete;
  class RequestBody;
  // False when the answer carries no Content-Length header.
  bool ContentLength(DWORD& length);
  // Bytes read, 0 at the end of the answer, -1 on failure (time-outs included).
  long ReadOnce(void* buffer, DWORD size);
  static void SetTimeouts(HINTERNET handle);

  // Closed request first, session last (CloseRequest, Close, or the members' own order).
  suite::ScopedInternet root_;
  suite::ScopedInternet connection_;
  suite::ScopedInternet request_;
  int status_ = 0;
};

}  // namespace kerneldump
