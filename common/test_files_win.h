// File helpers shared by the Windows test programs and scenario drivers (header only, tests only).
#pragma once
#include <windows.h>

#include <string>
#include <vector>

#include "common/wformat.h"

namespace suite {
namespace testing {

// The plain files of a folder (given with or without a trailing backslash) matching a pattern.
inline std::vector<std::wstring> ListFiles(std::wstring folder, const std::wstring& pattern = L"*") {
  if (!folder.empty() && folder.back() != L'\\') folder += L'\\';
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW e;
  HANDLE f = FindFirstFileW((folder + pattern).c_str(), &e);
  if (f == INVALID_HANDLE_VALUE) return names;
  do
    if (!(e.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) names.push_back(e.cFileName);
  while (FindNextFileW(f, &e));
  FindClose(f);
  return names;
}

// The whole file, or "" when it cannot be read; others may keep it open for writing meanwhile.
inline std::string ReadFileBytes(const std::wstring& path) {
  HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return "";
  std::string data(GetFileSize(h, nullptr), '\0');
  DWORD read = 0;
  if (!data.empty()) ReadFile(h, &data[0], static_cast<DWORD>(data.size()), &read, nullptr);
  CloseHandle(h);
  return data;
}

// A host path from the build ("/work/...") as Wine shows it: the host's root is drive Z:.
inline std::wstring HostPath(const char* path) {
  std::wstring out = FromUtf8(path);
  if (!out.empty() && out[0] == L'/') out = L"Z:" + out;
  for (wchar_t& c : out)
    if (c == L'/') c = L'\\';
  return out;
}

}  // namespace testing
}  // namespace suite
