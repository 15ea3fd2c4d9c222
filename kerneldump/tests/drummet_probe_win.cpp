// Test helper for the Drummet scenarios: does several registry and file look-ups in one Wine start
// (each start is slow there) from inside the prefix, as a 32-bit program sees them.
//   set-sz KEY NAME TEXT | set-expand KEY NAME TEXT | set-dword KEY NAME N | delete KEY NAME |
//   delete-key KEY | has-key KEY | get KEY NAME | ctime PATH | list FOLDER | hold PATH MS
// ("hold" opens a file without sharing, prints HELD, keeps it MS milliseconds, as a program that is
// still writing it would).
// KEY starts with HKLM\ or HKCU\. One output line per command.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

#include "common/scoped_handle_win.h"
#include "common/wformat.h"

namespace {

HKEY SplitKey(const std::wstring& full, std::wstring& sub) {
  size_t slash = full.find(L'\\');
  std::wstring root = full.substr(0, slash);
  sub = slash == std::wstring::npos ? L"" : full.substr(slash + 1);
  return root == L"HKCU" ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE;
}

suite::ScopedRegKey Open(const std::wstring& full, bool create) {
  std::wstring sub;
  HKEY root = SplitKey(full, sub);
  suite::ScopedRegKey key;
  if (create)
    RegCreateKeyExW(root, sub.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.receive(), nullptr);
  else
    RegOpenKeyExW(root, sub.c_str(), 0, KEY_ALL_ACCESS, key.receive());
  return key;
}

void Print(const std::wstring& text) { printf("%s\n", suite::ToUtf8(text).c_str()); }

unsigned long long Ticks(const FILETIME& t) {
  return (unsigned long long)t.dwHighDateTime << 32 | t.dwLowDateTime;
}

void SetString(const std::wstring& k, const std::wstring& name, const std::wstring& text, DWORD type) {
  suite::ScopedRegKey key = Open(k, true);
  LONG rc = key ? RegSetValueExW(key.get(), name.c_str(), 0, type, (const BYTE*)text.c_str(),
                                 DWORD((text.size() + 1) * 2))
                : -1;
  Print(L"SET " + name + L" " + std::to_wstring(rc));
}

void Get(const std::wstring& k, const std::wstring& name) {
  suite::ScopedRegKey key = Open(k, false);
  BYTE data[2048] = {};
  DWORD type = 0, size = sizeof(data) - 2;
  if (!key || RegQueryValueExW(key.get(), name.c_str(), nullptr, &type, data, &size) != ERROR_SUCCESS) {
    Print(L"MISSING " + name);
  } else if (type == REG_DWORD) {
    Print(L"DWORD " + name + L" " + std::to_wstring(*(DWORD*)data));
  } else {
    // Bytes as stored, so that a missing terminator shows in the size.
    Print(L"STRING " + name + L" " + std::to_wstring(type) + L" " + std::to_wstring(size) + L" " +
          std::wstring((wchar_t*)data));
  }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  for (int i = 1; i < argc; ++i) {
    std::wstring cmd = argv[i];
    auto arg = [&](int n) { return i + n < argc ? std::wstring(argv[i + n]) : std::wstring(); };
    if (cmd == L"set-sz" || cmd == L"set-expand") {
      SetString(arg(1), arg(2), arg(3), cmd == L"set-sz" ? REG_SZ : REG_EXPAND_SZ);
      i += 3;
    } else if (cmd == L"set-dword") {
      suite::ScopedRegKey key = Open(arg(1), true);
      DWORD v = wcstoul(arg(3).c_str(), nullptr, 10);
      LONG rc = key ? RegSetValueExW(key.get(), arg(2).c_str(), 0, REG_DWORD, (const BYTE*)&v, 4) : -1;
      Print(L"SET " + arg(2) + L" " + std::to_wstring(rc));
      i += 3;
    } else if (cmd == L"delete") {
      suite::ScopedRegKey key = Open(arg(1), false);
      LONG rc = key ? RegDeleteValueW(key.get(), arg(2).c_str()) : -1;
      Print(L"DELETED " + arg(2) + L" " + std::to_wstring(rc));
      i += 2;
    } else if (cmd == L"delete-key") {
      std::wstring sub;
      HKEY root = SplitKey(arg(1), sub);
      Print(L"DELETED-KEY " + std::to_wstring(RegDeleteKeyW(root, sub.c_str())));
      i += 1;
    } else if (cmd == L"has-key") {
      Print(std::wstring(L"HAS-KEY ") + (Open(arg(1), false) ? L"1" : L"0"));
      i += 1;
    } else if (cmd == L"get") {
      Get(arg(1), arg(2));
      i += 2;
    } else if (cmd == L"ctime") {
      WIN32_FILE_ATTRIBUTE_DATA d;
      if (GetFileAttributesExW(arg(1).c_str(), GetFileExInfoStandard, &d))
        Print(L"CTIME " + std::to_wstring(Ticks(d.ftCreationTime)) + L" " +
              std::to_wstring(Ticks(d.ftLastWriteTime)));
      else
        Print(L"CTIME none");
      i += 1;
    } else if (cmd == L"list") {
      WIN32_FIND_DATAW d;
      suite::ScopedFind f(FindFirstFileW((arg(1) + L"\\*").c_str(), &d));
      std::wstring names = L"LIST";
      if (f) {
        do names += L"|" + std::wstring(d.cFileName);
        while (FindNextFileW(f.get(), &d));
      }
      Print(names);
      i += 1;
    } else if (cmd == L"hold") {
      suite::ScopedFile f(
          CreateFileW(arg(1).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
      Print(f ? L"HELD" : L"HOLD-FAILED");
      fflush(stdout);
      Sleep(wcstoul(arg(2).c_str(), nullptr, 10));
      i += 2;
    } else {
      Print(L"UNKNOWN " + cmd);
    }
  }
  return 0;
}
