// Dump folder, file names and the clean-up of older full dumps.
#include "reporter/capture/path_name_gen_win.h"

#include "common/diag_log.h"
#include "common/folders_win.h"
#include "common/path.h"
#include "common/scoped_handle_win.h"
#include "reporter/capture/capture_rules.h"

namespace kelvor {

bool CPathNameGen::GetInstallFolder(std::wstring& folder) {
  folder.clear();
  wchar_t buffer[260] = {};
  DWORD capacity = 260;
  if (!suite::ReadInstallDir(buffer, capacity)) return false;
  folder.assign(buffer);
  return true;
}

bool CPathNameGen::GetDumpFolder(std::wstring& folder) {
  folder.clear();
  bool installed = false;
  const std::wstring install = suite::ProductFolder(&installed);
  if (!installed) return false;
  folder = DumpFolderUnder(install);
  return true;
}

bool CPathNameGen::GetProgramFolder(std::wstring& folder) {
  folder.clear();
  wchar_t buffer[261] = {};
  if (!suite::ReadProgramFolder(buffer, 261)) return false;
  folder.assign(buffer);
  return true;
}

bool CPathNameGen::MakeDumpFileName(const wchar_t* stem, std::wstring& name) {
  if (!stem) return false;
  SYSTEMTIME now;
  GetLocalTime(&now);
  LocalTime t{now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond};
  name = DumpFileNameAt(stem, t);
  return true;
}

bool CPathNameGen::DeleteOlderFullDumps(const std::wstring& folder, const std::wstring& keepName,
                                        uint64_t crashTime) {
  WIN32_FIND_DATAW entry;
  suite::ScopedFind find(FindFirstFileW((folder + L"*.dmp").c_str(), &entry));
  if (!find) return true;  // nothing there, nothing to delete
  do {
    uint64_t written = (static_cast<uint64_t>(entry.ftLastWriteTime.dwHighDateTime) << 32) |
                       entry.ftLastWriteTime.dwLowDateTime;
    // Deletion of a file that another Kelvor still holds open fails: that one stays as well.
    if (MayDeleteFullDump(entry.cFileName, keepName, written, crashTime) &&
        !DeleteFileW((folder + entry.cFileName).c_str()))
      suite::DiagFailure("DeleteFileW", GetLastError());
  } while (FindNextFileW(find.get(), &entry));
  return true;
}

std::wstring CPathNameGen::ResolveDumpFolder() {
  std::wstring folder;
  if (!GetDumpFolder(folder)) GetProgramFolder(folder);
  return suite::WithTrailingBackslash(folder);
}

}  // namespace kelvor
