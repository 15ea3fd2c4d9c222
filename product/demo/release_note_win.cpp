// Writes the demo's release note (see release_note_win.h).
#include <windows.h>

#include "product/demo/release_note_win.h"

#include <cstdio>

#include "common/folders_win.h"
#include "common/path.h"
#include "common/protocol/file_names.h"
#include "common/protocol/registry_names.h"
#include "common/scoped_handle_win.h"

namespace demo {

ReleaseNote g_note;

namespace {

std::wstring DumpFolder() {
  std::wstring folder;
  if (!suite::GetInstallDir(folder)) return L"";
  return suite::JoinPath(folder, protocol::kDumpFolderName);
}

// "name:size|name:size|..." of every file in the dump folder.
std::wstring ListFiles() {
  std::wstring list;
  WIN32_FIND_DATAW entry;
  suite::ScopedFind find(FindFirstFileW((DumpFolder() + L"*").c_str(), &entry));
  if (!find) return list;
  do {
    if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
    wchar_t size[32];
    swprintf(size, 32, L":%lu|", static_cast<unsigned long>(entry.nFileSizeLow));
    list += entry.cFileName;
    list += size;
  } while (FindNextFileW(find.get(), &entry));
  return list;
}

// "name=value|..." of the marks under this version's key.
std::wstring ListMarks() {
  std::wstring list;
  suite::ScopedRegKey key;
  std::wstring name = std::wstring(protocol::kBugMarkKey) + L"\\" + g_note.productVersion;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, name.c_str(), 0, KEY_READ, key.receive()) != ERROR_SUCCESS)
    return list;
  for (DWORD i = 0;; ++i) {
    wchar_t value[512];
    DWORD length = 512, type = 0, data = 0, size = sizeof(data);
    if (RegEnumValueW(key.get(), i, value, &length, nullptr, &type, reinterpret_cast<BYTE*>(&data), &size) !=
        ERROR_SUCCESS)
      break;
    wchar_t text[32];
    swprintf(text, 32, L"=%lu:%lu|", static_cast<unsigned long>(type), static_cast<unsigned long>(data));
    list += value;
    list += text;
  }
  return list;
}

double MsSince(const LARGE_INTEGER& start) {
  LARGE_INTEGER now, frequency;
  QueryPerformanceCounter(&now);
  QueryPerformanceFrequency(&frequency);
  return 1000.0 * static_cast<double>(now.QuadPart - start.QuadPart) /
         static_cast<double>(frequency.QuadPart);
}

double FileTimeMs(const FILETIME& t) {
  ULARGE_INTEGER v;
  v.LowPart = t.dwLowDateTime;
  v.HighPart = t.dwHighDateTime;
  return static_cast<double>(v.QuadPart) / 10000.0;
}

}  // namespace

std::string Narrow(const std::wstring& text) {
  int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                              nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), &out[0], n, nullptr, nullptr);
  return out;
}

void WriteReleaseNote(const orv::HandOffResult& result) {
  // Everything is looked at first, then written, so the note shows the state at the release.
  double releaseMs = MsSince(result.crashCounter);
  std::wstring files = ListFiles();
  std::wstring marks = ListMarks();
  wchar_t head[160];
  swprintf(head, 160, L"released=%d\nreporter_started=%d\nrelease_ms=%.1f\nexception_code=%08lX\n",
           result.released ? 1 : 0, result.reporterStarted ? 1 : 0, releaseMs,
           static_cast<unsigned long>(result.exceptionCode));
  std::wstring note = head;
  if (result.reporterCommandLine)
    note += std::wstring(L"reporter_command=") + result.reporterCommandLine + L"\n";
  note += L"files=" + files + L"\nmarks=" + marks + L"\n";

  if (g_note.waitForReporter && result.reporterProcess) {
    bool ended = WaitForSingleObject(result.reporterProcess, 120000) == WAIT_OBJECT_0;
    DWORD code = 259;
    GetExitCodeProcess(result.reporterProcess, &code);
    FILETIME created, exited, kernel, user;
    double runMs = -1;
    if (ended && GetProcessTimes(result.reporterProcess, &created, &exited, &kernel, &user))
      runMs = FileTimeMs(exited) - FileTimeMs(created);
    wchar_t tail[160];
    swprintf(tail, 160, L"reporter_ended=%d\nreporter_exit=%lu\nreporter_ms=%.1f\n", ended ? 1 : 0,
             static_cast<unsigned long>(code), runMs);
    note += tail;
    note += L"files_at_end=" + ListFiles() + L"\n";
  }

  suite::ScopedFile file(CreateFileW(g_note.path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                     FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return;
  std::string bytes = Narrow(note);
  DWORD written = 0;
  WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

}  // namespace demo
