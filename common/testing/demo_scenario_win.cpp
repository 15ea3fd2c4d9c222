#include "common/testing/demo_scenario_win.h"

#include "common/wformat.h"

namespace scenario {

InstalledProduct PrepareInstalled() {
  InstalledProduct product;
  product.folder = InstallFolder();
  if (product.folder.empty()) return product;
  product.dump = product.folder + L"dump\\";
  DeleteFileW((product.folder + kReceivedFile).c_str());
  return product;
}

bool MarkExists(const std::wstring& version, const std::wstring& name, DWORD* data, DWORD* type) {
  DWORD d = 0, t = 0;
  bool found = ReadRegistryDword(HKEY_CURRENT_USER, kMarkKey + version, name, &d, &t);
  if (data) *data = d;
  if (type) *type = t;
  return found;
}

long Mark(const std::wstring& name, const std::wstring& version) {
  DWORD data = 0;
  return MarkExists(version, name, &data) ? static_cast<long>(data) : -1;
}

bool SetMark(const std::wstring& name, DWORD value, const std::wstring& version) {
  return WriteRegistryDword(HKEY_CURRENT_USER, kMarkKey + version, name, value);
}

std::vector<std::wstring> MarkNames(const std::wstring& version) {
  return RegistryValueNames(HKEY_CURRENT_USER, kMarkKey + version);
}

void DeleteMarks(const std::wstring& version) {
  RegDeleteKeyW(HKEY_CURRENT_USER, (kMarkKey + version).c_str());
}

namespace {

// Calls `item` with each '|'-separated piece of a list.
template <typename Fn>
void ForEachItem(const std::string& list, Fn item) {
  for (size_t start = 0; start < list.size();) {
    size_t bar = list.find('|', start);
    if (bar == std::string::npos) bar = list.size();
    item(list.substr(start, bar - start));
    start = bar + 1;
  }
}

// "name:size" or "name=size" items.
std::map<std::string, unsigned long> Sizes(const std::string& list) {
  std::map<std::string, unsigned long> out;
  ForEachItem(list, [&](const std::string& item) {
    size_t sep = item.find_last_of(":=");
    if (!item.empty())
      out[item.substr(0, sep)] = std::stoul(sep == std::string::npos ? "" : item.substr(sep + 1));
  });
  return out;
}

}  // namespace

Note ParseNote(const std::string& text) {
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
  note.files = Sizes(note.Get("files"));
  note.filesAtEnd = Sizes(note.Get("files_at_end"));
  // Marks are "name=type:data": split at the last '=' only.
  ForEachItem(note.Get("marks"), [&](const std::string& item) {
    size_t eq = item.rfind('=');
    if (eq != std::string::npos) note.marks[item.substr(0, eq)] = item.substr(eq + 1);
  });
  return note;
}

bool WaitUntilAllEnded(DWORD timeoutMs, const std::vector<std::wstring>& names) {
  return WaitUntil(
      [&] {
        if (HWND window = FindWindowW(L"Kelvor:Frame", nullptr)) PostMessageW(window, WM_CLOSE, 0, 0);
        return CountProcesses(names) == 0;
      },
      timeoutMs);
}

std::vector<std::wstring> CrashNamesAround(const std::wstring& stem, int fromSeconds, int toSeconds) {
  std::vector<std::wstring> names;
  FILETIME nowFt;
  GetSystemTimeAsFileTime(&nowFt);
  ULARGE_INTEGER now;
  now.LowPart = nowFt.dwLowDateTime;
  now.HighPart = nowFt.dwHighDateTime;
  for (int s = fromSeconds; s <= toSeconds; ++s) {
    ULARGE_INTEGER t;
    t.QuadPart = now.QuadPart + static_cast<ULONGLONG>(static_cast<LONGLONG>(s) * 10000000LL);
    FILETIME utc = {t.LowPart, t.HighPart}, local;
    FileTimeToLocalFileTime(&utc, &local);
    SYSTEMTIME st;
    FileTimeToSystemTime(&local, &st);
    names.push_back(suite::WFormat(L"%s_[%d-%d-%d_%d_%d_%d]", stem, st.wYear, st.wMonth, st.wDay, st.wHour,
                                   st.wMinute, st.wSecond));
  }
  return names;
}

}  // namespace scenario
