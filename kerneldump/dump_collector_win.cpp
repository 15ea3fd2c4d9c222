// Drummet's run on Windows: the rules of dump_collector.h over the real registry and folders.
#include <windows.h>

#include "kerneldump/dump_collector_win.h"

#include "common/diag_failure_win.h"
#include "common/protocol/registry_names.h"
#include "common/scoped_handle_win.h"
#include "kerneldump/data_folder_win.h"
#include "kerneldump/dump_folder_win.h"
#include "kerneldump/registry_win.h"
#include "kerneldump/report_package_win.h"
#include "kerneldump/wow64_guard_win.h"

namespace kerneldump {
namespace {

const REGSAM kReadWrite = KEY_READ | KEY_WRITE;  // 0x2001F
const size_t kPathCapacity = MAX_PATH;
const size_t kLastDmpTimeCapacity = 64;

// Both keys close with the platform object when the run has not closed them already.
class WinDumpPlatform : public DumpPlatform {
 public:
  FileTime LogFolderCreationTime() override { return GetLogFolderCreationTime(); }

  bool OpenCrashControl() override { return OpenKey(protocol::kCrashControlKey, crashControl_); }
  std::wstring ReadMinidumpDir() override {
    std::wstring dir;
    ReadRegString(crashControl_.get(), protocol::kMinidumpDirValue, kPathCapacity, dir);
    return dir;
  }
  bool ExpandEnvironment(const std::wstring& text, std::wstring& expanded) override {
    wchar_t buffer[kPathCapacity] = {};
    DWORD n = ExpandEnvironmentStringsW(text.c_str(), buffer, kPathCapacity);
    if (n == 0) return suite::DiagFailed("ExpandEnvironmentStringsW");
    if (n > kPathCapacity) return false;
    expanded = buffer;
    return true;
  }
  void ReadCrashDumpEnabled(uint32_t& value) override {
    DWORD v = value;
    if (ReadRegDword(crashControl_.get(), protocol::kCrashDumpEnabledValue, v) == ERROR_SUCCESS) value = v;
  }
  void WriteCrashDumpEnabled(uint32_t value) override {
    WriteRegDword(crashControl_.get(), protocol::kCrashDumpEnabledValue, value);
  }
  void CloseCrashControl() override { crashControl_.Close(); }

  bool OpenUninstallKey() override { return OpenKey(protocol::kUninstallKey, uninstall_); }
  std::wstring ReadLastDmpTime() override {
    std::wstring text;
    ReadRegString(uninstall_.get(), protocol::kLastDmpTimeValue, kLastDmpTimeCapacity, text);
    return text;
  }
  void WriteLastDmpTime(const std::wstring& text) override {
    WriteRegString(uninstall_.get(), protocol::kLastDmpTimeValue, text);
  }
  void WritePassedOverDmpTime(const std::wstring& text) override {
    WriteRegString(uninstall_.get(), protocol::kPassedOverDmpTimeValue, text);
  }
  std::wstring ReadUnreadableDmp() override {
    std::wstring text;
    ReadRegString(uninstall_.get(), protocol::kUnreadableDmpValue, kLastDmpTimeCapacity, text);
    return text;
  }
  void WriteUnreadableDmp(const std::wstring& text) override {
    if (text.empty())
      RegDeleteValueW(uninstall_.get(), protocol::kUnreadableDmpValue);
    else
      WriteRegString(uninstall_.get(), protocol::kUnreadableDmpValue, text);
  }
  FileTime Now() override {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return ToFileTime(now);
  }
  void CloseUninstallKey() override { uninstall_.Close(); }

  bool IsExistingFilePath(const std::wstring& path) override { return kerneldump::IsExistingFilePath(path); }
  std::vector<FolderEntry> ListFolder(const std::wstring& dir) override { return ListFolderGuarded(dir); }
  ReportOutcome ReportDumpFile(const std::wstring& path) override {
    suite::DiagPhase phase("report_dump");
    return kerneldump::ReportDumpFile(path.c_str());
  }

 private:
  static bool OpenKey(const wchar_t* path, suite::ScopedRegKey& key) {
    const LONG rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, kReadWrite, key.receive());
    return rc == ERROR_SUCCESS || suite::DiagFailed("RegOpenKeyExW", static_cast<unsigned long>(rc));
  }
  suite::ScopedRegKey crashControl_;
  suite::ScopedRegKey uninstall_;
};

}  // namespace

void CollectAndReportDumps() {
  Wow64RedirectionGuard guard;
  WinDumpPlatform platform;
  RunDumpCollection(platform);
}

}  // namespace kerneldump
