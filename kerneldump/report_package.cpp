// File names of a kernel-dump report.
#include "kerneldump/report_package.h"

#include "common/path.h"

namespace kerneldump {

const wchar_t kInfoFileName[] = L"info.ini";
const wchar_t kInfoSection[] = L"info";
const wchar_t kDriverModule[] = L"Driver";

std::wstring DumpFolderFor(const std::wstring& programFolder) { return programFolder + L"dump\\"; }

std::wstring ArchivePathFor(const std::wstring& programFolder, const std::wstring& dumpPath) {
  return DumpFolderFor(programFolder) + suite::FileNamePart(dumpPath) + L".zip";
}

std::wstring InfoFilePathFor(const std::wstring& dataFolder) {
  return suite::JoinPath(dataFolder, kInfoFileName);
}

bool ModuleFolderFromPath(const std::wstring& modulePath, std::wstring& folder) {
  size_t slash = modulePath.rfind(L'\\');
  if (slash == std::wstring::npos) return false;
  folder = modulePath.substr(0, slash + 1);
  return true;
}

}  // namespace kerneldump
