// Helpers of the Windows scenario drivers that crash the installed demo product under Wine and
// look at what is left: the install folder, files, the registry mark, running processes and the
// demo's release note (product/demo/release_note_win.h).
#pragma once
#include <windows.h>
// windows.h first: tlhelp32.h builds on its types.
#include <tlhelp32.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace scenario {

constexpr wchar_t kUninstall[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Vemko Antivirus";
constexpr wchar_t kMarkKey[] = L"software\\Vemko Security\\Antivirus\\Bug\\";

inline std::string Narrow(const std::wstring& w) {
  int n =
      WideCharToMultiByte(CP_UTF8, 0, w.c_str(), static_cast<int>(w.size()), nullptr, 0, nullptr, nullptr);
  std::string s(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, w.c_str(), static_cast<int>(w.size()), &s[0], n, nullptr, nullptr);
  return s;
}

inline std::wstring InstallFolder() {
  wchar_t buffer[MAX_PATH + 1] = {};
  DWORD bytes = sizeof(buffer) - 2;
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kUninstall, 0, KEY_READ, &key) != ERROR_SUCCESS) return L"";
  RegQueryValueExW(key, L"InstallDir", nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &bytes);
  RegCloseKey(key);
  std::wstring folder = buffer;
  if (!folder.empty() && folder.back() != L'\\') folder += L'\\';
  return folder;
}

inline bool Exists(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

inline void Touch(const std::wstring& path, DWORD bytes = 0) {
  HANDLE h =
      CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  std::string data(bytes, 'x');
  DWORD written = 0;
  if (bytes) WriteFile(h, data.data(), bytes, &written, nullptr);
  CloseHandle(h);
}

inline std::vector<std::wstring> ListFolder(const std::wstring& folder) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW e;
  HANDLE f = FindFirstFileW((folder + L"*").c_str(), &e);
  if (f == INVALID_HANDLE_VALUE) return names;
  do
    if (!(e.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) names.push_back(e.cFileName);
  while (FindNextFileW(f, &e));
  FindClose(f);
  return names;
}

inline void ClearFolder(const std::wstring& folder) {
  for (const auto& name : ListFolder(folder)) DeleteFileW((folder + name).c_str());
}

inline std::string ReadText(const std::wstring& path) {
  HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return "";
  std::string text(GetFileSize(h, nullptr), '\0');
  DWORD read = 0;
  if (!text.empty()) ReadFile(h, &text[0], static_cast<DWORD>(text.size()), &read, nullptr);
  CloseHandle(h);
  return text;
}

// The demo's note: key=value lines; "files" as {name: size}, "marks" as {name: "type:data"}.
struct Note {
  std::map<std::string, std::string> values;
  std::map<std::string, unsigned long> files, filesAtEnd;
  std::map<std::string, std::string> marks;
  bool Has(const std::string& k) const { return values.count(k) != 0; }
  std::string Get(const std::string& k) const { return Has(k) ? values.at(k) : ""; }
};

inline std::map<std::string, std::string> SplitList(const std::string& list) {
  std::map<std::string, std::string> out;
  size_t start = 0;
  while (start < list.size()) {
    size_t bar = list.find('|', start);
    if (bar == std::string::npos) bar = list.size();
    std::string item = list.substr(start, bar - start);
    size_t sep = item.find_last_of(":=");
    if (!item.empty()) out[item.substr(0, sep)] = sep == std::string::npos ? "" : item.substr(sep + 1);
    start = bar + 1;
  }
  return out;
}

inline Note ParseNote(const std::string& text) {
  Note note;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    size_t eq = line.find('=');
    if (eq != std::string::npos) note.values[line.substr(0, eq)] = line.substr(eq + 1);
    start = end + 1;
  }
  for (auto& kv : SplitList(note.Get("files"))) note.files[kv.first] = std::stoul(kv.second);
  for (auto& kv : SplitList(note.Get("files_at_end"))) note.filesAtEnd[kv.first] = std::stoul(kv.second);
  // Marks are "name=type:data": split at the last '=' only.
  std::string marks = note.Get("marks");
  size_t s = 0;
  while (s < marks.size()) {
    size_t bar = marks.find('|', s);
    if (bar == std::string::npos) bar = marks.size();
    std::string item = marks.substr(s, bar - s);
    size_t eq = item.rfind('=');
    if (eq != std::string::npos) note.marks[item.substr(0, eq)] = item.substr(eq + 1);
    s = bar + 1;
  }
  return note;
}

