// Registry reads and writes with the checks of registry_value.h (Windows).
//
// Ownership: the caller owns the key and keeps it open; nothing is kept. The results are the
// registry's error codes (ERROR_SUCCESS = 0), or ERROR_INVALID_DATA for a value that fails the
// checks.
#pragma once
#include <windows.h>

#include <string>

namespace kerneldump {

// A string value of at most `capacity` characters including its terminator. On any failure
// (missing, too long, wrong type, no terminator) `text` is left as it was.
LONG ReadRegString(HKEY key, const wchar_t* name, size_t capacity, std::wstring& text);
LONG ReadRegDword(HKEY key, const wchar_t* name, DWORD& value);
// REG_SZ with the terminating zero counted.
LONG WriteRegString(HKEY key, const wchar_t* name, const std::wstring& text);
LONG WriteRegDword(HKEY key, const wchar_t* name, DWORD value);

}  // namespace kerneldump
