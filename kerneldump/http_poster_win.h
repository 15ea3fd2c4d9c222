// A one-shot HTTP POST over WinINet for the report archive (Windows).
#pragma once
#include <windows.h>
#include <wininet.h>

namespace kerneldump {

class HttpPoster {
 public:
  HttpPoster() = default;
  ~HttpPoster() { Close(); }

  bool Open(const wchar_t* agent);
  // Non-negative on success (200 without a body read, 0 after one); E_FAIL or E_POINTER otherwise.
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
  DWORD ContentLengthOrDefault();

  HINTERNET root_ = nullptr;
  HINTERNET connection_ = nullptr;
  HINTERNET request_ = nullptr;
  int status_ = 0;
};

}  // namespace kerneldump
