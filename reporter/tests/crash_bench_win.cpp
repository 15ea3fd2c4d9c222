// Latency of a crash under Wine: crash -> release, Kelvor's whole run, and the time spent inside
// DbgHelp's dump call, each as the median of several runs. Run by tools/cmd/bench-crash after the
// install step. Usage: crash_bench.exe [runs]
#include <windows.h>
#include <dbghelp.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

const wchar_t kWork[] = L"C:\\crash_bench\\";

std::wstring InstallFolder() {
  wchar_t buffer[MAX_PATH + 1] = {};
  DWORD bytes = sizeof(buffer) - 2;
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE,
                    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Vemko Antivirus", 0, KEY_READ,
                    &key) != ERROR_SUCCESS)
    return L"";
  RegQueryValueExW(key, L"InstallDir", nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &bytes);
  RegCloseKey(key);
  std::wstring folder = buffer;
  if (!folder.empty() && folder.back() != L'\\') folder += L'\\';
  return folder;
}

double Now() {
  LARGE_INTEGER c, f;
  QueryPerformanceCounter(&c);
  QueryPerformanceFrequency(&f);
  return 1000.0 * static_cast<double>(c.QuadPart) / static_cast<double>(f.QuadPart);
}

double Median(std::vector<double> v) {
  if (v.empty()) return -1;
  std::sort(v.begin(), v.end());
  return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

HANDLE Start(const std::wstring& commandLine) {
  STARTUPINFOW si = {};
  si.cb = sizeof(si);
  PROCESS_INFORMATION pi = {};
  std::vector<wchar_t> line(commandLine.begin(), commandLine.end());
  line.push_back(0);
  if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
    return nullptr;
  CloseHandle(pi.hThread);
  return pi.hProcess;
}

void ClearFolder(const std::wstring& folder) {
  WIN32_FIND_DATAW e;
  HANDLE f = FindFirstFileW((folder + L"*").c_str(), &e);
  if (f == INVALID_HANDLE_VALUE) return;
  do
    if (!(e.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) DeleteFileW((folder + e.cFileName).c_str());
  while (FindNextFileW(f, &e));
  FindClose(f);
}

double NoteValue(const std::string& note, const std::string& key) {
  size_t at = note.find(key + "=");
  return at == std::string::npos ? -1 : atof(note.c_str() + at + key.size() + 1);
}

std::string ReadText(const std::wstring& path) {
  HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return "";
  std::string text(GetFileSize(h, nullptr), '\0');
  DWORD read = 0;
  if (!text.empty()) ReadFile(h, &text[0], static_cast<DWORD>(text.size()), &read, nullptr);
  CloseHandle(h);
  return text;
}

// One crash of the demo; Kelvor runs its whole course because the crashed program is not one of
// the product's restartable processes.
bool CrashOnce(const std::wstring& install, int mode, double& releaseMs, double& kelvorMs) {
  ClearFolder(install + L"dump\\");
  std::wstring note = std::wstring(kWork) + L"note.txt";
  DeleteFileW(note.c_str());
  wchar_t options[64];
  wsprintfW(options, L" --full-dump %d", mode);
  HANDLE p = Start(L"\"" + install + L"Orv.exe\" --observe " + note + L" --wait-kelvor --app-name Bench.exe" +
                   options + L" crash null");
  if (!p) return false;
  WaitForSingleObject(p, 300000);
  CloseHandle(p);
  std::string text = ReadText(note);
  releaseMs = NoteValue(text, "release_ms");
  kelvorMs = NoteValue(text, "reporter_ms");
  return NoteValue(text, "released") == 1 && releaseMs >= 0 && kelvorMs >= 0;
}

// The dump call alone, on a live demo process, with Kelvor's access rights and dump types.
double TimeDumpCall(HANDLE target, DWORD pid, MINIDUMP_TYPE type) {
  std::wstring path = std::wstring(kWork) + L"bench.dmp";
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  double start = Now();
  BOOL ok = MiniDumpWriteDump(target, pid, file, type, nullptr, nullptr, nullptr);
  double ms = Now() - start;
  CloseHandle(file);
  DeleteFileW(path.c_str());
  return ok ? ms : -1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  int runs = argc > 1 ? _wtoi(argv[1]) : 7;
  if (runs < 5) runs = 5;
  std::wstring install = InstallFolder();
  if (install.empty()) {
    printf("bench: no install folder (run the install step)\n");
    return 1;
  }
  CreateDirectoryW(kWork, nullptr);

  // Process start-up alone: the demo started and ended at once.
  std::vector<double> startup;
  for (int i = 0; i < runs; ++i) {
    double t = Now();
    HANDLE p = Start(L"\"" + install + L"Orv.exe\" idle 0");
    if (!p) break;
    WaitForSingleObject(p, 60000);
    CloseHandle(p);
    startup.push_back(Now() - t);
  }

  std::vector<double> normalDump, fullDump;
  HANDLE idle = Start(L"\"" + install + L"Orv.exe\" idle 600000");
  if (idle) {
    Sleep(1000);  // let it finish starting
    DWORD pid = GetProcessId(idle);
    HANDLE target = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ | PROCESS_DUP_HANDLE, FALSE, pid);
    MINIDUMP_TYPE normal = static_cast<MINIDUMP_TYPE>(0x164);
    SymSetOptions(SYMOPT_DEFERRED_LOADS);  // as Kelvor does before its dump call
    for (int i = 0; i < runs; ++i) normalDump.push_back(TimeDumpCall(target, pid, normal));
    for (int i = 0; i < 3; ++i) fullDump.push_back(TimeDumpCall(target, pid, MiniDumpWithFullMemory));
    CloseHandle(target);
    TerminateProcess(idle, 0);
    CloseHandle(idle);
  }

  double releaseMode0 = -1, kelvorMode0 = -1;
  for (int mode : {0, 1}) {
    std::vector<double> release, kelvor;
    int count = mode == 0 ? runs : 5;  // full dumps are large and slow: the minimum of five
    for (int i = 0; i < count; ++i) {
      double r = 0, k = 0;
      if (CrashOnce(install, mode, r, k)) {
        release.push_back(r);
        kelvor.push_back(k);
      }
    }
    printf("mode=%d runs=%d crash_to_release_ms_median=%.0f kelvor_run_ms_median=%.0f\n", mode,
           static_cast<int>(release.size()), Median(release), Median(kelvor));
    if (mode == 0) {
      releaseMode0 = Median(release);
      kelvorMode0 = Median(kelvor);
    }
  }
  ClearFolder(install + L"dump\\");
  double start = Median(startup), normal = Median(normalDump);
  printf("process_start_ms_median=%.0f (a demo process started and ended)\n", start);
  printf("dbghelp_normal_dump_ms_median=%.0f dbghelp_full_dump_ms_median=%.0f (dump call alone, live demo)\n",
         normal, Median(fullDump));
  printf(
      "kelvor_own_work_ms_estimate=%.0f (mode 0 Kelvor run minus a demo start-up and the dump call, measured "
      "apart: rough, can go below 0 on a loaded machine)\n",
      kelvorMode0 - start - normal);
  printf("release_ms_median=%.0f\n", releaseMode0);
  return 0;
}
