// A one-shot HTTP POST over WinINet for the report archive (Windows).
//
// Ownership: the poster owns its session, connection and request handles (closed by CloseRequest,
// Close and its destructor, request first); the URL, body and headers are borrowed for the call. Open
// is false when WinINet gives no session; the poster then posts nothing.
//
// A post has an overall deadline. WinINet's own time-outs bound each wait, not the whole: a server
// that sends a byte now and then, or a listener whose queue is full, holds a post for minutes (and the
// machine-wide mutex with it). A second thread closes the request's handles when the deadline passes,
// which ends the blocked call, and the post counts as failed whatever it got by then.
#pragma once
#include <windows.h>

#include "common/wininet_win.h"

namespace kerneldump {

class HttpPoster {
 public:
  HttpPoster();
  ~HttpPoster();

  bool Open(const wchar_t* agent);
  // The deadline of the next posts, returned: `ms`, or kPostDeadlineMs for 0 or a longer one.
  DWORD ShortenDeadline(DWORD ms);
  // Non-negative on success (200 without a body read, 0 after one); E_FAIL or E_POINTER otherwise.
  // An answer cut off before its announced end (or stalled past the receive time-out) is a failure.
  // A body length of all bits set means a zero-terminated byte string.
  HRESULT Post(const wchar_t* url, const void* body, DWORD length, const wchar_t* headers,
               DWORD headersLength, DWORD flags);
  DWORD ReadResponse(void* buffer, DWORD size);
  void CloseRequest();
  void Close();
  int status() const { return status_; }
  // The last post ran into its deadline.
  bool expired() const { return expired_ != 0; }

 private:
  HttpPoster(const HttpPoster&) = delete;
  HttpPoster& operator=(const HttpPoster&) = delete;
  class RequestBody;
  class Watchdog;
  HRESULT PostWithinDeadline(const wchar_t* url, const void* body, DWORD length, const wchar_t* headers,
                             DWORD headersLength, DWORD flags);
  // Called by the watchdog's thread: closes the request and its connection.
  void Expire();
  // Stores a new handle unless the deadline has passed; false when there is none to use.
  bool Keep(suite::ScopedInternet& slot, HINTERNET handle);
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
  DWORD deadlineMs_;
  volatile LONG expired_ = 0;
  // Held while the request or connection handle is closed: the watchdog and the posting thread
  // may both try.
  CRITICAL_SECTION closing_;
};

}  // namespace kerneldump
