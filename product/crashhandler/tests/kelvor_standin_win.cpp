// Stands in for Kelvor where the crash handler is watched on its own: started by the crashed demo
// with "/BugInfo:", it writes what it received into the file named by KELVOR_STANDIN_OUT (its
// command line, whether the release event is valid in it, whether the demo's canary handle was
// inherited too) and then does what KELVOR_STANDIN says: "release <ms>" signals the event after
// <ms>, "die <ms>" ends after <ms> without releasing, "hang" never ends by itself.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "common/testing/test_support_win.h"
#include "common/wformat.h"

namespace {

std::wstring Environment(const wchar_t* name) {
  wchar_t value[1024] = {};
  DWORD n = GetEnvironmentVariableW(name, value, 1024);
  return n > 0 && n < 1024 ? value : L"";
}

HANDLE HandleValue(unsigned long value) { return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(value)); }

// The release event's handle value: the fourth field after "/BugInfo:".
HANDLE ReleaseEvent(const std::wstring& commandLine) {
  size_t at = commandLine.find(L"/BugInfo:");
  if (at == std::wstring::npos) return nullptr;
  unsigned long address = 0, pid = 0, tid = 0, event = 0;
  if (swscanf(commandLine.c_str() + at + 9, L"%lx,%lu,%lu,%lu", &address, &pid, &tid, &event) != 4)
    return nullptr;
  return HandleValue(event);
}

// "inherited" only when the value names the demo's own event: setting it through the value
// must be seen through the name.
std::wstring CanaryState() {
  std::wstring canary = Environment(L"ORV_CANARY");
  if (canary.empty()) return L"none";
  size_t space = canary.find(L' ');
  if (space == std::wstring::npos) return L"none";
  HANDLE value = HandleValue(wcstoul(canary.c_str(), nullptr, 10));
  DWORD flags = 0;
  if (!GetHandleInformation(value, &flags) || !SetEvent(value)) return L"absent";
  suite::ScopedKernelObject named(OpenEventW(SYNCHRONIZE, FALSE, canary.substr(space + 1).c_str()));
  bool same = named && WaitForSingleObject(named.get(), 0) == WAIT_OBJECT_0;
  return same ? L"inherited" : L"absent";
}

void Record(const std::wstring& text) {
  std::wstring target = Environment(L"KELVOR_STANDIN_OUT");
  if (target.empty()) return;
  // Appears whole or not at all: the reader polls for it.
  suite::testing::PublishFile(target, suite::ToUtf8(text));
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) {
  const std::wstring commandLine = GetCommandLineW();
  HANDLE release = ReleaseEvent(commandLine);
  bool eventValid = release && WaitForSingleObject(release, 0) != WAIT_FAILED;
  Record(L"command=" + commandLine + L"\nevent_valid=" + (eventValid ? L"1" : L"0") + L"\ncanary=" +
         CanaryState() + L"\n");

  std::wstring action = Environment(L"KELVOR_STANDIN");
  DWORD ms = 0;
  size_t space = action.find(L' ');
  if (space != std::wstring::npos) ms = wcstoul(action.c_str() + space + 1, nullptr, 10);
  if (action.compare(0, 4, L"hang") == 0) Sleep(INFINITE);
  Sleep(ms);
  if (action.compare(0, 7, L"release") == 0 && eventValid) SetEvent(release);
  return 0;
}
