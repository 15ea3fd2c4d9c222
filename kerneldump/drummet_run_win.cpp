// Drummet's run on Windows: the rules of dump_collector.h over the real registry and folders.
#include "common/diag_log.h"
#include "common/folders_win.h"
#include "common/protocol/registry_names.h"
#include "common/scoped_handle_win.h"
#include "kerneldump/drummet_win.h"
#include "kerneldump/registry_win.h"

namespace kerneldump {
namespace {

const REGSAM kReadWrite = KEY_READ | KEY_WRITE;  // 0x2001F
const size_t kPathCapacity = MAX_PATH;
const size_t kLastDmpTimeCapacity = 64;

// Both keys close with the platform object when the run has not closed them already.
class WinDumpPlatform : public DumpPlatform {
 public:
  FileTime LogFolderCreationTime() override { return GetLogFolderCreationTime(); }

  bool OpenCrashControl() override {
    return RegOpenKeyExW(HKEY_LOCAL_MACHINE, kCrashControlKey, 0, kReadWrite, crashControl_.receive()) ==
           ERROR_SUCCESS;
  }
  std::wstring ReadMinidumpDir() override {
    std::wstring dir;
    ReadRegString(crashControl_.get(), protocol::kMinidumpDirValue, kPathCapacity, dir);
    return dir;
  }
  bool ExpandEnvironment(const std::wstring& text, std::wstring& expanded) override {
    wchar_t buffer[kPathCapacity] = {};
    DWORD n = ExpandEnvironmentStringsW(text.c_str(), buffer, kPathCapacity);
    if (n == 0 || n > kPathCapacity) return false;
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

  bool OpenUninstallKey() override {
    return RegOpenKeyExW(HKEY_LOCAL_MACHINE, protocol::kUninstallKey, 0, kReadWrite, uninstall_.receive()) ==
           ERROR_SUCCESS;
  }
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
    return (FileTime(now.dwHighDateTime) << 32) | now.dwLowDateTime;
  }
  void CloseUninstallKey() override { uninstall_.Close(); }

  bool IsExistingFilePath(const std::wstring& path) override { return kerneldump::IsExistingFilePath(path); }
  std::vector<FolderEntry> ListFolder(const std::wstring& dir) override { return ListFolderGuarded(dir); }
  int ReportDumpFile(const std::wstring& path) override {
    suite::DiagPhase phase("report_dump");
    return kerneldump::ReportDumpFile(path.c_str());
  }

 private:
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
