// Windows path text helpers that do not touch the file system (platform-free).
//
// Every function takes and returns values: nothing is kept, nothing is looked up on disk and nothing
// can fail.
#pragma once
#include <string>

namespace suite {

// a + "\" + b, with exactly one backslash between them; an empty a gives b.
std::wstring JoinPath(const std::wstring& a, const std::wstring& b);
// a with one trailing backslash unless it is empty or already ends in one.
std::wstring WithTrailingBackslash(const std::wstring& a);
// The text after the last backslash (the whole text when there is none).
std::wstring FileNamePart(const std::wstring& path);
// The text before the last backslash; "C:\" stays a drive root, a bare name gives "".
std::wstring FolderPart(const std::wstring& path);
// Every occurrence of `from` replaced by `to`.
std::wstring ReplaceAll(std::wstring text, const std::wstring& from, const std::wstring& to);
// Case-insensitive comparison and search for ASCII letters (file names of this suite).
bool EqualsNoCase(const std::wstring& a, const std::wstring& b);
bool ContainsNoCase(const std::wstring& haystack, const std::wstring& needle);

}  // namespace suite
