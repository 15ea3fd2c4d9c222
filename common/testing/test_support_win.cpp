#include "common/testing/test_support_win.h"

// windows.h first: tlhelp32.h builds on its types.
#include <tlhelp32.h>

#include "common/folders_win.h"
#include "common/wformat.h"

namespace suite {
namespace testing {
namespace {

std::wstring WithBackslash(std::wstring folder) {
  if (!folder.empty() && folder.back() != L'\\') folder += L'\\';
  return folder;
}

ScopedRegKey OpenKey(HKEY root, const std::wstring& key, REGSAM access, REGSAM view) {
  ScopedRegKey opened;
  RegOpenKeyExW(root, key.c_str(), 0, access | view, opened.receive());
  return opened;
}

ScopedRegKey CreateKey(HKEY root, const std::wstring& key, REGSAM view) {
  ScopedRegKey created;
  RegCreateKeyExW(root, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE | KEY_QUERY_VALUE | view, nullptr,
                  created.receive(), nullptr);
  return created;
}

}  // namespace

bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

unsigned long FileSize(const std::wstring& path) {
  WIN32_FILE_ATTRIBUTE_DATA data = {};
  if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return 0;
  return data.nFileSizeLow;
}

std::vector<std::wstring> ListFiles(std::wstring folder, const std::wstring& pattern) {
  folder = WithBackslash(folder);
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW entry;
  ScopedFind find(FindFirstFileW((folder + pattern).c_str(), &entry));
  if (!find) return names;
  do
    if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) names.push_back(entry.cFileName);
  while (FindNextFileW(find.get(), &entry));
  return names;
}

void DeleteFiles(const std::wstring& folder, const std::wstring& pattern) {
  const std::wstring base = WithBackslash(folder);
  for (const auto& name : ListFiles(base, pattern)) DeleteFileW((base + name).c_str());
}

bool RemoveFolder(const std::wstring& folder) {
  const std::wstring base = WithBackslash(folder);
  WIN32_FIND_DATAW entry;
  ScopedFind find(FindFirstFileW((base + L"*").c_str(), &entry));
  if (find) {
    do {
      const std::wstring name = entry.cFileName;
      if (name == L"." || name == L"..") continue;
      if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        RemoveFolder(base + name);
      else
        DeleteFileW((base + name).c_str());
    } while (FindNextFileW(find.get(), &entry));
  }
  find.Close();
  RemoveDirectoryW(folder.c_str());
  return !Exists(folder);
}

std::string ReadFileBytes(const std::wstring& path) {
  ScopedFile file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr));
  if (!file) return "";
  std::string data(GetFileSize(file.get(), nullptr), '\0');
  DWORD read = 0;
  if (!data.empty()) ReadFile(file.get(), &data[0], static_cast<DWORD>(data.size()), &read, nullptr);
  data.resize(read);
  return data;
}

std::wstring ReadUtf16File(const std::wstring& path) {
  const std::string bytes = ReadFileBytes(path);
  std::u16string units(bytes.size() / 2, u'\0');
  for (size_t i = 0; i < units.size(); ++i)
    units[i] = static_cast<char16_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                     static_cast<unsigned char>(bytes[2 * i + 1]) << 8);
  return FromUtf16(units);
}

