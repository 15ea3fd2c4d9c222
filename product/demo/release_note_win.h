// The demo's note of what existed at the moment Kelvor released it: files in the dump folder with
// their sizes, the registry marks of its version, the time since the crash, and (when asked) how
// Kelvor itself ended. Tests read the note instead of sleeping and guessing.
//
// Ownership: g_note is the demo's process-wide setting, set before the crash handler is installed;
// WriteReleaseNote reads the result during the callback only. A note that cannot be written is simply
// missing: the tests that read it then fail, which is what they are for.
#pragma once
#include <string>

#include "product/crashhandler/crash_handler_win.h"

namespace demo {

struct ReleaseNote {
  std::wstring path;             // where the note goes; empty = no note
  bool waitForReporter = false;  // also wait for Kelvor to end and note its exit code and run time
  std::wstring productVersion;
};
extern ReleaseNote g_note;

void WriteReleaseNote(const orv::HandOffResult& result);
std::string Narrow(const std::wstring& text);

}  // namespace demo
