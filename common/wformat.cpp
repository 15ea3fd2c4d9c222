// Platform-independent wide-string formatting and UTF-16/UTF-8 conversion.
#include "common/wformat.h"

#include <cstdio>

namespace suite {

long long FmtArg::AsSigned() const {
  switch (kind_) {
    case Kind::Signed:
      return i_;
    case Kind::Unsigned:
      return static_cast<long long>(u_);
    case Kind::Double:
      return static_cast<long long>(d_);
    default:
      return 0;
  }
}

unsigned long long FmtArg::AsUnsigned() const {
  switch (kind_) {
    case Kind::Signed:
      return static_cast<unsigned long long>(i_);
    case Kind::Unsigned:
      return u_;
    case Kind::Double:
      return static_cast<unsigned long long>(d_);
    default:
      return 0;
  }
}

double FmtArg::AsDouble() const {
  switch (kind_) {
    case Kind::Signed:
      return static_cast<double>(i_);
    case Kind::Unsigned:
      return static_cast<double>(u_);
    case Kind::Double:
      return d_;
    default:
      return 0;
  }
}

namespace {

struct ConversionFlags {
  bool left = false;
  bool zero = false;
  int width = 0;
  int precision = -1;
};

void Pad(std::wstring& out, const std::wstring& body, const ConversionFlags& s, bool numeric) {
  const int fill = s.width - static_cast<int>(body.size());
  if (fill <= 0) {
    out += body;
    return;
  }
  if (s.left) {
    out += body;
    out.append(fill, L' ');
  } else if (s.zero && numeric) {
    // Zero padding goes after a sign.
    size_t signLen = (!body.empty() && (body[0] == L'-' || body[0] == L'+')) ? 1 : 0;
    out.append(body, 0, signLen);
    out.append(fill, L'0');
    out.append(body, signLen, std::wstring::npos);
  } else {
    out.append(fill, L' ');
    out += body;
  }
}

std::wstring Digits(unsigned long long v, unsigned base, bool upper, int minDigits) {
  const char* set = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  std::wstring rev;
  while (v) {
    rev.push_back(static_cast<wchar_t>(set[v % base]));
    v /= base;
  }
  while (static_cast<int>(rev.size()) < minDigits) rev.push_back(L'0');
  return std::wstring(rev.rbegin(), rev.rend());
}

}  // namespace

std::wstring WFormatV(const wchar_t* format, const std::vector<FmtArg>& args) {
  std::wstring out;
  if (!format) return out;
  size_t next = 0;
  for (const wchar_t* p = format; *p; ++p) {
    if (*p != L'%') {
      out.push_back(*p);
      continue;
    }
    ++p;
    if (*p == L'%') {
      out.push_back(L'%');
      continue;
    }
    ConversionFlags s;
    for (;; ++p) {
      if (*p == L'-')
        s.left = true;
      else if (*p == L'0')
        s.zero = true;
      else if (*p == L'+' || *p == L' ' || *p == L'#')
        continue;
      else
        break;
    }
    while (*p >= L'0' && *p <= L'9') s.width = s.width * 10 + (*p++ - L'0');
    if (*p == L'.') {
      ++p;
      s.precision = 0;
      while (*p >= L'0' && *p <= L'9') s.precision = s.precision * 10 + (*p++ - L'0');
    }
    while (*p == L'h' || *p == L'l' || *p == L'L' || *p == L'I' || *p == L'z' || *p == L'j' || *p == L'q' ||
           *p == L't' || (*p >= L'0' && *p <= L'9' && (p[-1] == L'I')))
      ++p;
    if (!*p) break;
    const wchar_t conv = *p;
    if (next >= args.size()) continue;
    const FmtArg& a = args[next++];
    std::wstring body;
    bool numeric = true;
    switch (conv) {
      case L'd':
      case L'i': {
        long long v = a.AsSigned();
        unsigned long long mag = v < 0 ? 0ULL - static_cast<unsigned long long>(v) : v;
        body = (v < 0 ? L"-" : L"") + Digits(mag, 10, false, s.precision < 0 ? 1 : s.precision);
        break;
      }
      case L'u':
        body = Digits(a.AsUnsigned(), 10, false, s.precision < 0 ? 1 : s.precision);
        break;
      case L'x':
      case L'X':
        body = Digits(a.AsUnsigned(), 16, conv == L'X', s.precision < 0 ? 1 : s.precision);
        break;
      case L'p':
        body = Digits(a.AsUnsigned(), 16, true, 8);
        break;
      case L'c':
        body.push_back(static_cast<wchar_t>(a.AsUnsigned()));
        numeric = false;
        break;
      case L'f':
      case L'F': {
        char buf[512];
        std::snprintf(buf, sizeof buf, "%.*f", s.precision < 0 ? 6 : s.precision, a.AsDouble());
        for (const char* c = buf; *c; ++c) body.push_back(static_cast<wchar_t>(*c));
        break;
      }
      case L's':
      case L'S': {
        numeric = false;
        if (a.kind() == FmtArg::Kind::WideText) {
          body = a.wide();
        } else if (a.kind() == FmtArg::Kind::NarrowText) {
          for (const char* c = a.narrow(); *c; ++c)
            body.push_back(static_cast<wchar_t>(static_cast<unsigned char>(*c)));
        }
        if (s.precision >= 0 && static_cast<int>(body.size()) > s.precision) body.resize(s.precision);
        break;
      }
      default:
        numeric = false;
        break;
    }
    Pad(out, body, s, numeric);
  }
  return out;
}

std::u16string ToUtf16(const std::wstring& text) {
  std::u16string out;
  out.reserve(text.size());
  for (wchar_t wc : text) {
    uint32_t c = static_cast<uint32_t>(wc);
    if (sizeof(wchar_t) == 4 && c > 0xFFFF && c <= 0x10FFFF) {
      c -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(c));
    }
  }
  return out;
}

