// File names of a kernel-dump report.
#include "kerneldump/report_package.h"

#include "common/path.h"
#include "common/protocol/file_names.h"
#include "kerneldump/dump_collector.h"

namespace kerneldump {

const wchar_t kInfoSection[] = L"info";
const wchar_t kDriverModule[] = L"Driver";

std::wstring DumpFolderFor(const std::wstring& programFolder) {
  return programFolder + protocol::kDumpFolderName;
}

std::wstring ArchivePathFor(const std::wstring& programFolder, const std::wstring& dumpPath) {
  const std::wstring folder = DumpFolderFor(programFolder), extension = protocol::kArchiveExtension;
  std::wstring name = suite::FileNamePart(dumpPath);
  // The archive's name is ours alone (the server sees only its bytes): a dump name too long for a path
  // beside the program is cut, so that the archive can still be made and the dump go out.
  const size_t fixed = folder.size() + extension.size();
  if (fixed < kMaxArchivePath && name.size() > kMaxArchivePath - fixed) name.resize(kMaxArchivePath - fixed);
  return folder + name + extension;
}

std::wstring InfoFilePathFor(const std::wstring& dataFolder) {
  return suite::JoinPath(dataFolder, protocol::kInfoFileName);
}

bool ModuleFolderFromPath(const std::wstring& modulePath, std::wstring& folder) {
  size_t slash = modulePath.rfind(L'\\');
  if (slash == std::wstring::npos) return false;
  folder = modulePath.substr(0, slash + 1);
  return true;
}

ReportOutcome OutcomeBeforePost(DumpCheck dump, PackResult pack, uint64_t archiveBytes) {
  // A dump held open is being written or read by another program: it is tried again.
  if (dump == DumpCheck::Locked) return ReportOutcome::RetryLater;
  // One that can't be opened at all may stay so; the walk decides how long it waits for it.
  if (dump == DumpCheck::Unreadable) return ReportOutcome::Unreadable;
  if (dump == DumpCheck::TooLarge) return ReportOutcome::PassedOver;
  // A fault while packing comes from the dump's bytes and would come again on every run; an entry
  // the writer refuses is refused on every run too.
  if (pack == PackResult::Faulted || pack == PackResult::Refused) return ReportOutcome::PassedOver;
  // Any other packing failure (disk full, a read error) may pass; the archive is never posted without its
  // dump.
  if (pack == PackResult::Failed) return ReportOutcome::RetryLater;
  return archiveBytes > kMaxArchiveBytes ? ReportOutcome::PassedOver : ReportOutcome::Delivered;
}

ReportOutcome OutcomeOfPost(bool delivered, int status) {
  if (delivered) return ReportOutcome::Delivered;
  return status == kStatusTooLarge ? ReportOutcome::PassedOver : ReportOutcome::RetryLater;
}

DumpCheck CheckOfOpenError(uint32_t error) {
  const uint32_t kSharingViolation = 32, kLockViolation = 33;
  return error == kSharingViolation || error == kLockViolation ? DumpCheck::Locked : DumpCheck::Unreadable;
}

std::wstring ArchiveEntryName(const std::wstring& fileName,
                              const std::function<bool(const std::wstring&)>& convertsExactly) {
  std::wstring name;
  for (size_t i = 0; i < fileName.size();) {
    const wchar_t c = fileName[i];
    const bool pair = c >= 0xD800 && c <= 0xDBFF && i + 1 < fileName.size() && fileName[i + 1] >= 0xDC00 &&
                      fileName[i + 1] <= 0xDFFF;
    const std::wstring character = fileName.substr(i, pair ? 2 : 1);
    name += convertsExactly(character) ? character : L"_";
    i += character.size();
  }
  return name;
}

}  // namespace kerneldump