inline int CountProcesses(const std::vector<std::wstring>& names) {
  HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snap == INVALID_HANDLE_VALUE) return 0;
  PROCESSENTRY32W e;
  e.dwSize = sizeof(e);
  int count = 0;
  for (BOOL ok = Process32FirstW(snap, &e); ok; ok = Process32NextW(snap, &e))
    for (const auto& n : names)
      if (lstrcmpiW(e.szExeFile, n.c_str()) == 0) ++count;
  CloseHandle(snap);
  return count;
}

// Waits until no demo product and no Kelvor runs any more: then everything a run does is done.
// A report window that Kelvor shows is closed untouched, as a user closing it at once would.
inline bool WaitUntilAllEnded(DWORD timeoutMs = 180000,
                              const std::vector<std::wstring>& names = {L"Orv.exe", L"Kelvor.exe"}) {
  DWORD start = GetTickCount();
  while (CountProcesses(names) > 0) {
    if (HWND window = FindWindowW(L"Kelvor:Frame", nullptr)) PostMessageW(window, WM_CLOSE, 0, 0);
    if (GetTickCount() - start > timeoutMs) return false;
    Sleep(50);
  }
  return true;
}

inline DWORD RunAndWait(const std::wstring& commandLine) {
  STARTUPINFOW si = {};
  si.cb = sizeof(si);
  PROCESS_INFORMATION pi = {};
  std::vector<wchar_t> line(commandLine.begin(), commandLine.end());
  line.push_back(0);
  if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
    return 0xFFFFFFFF;
  WaitForSingleObject(pi.hProcess, 180000);
  DWORD code = 0;
  GetExitCodeProcess(pi.hProcess, &code);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  return code;
}

inline bool MarkExists(const std::wstring& version, const std::wstring& name, DWORD* data = nullptr,
                       DWORD* type = nullptr) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, (kMarkKey + version).c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
    return false;
  DWORD t = 0, d = 0, size = sizeof(d);
  bool found =
      RegQueryValueExW(key, name.c_str(), nullptr, &t, reinterpret_cast<BYTE*>(&d), &size) == ERROR_SUCCESS;
  RegCloseKey(key);
  if (data) *data = d;
  if (type) *type = t;
  return found;
}

inline void DeleteMarks(const std::wstring& version) {
  RegDeleteKeyW(HKEY_CURRENT_USER, (kMarkKey + version).c_str());
}

// A path of the build tree ("/work/...") as Wine sees it ("Z:\work\...").
inline std::wstring HostPath(const char* path) {
  std::wstring out(path, path + strlen(path));
  for (wchar_t& c : out)
    if (c == L'/') c = L'\\';
  return out.size() && out[0] == L'\\' ? L"Z:" + out : out;
}

// A text report (UTF-16LE, byte-order mark kept) as a wide string.
inline std::wstring ReadReport(const std::wstring& path) {
  std::string bytes = ReadText(path);
  std::wstring text(bytes.size() / 2, L'\0');
  for (size_t i = 0; i < text.size(); ++i)
    text[i] = static_cast<wchar_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                   static_cast<unsigned char>(bytes[2 * i + 1]) << 8);
  return text;
}

// The text between `before` and `after` (to the end when `after` is missing).
inline std::wstring Field(const std::wstring& text, const std::wstring& before, const std::wstring& after) {
  size_t b = text.find(before);
  if (b == std::wstring::npos) return L"<missing " + before + L">";
  b += before.size();
  size_t e = text.find(after, b);
  return text.substr(b, e == std::wstring::npos ? std::wstring::npos : e - b);
}

}  // namespace scenario
