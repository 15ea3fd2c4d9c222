// What the Windows test programs, scenario drivers and probes share: files and folders, the
// install folder and a scope that changes it, registry values, the recording uploader stand-in,
// reading Kelvor's report, starting a process and waiting for it within a bound, host paths as Wine
// shows them. Tests and test tools only (suite_testing_win).
//
// Contract: nothing here throws or asserts; a helper that cannot do its work returns its "nothing"
// value ("" for text, an empty list, false, an empty handle) and the test checks that result.
// Paths are Windows paths; a folder argument may end in a backslash or not. Handles handed out
// are owned by the caller through the scoped types of common/scoped_handle_win.h.
#pragma once
#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "common/scoped_handle_win.h"

namespace suite {
namespace testing {

// ---- Files and folders ----

bool Exists(const std::wstring& path);
// The size of a file, 0 when it is missing (or empty).
unsigned long FileSize(const std::wstring& path);
// The names of the plain files in `folder` that match `pattern` (no sub-folders), in the order the
// file system lists them.
std::vector<std::wstring> ListFiles(std::wstring folder, const std::wstring& pattern = L"*");
// Deletes the plain files in `folder` that match `pattern`.
void DeleteFiles(const std::wstring& folder, const std::wstring& pattern = L"*");
// Deletes a folder with everything below it; true when it is gone afterwards.
bool RemoveFolder(const std::wstring& folder);
// The whole file, or "" when it cannot be read; others may keep it open for writing meanwhile.
std::string ReadFileBytes(const std::wstring& path);
// A UTF-16LE text file (a byte-order mark kept as U+FEFF) as a wide string; "" when unreadable.
std::wstring ReadUtf16File(const std::wstring& path);
// Creates or replaces the file with exactly these bytes; false when it could not be written whole.
bool WriteFileBytes(const std::wstring& path, const void* data, size_t size);
inline bool WriteFileBytes(const std::wstring& path, const std::string& bytes) {
  return WriteFileBytes(path, bytes.data(), bytes.size());
}
// Writes "<path>.part" and renames it to `path`: a reader polling for the file sees it whole or not
// at all. False when either step failed.
bool PublishFile(const std::wstring& path, const std::string& bytes);
// Appends bytes to a file, creating it when missing.
bool AppendFileBytes(const std::wstring& path, const std::string& bytes);
// A file of `bytes` times 'x' (an empty one by default).
inline bool Touch(const std::wstring& path, unsigned long bytes = 0) {
  return WriteFileBytes(path, std::string(bytes, 'x'));
}
// The path of `name` in the temporary folder (nothing is created).
std::wstring TempPath(const std::wstring& name);

// A folder of its own in the temporary folder ("<name>_<process id>"), made empty at the start and
// removed with its contents at the end of the scope.
class TempFolder {
 public:
  explicit TempFolder(const std::wstring& name);
  ~TempFolder();
  // The folder, without a trailing backslash.
  const std::wstring& path() const { return path_; }
  // A path inside the folder.
  std::wstring operator/(const std::wstring& name) const { return path_ + L"\\" + name; }

 private:
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  std::wstring path_;
};

// A host path from the build ("/work/...") as Wine shows it: the host's root is drive Z:.
std::wstring HostPath(const char* path);

// ---- Registry ----
// `view` is 0 (this program's own view) or KEY_WOW64_32KEY / KEY_WOW64_64KEY.

// A REG_DWORD value; false when the key or value is missing. `type` receives the stored type.
bool ReadRegistryDword(HKEY root, const std::wstring& key, const std::wstring& name, DWORD* data,
                       DWORD* type = nullptr, REGSAM view = 0);
// A string value (REG_SZ or REG_EXPAND_SZ, not expanded); false when missing or of another type.
bool ReadRegistryString(HKEY root, const std::wstring& key, const std::wstring& name, std::wstring* text,
                        REGSAM view = 0);
// Writes a value, creating the key when needed; false when the key cannot be opened or written.
bool WriteRegistryDword(HKEY root, const std::wstring& key, const std::wstring& name, DWORD data,
                        REGSAM view = 0);
bool WriteRegistryString(HKEY root, const std::wstring& key, const std::wstring& name,
                         const std::wstring& text, DWORD type = REG_SZ, REGSAM view = 0);
// Deletes one value; true when it is gone afterwards (also when it never was there).
bool DeleteRegistryValue(HKEY root, const std::wstring& key, const std::wstring& name, REGSAM view = 0);
// The names of a key's values, in the registry's order; empty when the key is missing.
std::vector<std::wstring> RegistryValueNames(HKEY root, const std::wstring& key);

// ---- The install folder ----

// The product's install folder from the uninstall key, with a trailing backslash; "" when not installed.
std::wstring InstallFolder();

// The uninstall key's "InstallDir" (32-bit view, where the programs read it) for the length of a
// scope: the value that was there, or its absence, is put back at the end.
class InstallDirScope {
 public:
  // Remembers the value only; Set() changes it.
  InstallDirScope();
  // Remembers the value and sets it to `value` (nullptr removes the value).
  explicit InstallDirScope(const wchar_t* value);
  ~InstallDirScope();
  // Sets (or with nullptr removes) the value in the given view; false when the key cannot be made.
  static bool Set(const wchar_t* value, REGSAM view = KEY_WOW64_32KEY);

