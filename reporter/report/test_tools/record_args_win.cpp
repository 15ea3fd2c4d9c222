// Stands in for the uploader in tests: installed as "Ulvane.exe", it writes the command line it
// received, exactly, as UTF-8 into kReceivedFile ("Ulvane.received.txt") beside itself, and ends
// with 0. RecordingUploader (common/testing/test_support_win.h) puts it in place.
#include <windows.h>

#include <string>

#include "common/testing/test_support_win.h"
#include "common/wformat.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR commandLine, int) {
  // The product's own start of the pending delivery is no hand-over of a crash.
  if (commandLine && std::wstring(commandLine) == L"/Pending") return 0;
  wchar_t self[MAX_PATH] = {};
  if (!GetModuleFileNameW(nullptr, self, MAX_PATH)) return 0;
  std::wstring folder = self;
  folder = folder.substr(0, folder.rfind(L'\\') + 1);
  // Appears whole or not at all: the reader polls for it.
  suite::testing::PublishFile(folder + suite::testing::kReceivedFile, suite::ToUtf8(GetCommandLineW()));
  return 0;
}
