// The product's start of the uploader's pending delivery.
#include <windows.h>

#include "product/demo/pending_uploads_win.h"

#include <string>

#include "common/folders_win.h"
#include "common/path.h"
#include "common/protocol/file_names.h"
#include "common/protocol/uploader_switches.h"

namespace demo {

bool StartPendingUploads() {
  const std::wstring uploader = suite::JoinPath(suite::ProductFolder(nullptr), protocol::kUploaderFileName);
  std::wstring commandLine = L"\"" + uploader + L"\" " + protocol::kSwitchPending;
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process = {};
  // No handles of the product go along, and the product does not wait for it.
  if (!CreateProcessW(uploader.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &process))
    return false;
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return true;
}

}  // namespace demo