std::wstring FromUtf16(const std::u16string& text) {
  std::wstring out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    uint32_t c = text[i];
    if (sizeof(wchar_t) == 4 && c >= 0xD800 && c < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] < 0xE000) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    }
    out.push_back(static_cast<wchar_t>(c));
  }
  return out;
}

std::string ToUtf16LeBytes(const std::wstring& text) {
  std::u16string u = ToUtf16(text);
  std::string out;
  out.reserve(u.size() * 2);
  for (char16_t c : u) {
    out.push_back(static_cast<char>(c & 0xFF));
    out.push_back(static_cast<char>(c >> 8));
  }
  return out;
}

std::string ToUtf8(const std::wstring& text) {
  std::u16string u = ToUtf16(text);
  std::string out;
  for (size_t i = 0; i < u.size(); ++i) {
    uint32_t c = u[i];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < u.size() && u[i + 1] >= 0xDC00 && u[i + 1] < 0xE000) {
      c = 0x10000 + ((c - 0xD800) << 10) + (u[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c < 0xE000) {
      c = 0xFFFD;  // a lone surrogate cannot be encoded
    }
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (c >> 12)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (c >> 18)));
      out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

std::wstring FromUtf8(const std::string& text) {
  std::u16string u;
  size_t i = 0;
  while (i < text.size()) {
    unsigned char b = static_cast<unsigned char>(text[i]);
    uint32_t c;
    int extra;
    if (b < 0x80) {
      c = b;
      extra = 0;
    } else if ((b & 0xE0) == 0xC0) {
      c = b & 0x1F;
      extra = 1;
    } else if ((b & 0xF0) == 0xE0) {
      c = b & 0x0F;
      extra = 2;
    } else if ((b & 0xF8) == 0xF0) {
      c = b & 0x07;
      extra = 3;
    } else {
      u.push_back(0xFFFD);
      ++i;
      continue;
    }
    if (i + extra >= text.size() + (extra ? 0 : 1)) {
      u.push_back(0xFFFD);
      break;
    }
    bool ok = true;
    for (int k = 1; k <= extra; ++k) {
      unsigned char cb = static_cast<unsigned char>(text[i + k]);
      if ((cb & 0xC0) != 0x80) {
        ok = false;
        break;
      }
      c = (c << 6) | (cb & 0x3F);
    }
    if (!ok) {
      u.push_back(0xFFFD);
      ++i;
      continue;
    }
    i += extra + 1;
    if (c >= 0x10000) {
      c -= 0x10000;
      u.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
      u.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
    } else {
      u.push_back(static_cast<char16_t>(c));
    }
  }
  return FromUtf16(u);
}

}  // namespace suite
