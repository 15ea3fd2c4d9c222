// Windows path text helpers (no file system access).
#include "common/path.h"

namespace suite {

namespace {
wchar_t Lower(wchar_t c) { return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c + 32) : c; }
}  // namespace

std::wstring WithTrailingBackslash(const std::wstring& a) {
  if (a.empty() || a.back() == L'\\') return a;
  return a + L'\\';
}

std::wstring JoinPath(const std::wstring& a, const std::wstring& b) {
  if (a.empty()) return b;
  size_t skip = 0;
  while (skip < b.size() && b[skip] == L'\\') ++skip;
  return WithTrailingBackslash(a) + b.substr(skip);
}

std::wstring FileNamePart(const std::wstring& path) {
  size_t pos = path.rfind(L'\\');
  return pos == std::wstring::npos ? path : path.substr(pos + 1);
}

std::wstring FolderPart(const std::wstring& path) {
  size_t pos = path.rfind(L'\\');
  if (pos == std::wstring::npos) return std::wstring();
  if (pos == 2 && path.size() >= 3 && path[1] == L':') return path.substr(0, 3);
  return path.substr(0, pos);
}

std::wstring ReplaceAll(std::wstring text, const std::wstring& from, const std::wstring& to) {
  if (from.empty()) return text;
  size_t pos = 0;
  while ((pos = text.find(from, pos)) != std::wstring::npos) {
    text.replace(pos, from.size(), to);
    pos += to.size();
  }
  return text;
}

bool EqualsNoCase(const std::wstring& a, const std::wstring& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (Lower(a[i]) != Lower(b[i])) return false;
  return true;
}

bool ContainsNoCase(const std::wstring& haystack, const std::wstring& needle) {
  if (needle.empty()) return true;
  if (needle.size() > haystack.size()) return false;
  for (size_t i = 0; i + needle.size() <= haystack.size(); ++i) {
    size_t k = 0;
    while (k < needle.size() && Lower(haystack[i + k]) == Lower(needle[k])) ++k;
    if (k == needle.size()) return true;
  }
  return false;
}

}  // namespace suite
