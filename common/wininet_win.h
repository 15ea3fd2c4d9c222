// WinINet pieces shared by Drummet's report post and the networking library: a scope-bound owner of
// an internet handle and a URL cracked into fixed buffers. Header-only, so that only a program that
// includes it links wininet.
//
// Ownership: a ScopedInternet owns its handle as the other Scoped types do (scoped_handle_win.h).
#pragma once
#include <windows.h>
// windows.h first: wininet.h builds on its types.
#include <wininet.h>

#include "common/scoped_handle_win.h"

namespace suite {

namespace handle_traits {
struct Internet {
  using Handle = HINTERNET;
  static Handle Empty() { return nullptr; }
  static bool IsValid(Handle h) { return h != nullptr; }
  static void Close(Handle h) { InternetCloseHandle(h); }
};
}  // namespace handle_traits

// Session, connection and request handles, closed with InternetCloseHandle. A request closes before
// its connection and the connection before its session: declare them in that order, session first.
using ScopedInternet = Scoped<handle_traits::Internet>;

// A URL's parts, each in a zeroed buffer of its own. Crack() is false when WinINet refuses the URL,
// also when a part does not fit its buffer; the parts are then not to be used. `flags` are
// InternetCrackUrlW's (ICU_DECODE decodes escapes in every part, the query included).
struct CrackedUrl {
  wchar_t scheme[33] = {};
  wchar_t host[257] = {};
  wchar_t user[129] = {};
  wchar_t password[129] = {};
  wchar_t path[2049] = {};
  wchar_t extra[2049] = {};  // "?query" and "#fragment"
  INTERNET_SCHEME schemeKind = INTERNET_SCHEME_UNKNOWN;
  INTERNET_PORT port = 0;

  bool Crack(const wchar_t* url, DWORD flags) {
    URL_COMPONENTSW c = {};
    c.dwStructSize = sizeof(c);
    Into(scheme, c.lpszScheme, c.dwSchemeLength);
    Into(host, c.lpszHostName, c.dwHostNameLength);
    Into(user, c.lpszUserName, c.dwUserNameLength);
    Into(password, c.lpszPassword, c.dwPasswordLength);
    Into(path, c.lpszUrlPath, c.dwUrlPathLength);
    Into(extra, c.lpszExtraInfo, c.dwExtraInfoLength);
    if (!url || !InternetCrackUrlW(url, 0, flags, &c)) return false;
    schemeKind = c.nScheme;
    port = c.nPort;
    return true;
  }

 private:
  // A part is cracked into its buffer; the length WinINet is given counts the terminator.
  template <size_t N>
  static void Into(wchar_t (&buffer)[N], LPWSTR& text, DWORD& length) {
    text = buffer;
    length = N;
  }
};

}  // namespace suite
