// printf-style formatting of wide strings that gives the same text on Windows and Linux.
// wchar_t is 16-bit on one and 32-bit on the other, and the two C libraries disagree on what "%s"
// means in a wide format; platform-free code formats through WFormat only.
//
// Ownership: an FmtArg points at the text it was built from, which must outlive the WFormat call
// (temporaries of the calling expression do). Nothing fails: a conversion it does not know prints
// nothing, as does a missing argument.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace suite {

// One argument of WFormat; built implicitly from the types the formats use.
class FmtArg {
 public:
  enum class Kind { Signed, Unsigned, Double, WideText, NarrowText };
  FmtArg(int v) : kind_(Kind::Signed), i_(v) {}
  FmtArg(long v) : kind_(Kind::Signed), i_(v) {}
  FmtArg(long long v) : kind_(Kind::Signed), i_(v) {}
  FmtArg(unsigned v) : kind_(Kind::Unsigned), u_(v) {}
  FmtArg(unsigned long v) : kind_(Kind::Unsigned), u_(v) {}
  FmtArg(unsigned long long v) : kind_(Kind::Unsigned), u_(v) {}
  FmtArg(double v) : kind_(Kind::Double), d_(v) {}
  FmtArg(const wchar_t* s) : kind_(Kind::WideText), ws_(s ? s : L"") {}
  FmtArg(const std::wstring& s) : kind_(Kind::WideText), ws_(s.c_str()) {}
  FmtArg(const char* s) : kind_(Kind::NarrowText), ns_(s ? s : "") {}
  FmtArg(const std::string& s) : kind_(Kind::NarrowText), ns_(s.c_str()) {}
  FmtArg(const void* p) : kind_(Kind::Unsigned), u_(reinterpret_cast<uintptr_t>(p)) {}

  Kind kind() const { return kind_; }
  long long AsSigned() const;
  unsigned long long AsUnsigned() const;
  double AsDouble() const;
  const wchar_t* wide() const { return ws_; }
  const char* narrow() const { return ns_; }

 private:
  Kind kind_;
  long long i_ = 0;
  unsigned long long u_ = 0;
  double d_ = 0;
  const wchar_t* ws_ = nullptr;
  const char* ns_ = nullptr;
};

// Formats with the conversions d i u x X c s p f % and the flags "-0", width, ".precision" and the
// length modifiers h l ll (accepted and ignored: the argument carries its own width). "%s" always
// takes a wide string (a narrow one is widened byte by byte). "%p" prints at least 8 upper-case
// hex digits, zero-filled, as the Windows C library does. A missing argument prints nothing.
std::wstring WFormatV(const wchar_t* format, const std::vector<FmtArg>& args);

template <typename... Args>
std::wstring WFormat(const wchar_t* format, const Args&... args) {
  return WFormatV(format, std::vector<FmtArg>{FmtArg(args)...});
}

// The text as UTF-16 code units, little-endian (characters above U+FFFF become surrogate pairs
// where wchar_t is 32-bit).
std::string ToUtf16LeBytes(const std::wstring& text);
std::u16string ToUtf16(const std::wstring& text);
std::wstring FromUtf16(const std::u16string& text);

// UTF-8 conversions, independent of locale.
std::string ToUtf8(const std::wstring& text);
std::wstring FromUtf8(const std::string& text);

}  // namespace suite
