// Stands in for the uploader in tests: installed as "Ulvane.exe", it writes the command line it
// received, exactly, as UTF-8 into "Ulvane.received.txt" beside itself, and ends with 0.
#include <windows.h>

#include <string>

#include "common/scoped_handle_win.h"
#include "common/wformat.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) {
  wchar_t self[MAX_PATH] = {};
  if (!GetModuleFileNameW(nullptr, self, MAX_PATH)) return 0;
  std::wstring folder = self;
  folder = folder.substr(0, folder.rfind(L'\\') + 1);
  const std::wstring target = folder + L"Ulvane.received.txt";
  const std::wstring partial = folder + L"Ulvane.received.part";
  const std::string text = suite::ToUtf8(GetCommandLineW());

  suite::ScopedFile file(
      CreateFileW(partial.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return 0;
  DWORD written = 0;
  WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  file.Close();
  // Appears whole or not at all: the reader polls for it.
  MoveFileExW(partial.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING);
  return 0;
}
