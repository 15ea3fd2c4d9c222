// The "/BugInfo:" switch: the crash handler's formatter and Kelvor's parser.
#include "common/protocol/bug_info_switch.h"

namespace protocol {

namespace {

wchar_t Lower(wchar_t c) { return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c + 32) : c; }

size_t FindNoCase(const std::wstring& text, const std::wstring& needle) {
  for (size_t i = 0; i + needle.size() <= text.size(); ++i) {
    size_t k = 0;
    while (k < needle.size() && Lower(text[i + k]) == Lower(needle[k])) ++k;
    if (k == needle.size()) return i;
  }
  return std::wstring::npos;
}

bool IsSpace(wchar_t c) {
  return c == L' ' || c == L'\t' || c == L'\n' || c == L'\r' || c == L'\v' || c == L'\f';
}

int HexDigit(wchar_t c) {
  if (c >= L'0' && c <= L'9') return c - L'0';
  if (c >= L'a' && c <= L'f') return c - L'a' + 10;
  if (c >= L'A' && c <= L'F') return c - L'A' + 10;
  return -1;
}

// A scanner over the text after the switch with the conversions the pattern uses.
class Scanner {
 public:
  Scanner(const std::wstring& text, size_t pos) : text_(text), pos_(pos) {}

  // %p / %llp: optional blanks, optional "0x", hexadecimal digits.
  bool Hex(uint64_t& value) {
    SkipSpace();
    size_t p = pos_;
    if (p + 1 < text_.size() && text_[p] == L'0' && (text_[p + 1] == L'x' || text_[p + 1] == L'X') &&
        p + 2 < text_.size() && HexDigit(text_[p + 2]) >= 0)
      p += 2;
    if (p >= text_.size() || HexDigit(text_[p]) < 0) return false;
    uint64_t v = 0;
    while (p < text_.size() && HexDigit(text_[p]) >= 0)
      v = (v << 4) | static_cast<uint64_t>(HexDigit(text_[p++]));
    pos_ = p;
    value = v;
    return true;
  }

  // %d: optional blanks, optional sign, decimal digits; stored as the 32-bit pattern.
  bool Decimal(uint32_t& value) {
    SkipSpace();
    size_t p = pos_;
    bool negative = false;
    if (p < text_.size() && (text_[p] == L'+' || text_[p] == L'-')) negative = text_[p++] == L'-';
    if (p >= text_.size() || text_[p] < L'0' || text_[p] > L'9') return false;
    uint32_t v = 0;
    while (p < text_.size() && text_[p] >= L'0' && text_[p] <= L'9')
      v = v * 10 + static_cast<uint32_t>(text_[p++] - L'0');
    pos_ = p;
    value = negative ? 0u - v : v;
    return true;
  }

  bool Literal(wchar_t c) {
    if (pos_ < text_.size() && text_[pos_] == c) {
      ++pos_;
      return true;
    }
    return false;
  }

 private:
  void SkipSpace() {
    while (pos_ < text_.size() && IsSpace(text_[pos_])) ++pos_;
  }
  const std::wstring& text_;
  size_t pos_;
};

// Appends `text` at `at` when it fits before `capacity` (a NUL still to come); false otherwise.
bool Append(wchar_t* out, size_t capacity, size_t& at, const wchar_t* text, size_t length) {
  if (at + length >= capacity) return false;
  for (size_t i = 0; i < length; ++i) out[at++] = text[i];
  return true;
}

bool AppendDecimal(wchar_t* out, size_t capacity, size_t& at, uint32_t value) {
  wchar_t digits[10];
  size_t n = 0;
  do {
    digits[sizeof(digits) / sizeof(digits[0]) - 1 - n++] = static_cast<wchar_t>(L'0' + value % 10);
    value /= 10;
  } while (value);
  return Append(out, capacity, at, digits + sizeof(digits) / sizeof(digits[0]) - n, n);
}

}  // namespace

size_t FormatBugInfoSwitch(const BugInfoSwitch& fields, wchar_t* out, size_t capacity) {
  if (!out || capacity == 0) return 0;
  static const wchar_t kHex[] = L"0123456789ABCDEF";
  wchar_t address[8];
  for (int i = 0; i < 8; ++i) address[i] = kHex[(fields.blockAddress >> (28 - 4 * i)) & 0xF];
  size_t at = 0;
  bool ok = Append(out, capacity, at, kBugInfoSwitch, sizeof(kBugInfoSwitch) / sizeof(wchar_t) - 1) &&
            Append(out, capacity, at, address, 8) && Append(out, capacity, at, L",", 1) &&
            AppendDecimal(out, capacity, at, fields.processId) && Append(out, capacity, at, L",", 1) &&
            AppendDecimal(out, capacity, at, fields.threadId) && Append(out, capacity, at, L",", 1) &&
            AppendDecimal(out, capacity, at, fields.eventHandle);
  if (!ok) at = 0;
  out[at] = 0;
  return at;
}

BugInfoSwitch ParseBugInfoSwitch(const std::wstring& commandLine) {
  static const std::wstring kSwitch = kBugInfoSwitch;
  BugInfoSwitch result;
  size_t at = FindNoCase(commandLine, kSwitch);
  if (at == std::wstring::npos) return result;
  size_t start = at + kSwitch.size();
  if (start >= commandLine.size()) return result;  // the switch with nothing after it
  result.found = true;

  Scanner scan(commandLine, start);
  uint64_t address = 0;
  if (!scan.Hex(address)) return result;
  result.blockAddress = static_cast<uint32_t>(address);  // a 32-bit program: the low half
  if (!scan.Literal(L',') || !scan.Decimal(result.processId)) return result;
  if (!scan.Literal(L',') || !scan.Decimal(result.threadId)) return result;
  if (!scan.Literal(L',') || !scan.Decimal(result.eventHandle)) return result;
  return result;
}

}  // namespace protocol
