// The dump folder and the names of one crash's files. A process-wide singleton without state of its
// own: every call reads the registry and the clock afresh; results go into the caller's strings.
#pragma once
#include <windows.h>

#include <cstdint>
#include <string>

#include "common/safe_singleton.h"

namespace kelvor {

class CPathNameGen : public suite::CSafeSingleton<CPathNameGen> {
 public:
  ~CPathNameGen() override {}

  // The product's install folder ("InstallDir" of the uninstall key); empty and false on failure.
  bool GetInstallFolder(std::wstring& folder);
  // install folder + "\dump\"; empty and false when there is no install folder.
  bool GetDumpFolder(std::wstring& folder);
  // Kelvor's own folder, no trailing backslash.
  bool GetProgramFolder(std::wstring& folder);
  // stem + "_[Y-M-D_h_m_s].dmp" in local time; false without a stem.
  bool MakeDumpFileName(const wchar_t* stem, std::wstring& name);
  // Deletes every "*_FULL.dmp" (any case) in the folder that was last written before crashTime
  // (FILETIME), except the one just written. A file still open for writing is not deleted either.
  // Always true.
  bool DeleteOlderFullDumps(const std::wstring& folder, const std::wstring& keepName, uint64_t crashTime);

  // The folder every file of a run goes to: the dump folder, else Kelvor's own folder, with a
  // trailing backslash unless it is empty.
  std::wstring ResolveDumpFolder();
};

}  // namespace kelvor
