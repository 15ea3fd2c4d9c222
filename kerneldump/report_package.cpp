// File names of a kernel-dump report.
#include "kerneldump/report_package.h"

#include "common/path.h"
#include "kerneldump/dump_collector.h"

namespace kerneldump {

const wchar_t kInfoSection[] = L"info";
const wchar_t kDriverModule[] = L"Driver";

std::wstring DumpFolderFor(const std::wstring& programFolder) {
  return programFolder + protocol::kDumpFolderName;
}

std::wstring ArchivePathFor(const std::wstring& programFolder, const std::wstring& dumpPath) {
  return DumpFolderFor(programFolder) + suite::FileNamePart(dumpPath) + protocol::kArchiveExtension;
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

int OutcomeBeforePost(DumpCheck dump, PackResult pack, uint64_t archiveBytes) {
  // A dump that can't be opened now is being written or held by another program: it is tried again.
  if (dump == DumpCheck::Unreadable) return kReportRetryLater;
  if (dump == DumpCheck::TooLarge) return kReportPassedOver;
  // A fault while packing comes from the dump's bytes and would come again on every run.
  if (pack == PackResult::Faulted) return kReportPassedOver;
  // Any other packing failure (disk full, a read error) may pass; the archive is never posted without its
  // dump.
  if (pack == PackResult::Failed) return kReportRetryLater;
  return archiveBytes > kMaxArchiveBytes ? kReportPassedOver : kReportDelivered;
}

int OutcomeOfPost(bool delivered, int status) {
  if (delivered) return kReportDelivered;
  return status == kStatusTooLarge ? kReportPassedOver : kReportRetryLater;
}

}  // namespace kerneldump
