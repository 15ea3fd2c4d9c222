// Drummet's run on Windows: the rules of dump_collector.h over the real registry and folders.
#include "common/diag_log.h"
#include "common/protocol/registry_names.h"
#include "kerneldump/drummet_win.h"
#include "kerneldump/registry_win.h"

namespace kerneldump {
namespace {

const REGSAM kReadWrite = KEY_READ | KEY_WRITE;  // 0x2001F
const size_t kPathCapacity = MAX_PATH;
const size_t kLastDmpTimeCapacity = 64;

class WinDumpPlatform : public DumpPlatform {
 public:
  ~WinDumpPlatform() override {
    CloseCrashControl();
    CloseUninstallKey();
  }
  FileTime LogFolderCreationTime() override { return GetLogFolderCreationTime(); }

  bool OpenCrashControl() override {
    return RegOpenKeyExW(HKEY_LOCAL_MACHINE, kCrashControlKey, 0, kReadWrite, &crashControl_) ==
           ERROR_SUCCESS;
  }
  std::wstring ReadMinidumpDir() override {
    std::wstring dir;
    ReadRegString(crashControl_, protocol::kMinidumpDirValue, kPathCapacity, dir);
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
    if (ReadRegDword(crashControl_, protocol::kCrashDumpEnabledValue, v) == ERROR_SUCCESS) value = v;
  }
  void WriteCrashDumpEnabled(uint32_t value) override {
    WriteRegDword(crashControl_, protocol::kCrashDumpEnabledValue, value);
  }
  void CloseCrashControl() override { CloseKey(crashControl_); }

  bool OpenUninstallKey() override {
    return RegOpenKeyExW(HKEY_LOCAL_MACHINE, protocol::kUninstallKey, 0, kReadWrite, &uninstall_) ==
           ERROR_SUCCESS;
  }
  std::wstring ReadLastDmpTime() override {
    std::wstring text;
    ReadRegString(uninstall_, protocol::kLastDmpTimeValue, kLastDmpTimeCapacity, text);
    return text;
  }
  void WriteLastDmpTime(const std::wstring& text) override {
    WriteRegString(uninstall_, protocol::kLastDmpTimeValue, text);
  }
  void WritePassedOverDmpTime(const std::wstring& text) override {
    WriteRegString(uninstall_, protocol::kPassedOverDmpTimeValue, text);
  }
  void CloseUninstallKey() override { CloseKey(uninstall_); }

  bool IsExistingFilePath(const std::wstring& path) override { return kerneldump::IsExistingFilePath(path); }
  std::vector<FolderEntry> ListFolder(const std::wstring& dir) override { return ListFolderGuarded(dir); }
  int ReportDumpFile(const std::wstring& path) override {
    suite::DiagPhase phase("report_dump");
    return kerneldump::ReportDumpFile(path.c_str());
  }

 private:
  static void CloseKey(HKEY& key) {
    if (key) RegCloseKey(key);
    key = nullptr;
  }
  HKEY crashControl_ = nullptr;
  HKEY uninstall_ = nullptr;
};

}  // namespace

void CollectAndReportDumps() {
  Wow64RedirectionGuard guard;
  WinDumpPlatform platform;
  RunDumpCollection(platform);
}

}  // namespace kerneldump
