// The diagnostic log's Windows side: the setting, this process's file, the clock.
#include <windows.h>

#include <string>
#include <utility>

#include "common/diag_log.h"
#include "common/path.h"
#include "common/scoped_handle_win.h"

namespace suite {

namespace {

// Set once by DiagInit on the main thread before any other thread of ours runs; read-only after.
// Deliberately not an owner that closes at exit: a thread of a loaded library may still log while
// the process ends, and a closed handle's value may by then name another object.
HANDLE g_file = INVALID_HANDLE_VALUE;

std::wstring ConfiguredFolder() {
  wchar_t buffer[MAX_PATH + 1] = {};
  DWORD n = GetEnvironmentVariableW(protocol::kDiagLogEnvironment, buffer, MAX_PATH);
  if (n > 0 && n < MAX_PATH) return buffer;
  ScopedRegKey key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, protocol::kDiagLogKey, 0, KEY_QUERY_VALUE, key.receive()) !=
      ERROR_SUCCESS)
    return std::wstring();
  DWORD type = 0, bytes = sizeof(buffer) - sizeof(wchar_t);
  LONG rc = RegQueryValueExW(key.get(), protocol::kDiagLogValue, nullptr, &type,
                             reinterpret_cast<BYTE*>(buffer), &bytes);
  if (rc != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ)) return std::wstring();
  buffer[bytes / sizeof(wchar_t)] = 0;
  return buffer;
}

void WriteRecord(DiagKind kind, const char* name, uint64_t timeUs, uint64_t value) {
  if (g_file == INVALID_HANDLE_VALUE) return;
  DWORD saved = GetLastError();
  DiagRecord record;
  record.kind = kind;
  record.timeUs = timeUs;
  record.threadId = GetCurrentThreadId();
  record.name = name ? name : "";
  record.value = value;
  std::string line = FormatDiagLine(record);
  DWORD written = 0;
  // One write per line on an append handle: lines of the two threads never interleave.
  WriteFile(g_file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
  SetLastError(saved);
}

}  // namespace

void DiagInit(const wchar_t* programName) {
  // A second start (tests make one) closes the file of the first.
  ScopedFile(std::exchange(g_file, INVALID_HANDLE_VALUE)).Close();
  std::wstring folder = ConfiguredFolder();
  if (folder.empty()) return;  // the normal case: no log
  CreateDirectoryW(folder.c_str(), nullptr);
  std::wstring path =
      JoinPath(folder, DiagLogFileName(programName ? programName : L"", GetCurrentProcessId()));
  g_file = CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}

bool DiagEnabled() { return g_file != INVALID_HANDLE_VALUE; }

uint64_t DiagNowUs() {
  LARGE_INTEGER now, frequency;
  QueryPerformanceCounter(&now);
  QueryPerformanceFrequency(&frequency);
  return DiagTicksToUs(static_cast<uint64_t>(now.QuadPart), static_cast<uint64_t>(frequency.QuadPart));
}

void DiagFailure(const char* call, unsigned long error) {
  if (g_file == INVALID_HANDLE_VALUE) return;
  WriteRecord(DiagKind::Failure, call, DiagNowUs(), error);
}

DiagPhase::DiagPhase(const char* name) : name_(name), startUs_(0) {
  if (g_file == INVALID_HANDLE_VALUE) return;
  startUs_ = DiagNowUs();
  WriteRecord(DiagKind::Begin, name_, startUs_, 0);
}

DiagPhase::~DiagPhase() {
  if (g_file == INVALID_HANDLE_VALUE || startUs_ == 0) return;
  uint64_t end = DiagNowUs();
  WriteRecord(DiagKind::End, name_, end, end - startUs_);
}

}  // namespace suite
