// The wire form of Communication.dll's requests.
#include "product/communication/form_encoding.h"

#include "common/path.h"
#include "common/wformat.h"

namespace communication {

std::string PercentEncode(const std::string& utf8) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : utf8) {
    const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                       c == '-' || c == '.' || c == '_' || c == '~';
    if (plain) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

std::string EncodeForm(const std::vector<std::pair<std::wstring, std::wstring>>& fields) {
  std::string body;
  for (const auto& field : fields) {
    if (!body.empty()) body += '&';
    body += PercentEncode(suite::ToUtf8(field.first)) + '=' + PercentEncode(suite::ToUtf8(field.second));
  }
  return body;
}

bool IsCarriedUrl(const std::wstring& url) {
  for (const wchar_t* scheme : {L"http://", L"https://"}) {
    const std::wstring s = scheme;
    if (url.size() > s.size() && suite::EqualsNoCase(url.substr(0, s.size()), s)) return true;
  }
  return false;
}

uint32_t TimeLimitMs(uint32_t limitSeconds) {
  if (limitSeconds == 0 || limitSeconds > kMaxLimitSeconds) return 0;
  return limitSeconds * 1000;
}

size_t KeptAnswerBytes(uint32_t cap) {
  return cap == 0 || cap > kAnswerCeilingBytes ? kAnswerCeilingBytes : cap;
}

}  // namespace communication