bool WriteFileBytes(const std::wstring& path, const void* data, size_t size) {
  ScopedFile file(
      CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return false;
  DWORD written = 0;
  return size == 0 ||
         (WriteFile(file.get(), data, static_cast<DWORD>(size), &written, nullptr) && written == size);
}

bool PublishFile(const std::wstring& path, const std::string& bytes) {
  const std::wstring partial = path + L".part";
  return WriteFileBytes(partial, bytes) &&
         MoveFileExW(partial.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING) != FALSE;
}

bool AppendFileBytes(const std::wstring& path, const std::string& bytes) {
  ScopedFile file(CreateFileW(path.c_str(), FILE_APPEND_DATA, 0, nullptr, OPEN_ALWAYS, 0, nullptr));
  DWORD written = 0;
  return file && WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
         written == bytes.size();
}

std::wstring TempPath(const std::wstring& name) {
  wchar_t base[MAX_PATH + 1] = {};
  GetTempPathW(MAX_PATH, base);
  return WithBackslash(base) + name;
}

TempFolder::TempFolder(const std::wstring& name)
    : path_(TempPath(name + L"_" + std::to_wstring(GetCurrentProcessId()))) {
  RemoveFolder(path_);
  CreateDirectoryW(path_.c_str(), nullptr);
}

TempFolder::~TempFolder() { RemoveFolder(path_); }

std::wstring HostPath(const char* path) {
  std::wstring out = FromUtf8(path);
  if (!out.empty() && out[0] == L'/') out = L"Z:" + out;
  for (wchar_t& c : out)
    if (c == L'/') c = L'\\';
  return out;
}

bool ReadRegistryDword(HKEY root, const std::wstring& key, const std::wstring& name, DWORD* data, DWORD* type,
                       REGSAM view) {
  ScopedRegKey opened = OpenKey(root, key, KEY_QUERY_VALUE, view);
  if (!opened) return false;
  DWORD t = 0, d = 0, size = sizeof(d);
  if (RegQueryValueExW(opened.get(), name.c_str(), nullptr, &t, reinterpret_cast<BYTE*>(&d), &size) !=
      ERROR_SUCCESS)
    return false;
  if (data) *data = d;
  if (type) *type = t;
  return true;
}

bool ReadRegistryString(HKEY root, const std::wstring& key, const std::wstring& name, std::wstring* text,
                        REGSAM view) {
  ScopedRegKey opened = OpenKey(root, key, KEY_QUERY_VALUE, view);
  DWORD type = 0, size = 0;
  if (!opened ||
      RegQueryValueExW(opened.get(), name.c_str(), nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
      (type != REG_SZ && type != REG_EXPAND_SZ))
    return false;
  std::wstring value(size / sizeof(wchar_t) + 1, L'\0');
  size = static_cast<DWORD>(value.size() * sizeof(wchar_t));
  if (RegQueryValueExW(opened.get(), name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(&value[0]),
                       &size) != ERROR_SUCCESS)
    return false;
  value.resize(wcsnlen(value.c_str(), size / sizeof(wchar_t)));
  if (text) *text = value;
  return true;
}

bool WriteRegistryDword(HKEY root, const std::wstring& key, const std::wstring& name, DWORD data,
                        REGSAM view) {
  ScopedRegKey created = CreateKey(root, key, view);
  return created && RegSetValueExW(created.get(), name.c_str(), 0, REG_DWORD,
                                   reinterpret_cast<const BYTE*>(&data), sizeof(data)) == ERROR_SUCCESS;
}

bool WriteRegistryString(HKEY root, const std::wstring& key, const std::wstring& name,
                         const std::wstring& text, DWORD type, REGSAM view) {
  ScopedRegKey created = CreateKey(root, key, view);
  return created &&
         RegSetValueExW(created.get(), name.c_str(), 0, type, reinterpret_cast<const BYTE*>(text.c_str()),
                        static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
}

bool DeleteRegistryValue(HKEY root, const std::wstring& key, const std::wstring& name, REGSAM view) {
  ScopedRegKey opened = OpenKey(root, key, KEY_SET_VALUE, view);
  if (!opened) return true;
  LONG rc = RegDeleteValueW(opened.get(), name.c_str());
  return rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND;
}

std::vector<std::wstring> RegistryValueNames(HKEY root, const std::wstring& key) {
  std::vector<std::wstring> names;
  ScopedRegKey opened = OpenKey(root, key, KEY_QUERY_VALUE, 0);
  if (!opened) return names;
  wchar_t name[512];
  for (DWORD i = 0;; ++i) {
    DWORD length = 512;
    if (RegEnumValueW(opened.get(), i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
      break;
    names.push_back(name);
  }
  return names;
}

std::wstring InstallFolder() {
  std::wstring folder;
  if (!GetInstallDir(folder)) return L"";
  return WithBackslash(folder);
}

InstallDirScope::InstallDirScope() {
  had_ = ReadRegistryString(HKEY_LOCAL_MACHINE, protocol::kUninstallKey, protocol::kInstallDirValue, &saved_,
                            KEY_WOW64_32KEY);
}

InstallDirScope::InstallDirScope(const wchar_t* value) : InstallDirScope() { Set(value); }

InstallDirScope::~InstallDirScope() { Set(had_ ? saved_.c_str() : nullptr); }

bool InstallDirScope::Set(const wchar_t* value, REGSAM view) {
  if (value)
    return WriteRegistryString(HKEY_LOCAL_MACHINE, protocol::kUninstallKey, protocol::kInstallDirValue, value,
                               REG_SZ, view);
  ScopedRegKey created = CreateKey(HKEY_LOCAL_MACHINE, protocol::kUninstallKey, view);
  if (!created) return false;
  RegDeleteValueW(created.get(), protocol::kInstallDirValue);
  return true;
}

std::wstring TakeReceived(const std::wstring& folder, DWORD timeoutMs) {
  const std::wstring path = WithBackslash(folder) + kReceivedFile;
  // The stand-in publishes its record whole (PublishFile): once it is there, it is complete.
  if (!WaitUntil([&] { return Exists(path); }, timeoutMs)) return L"";
  const std::string bytes = ReadFileBytes(path);
  DeleteFileW(path.c_str());
  return FromUtf8(bytes);
}

RecordingUploader::RecordingUploader(const std::wstring& folder, const std::wstring& recorder)
    : folder_(WithBackslash(folder)) {
  const std::wstring uploader = folder_ + L"Ulvane.exe";
  setAside_ = Exists(uploader) &&
              MoveFileExW(uploader.c_str(), (uploader + L".saved").c_str(), MOVEFILE_REPLACE_EXISTING);
  installed_ = CopyFileW(recorder.c_str(), uploader.c_str(), FALSE) != FALSE;
  DeleteFileW((folder_ + kReceivedFile).c_str());
}

RecordingUploader::~RecordingUploader() {
  const std::wstring uploader = folder_ + L"Ulvane.exe";
  DeleteFileW(uploader.c_str());
  DeleteFileW((folder_ + kReceivedFile).c_str());
  if (setAside_) MoveFileExW((uploader + L".saved").c_str(), uploader.c_str(), MOVEFILE_REPLACE_EXISTING);
}

std::wstring Field(const std::wstring& text, const std::wstring& before, const std::wstring& after) {
  size_t b = text.find(before);
  if (b == std::wstring::npos) return L"<missing " + before + L">";
  b += before.size();
  size_t e = text.find(after, b);
  return text.substr(b, e == std::wstring::npos ? std::wstring::npos : e - b);
}

std::vector<StackLine> ReportStack(const std::wstring& report) {
  std::vector<StackLine> lines;
  const std::wstring heading = L"\r\nStack:\r\n";
  size_t at = report.find(heading);
  if (at == std::wstring::npos) return lines;
  at += heading.size();
  for (size_t end; (end = report.find(L"\r\n", at)) != std::wstring::npos && end > at; at = end + 2) {
    const std::wstring line = report.substr(at, end - at);
    StackLine s;
    s.pc = wcstoull(line.c_str() + 2, nullptr, 16);
    const size_t offset = line.find(L"  0x");
    if (offset != std::wstring::npos) s.offset = wcstoull(line.c_str() + offset + 4, nullptr, 16);
    const size_t module = offset == std::wstring::npos ? offset : line.find(L"  ", offset + 4);
    if (module != std::wstring::npos) s.module = line.substr(module + 2);
    lines.push_back(s);
  }
  return lines;
}

ScopedKernelObject StartProcess(const std::wstring& commandLine, DWORD* processId,
                                const wchar_t* application) {
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info = {};
  std::vector<wchar_t> line(commandLine.begin(), commandLine.end());
  line.push_back(L'\0');
  if (!CreateProcessW(application, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &info))
    return ScopedKernelObject();
  ScopedKernelObject thread(info.hThread);
  if (processId) *processId = info.dwProcessId;
  return ScopedKernelObject(info.hProcess);
}

DWORD WaitForExit(HANDLE process, DWORD timeoutMs) {
  if (!handle_traits::IsKernelHandle(process)) return kNotStarted;
  WaitForSingleObject(process, timeoutMs);
  DWORD code = kNotStarted;
  GetExitCodeProcess(process, &code);
  return code;
}

DWORD RunAndWait(const std::wstring& commandLine, DWORD timeoutMs) {
  ScopedKernelObject process = StartProcess(commandLine);
  return WaitForExit(process.get(), timeoutMs);
}

namespace {
// Calls `visit` with each running process until it returns true.
void ForEachProcess(const std::function<bool(const PROCESSENTRY32W&)>& visit) {
  ScopedKernelObject snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot) return;
  PROCESSENTRY32W entry = {};
  entry.dwSize = sizeof(entry);
  for (BOOL ok = Process32FirstW(snapshot.get(), &entry); ok; ok = Process32NextW(snapshot.get(), &entry))
    if (visit(entry)) return;
}
}  // namespace

int CountProcesses(const std::vector<std::wstring>& names) {
  int count = 0;
  ForEachProcess([&](const PROCESSENTRY32W& entry) {
    for (const auto& name : names)
      if (lstrcmpiW(entry.szExeFile, name.c_str()) == 0) ++count;
    return false;
  });
  return count;
}

int EndProcesses(const std::vector<std::wstring>& names) {
  int ended = 0;
  ForEachProcess([&](const PROCESSENTRY32W& entry) {
    for (const auto& name : names) {
      if (lstrcmpiW(entry.szExeFile, name.c_str()) != 0) continue;
      ScopedKernelObject process(OpenProcess(PROCESS_TERMINATE, FALSE, entry.th32ProcessID));
      if (process && TerminateProcess(process.get(), 1)) ++ended;
    }
    return false;
  });
  return ended;
}

DWORD FindChildProcess(DWORD parentId, const std::wstring& name) {
  DWORD found = 0;
  ForEachProcess([&](const PROCESSENTRY32W& entry) {
    if (entry.th32ParentProcessID == parentId && lstrcmpiW(entry.szExeFile, name.c_str()) == 0)
      found = entry.th32ProcessID;
    return found != 0;
  });
  return found;
}

bool WaitUntil(const std::function<bool()>& done, DWORD timeoutMs, DWORD stepMs) {
  for (DWORD start = GetTickCount();; Sleep(stepMs)) {
    if (done()) return true;
    if (GetTickCount() - start > timeoutMs) return done();
  }
}

}  // namespace testing
}  // namespace suite