 private:
  InstallDirScope(const InstallDirScope&) = delete;
  InstallDirScope& operator=(const InstallDirScope&) = delete;
  bool had_ = false;
  std::wstring saved_;
};

// ---- The recording uploader stand-in ----
// reporter/report/test_tools/record_args_win.cpp: installed as "Ulvane.exe", it writes the command
// line it was started with into this file beside itself.
constexpr wchar_t kReceivedFile[] = L"Ulvane.received.txt";

// The command line the stand-in in `folder` recorded, its record removed so that the next start
// records anew; "" when none appears within `timeoutMs` (0: look once).
std::wstring TakeReceived(const std::wstring& folder, DWORD timeoutMs = 0);

// The stand-in (`recorder`, a Windows path) as the uploader "Ulvane.exe" of `folder` for the length
// of a scope, with no record yet: an uploader already there is set aside and put back at the end,
// when the stand-in and its record go.
class RecordingUploader {
 public:
  RecordingUploader(const std::wstring& folder, const std::wstring& recorder);
  ~RecordingUploader();
  // Whether the stand-in is in place.
  bool installed() const { return installed_; }
  // TakeReceived() of its folder.
  std::wstring Take(DWORD timeoutMs = 0) const { return TakeReceived(folder_, timeoutMs); }

 private:
  RecordingUploader(const RecordingUploader&) = delete;
  RecordingUploader& operator=(const RecordingUploader&) = delete;
  std::wstring folder_;
  bool installed_ = false, setAside_ = false;
};

// ---- Kelvor's report text ----

// The text between `before` and `after` in a report (to the end when `after` is missing);
// "<missing before>" when `before` is not there.
std::wstring Field(const std::wstring& text, const std::wstring& before, const std::wstring& after);

// One line of the report's stack: "0x<pc>  0x<offset in its module>  <module's short name>".
struct StackLine {
  unsigned long long pc = 0, offset = 0;
  std::wstring module;
};
// The lines of the report's "Stack:" section, up to the blank line that ends it; empty when the
// report has none.
std::vector<StackLine> ReportStack(const std::wstring& report);

// ---- Processes ----

constexpr DWORD kNotStarted = 0xFFFFFFFF;

// Starts a command line (the caller quotes the program); an empty handle when it could not start.
// `processId` receives the new process's id.
ScopedKernelObject StartProcess(const std::wstring& commandLine, DWORD* processId = nullptr,
                                const wchar_t* application = nullptr);
// Waits up to `timeoutMs` for a process to end; its exit code, STILL_ACTIVE when it still runs
// (it is left running), kNotStarted for an empty handle.
DWORD WaitForExit(HANDLE process, DWORD timeoutMs);
// StartProcess and WaitForExit in one: the exit code, kNotStarted when it could not start.
DWORD RunAndWait(const std::wstring& commandLine, DWORD timeoutMs = 180000);
// How many running processes have one of these file names (case-insensitive).
int CountProcesses(const std::vector<std::wstring>& names);
// Ends every running process with one of these file names; how many it ended.
int EndProcesses(const std::vector<std::wstring>& names);
// The id of a running process with this file name started by `parentId`, 0 when there is none.
DWORD FindChildProcess(DWORD parentId, const std::wstring& name);
// Asks `done` every `stepMs` until it holds or `timeoutMs` has passed; whether it held.
bool WaitUntil(const std::function<bool()>& done, DWORD timeoutMs, DWORD stepMs = 50);

}  // namespace testing
}  // namespace suite
