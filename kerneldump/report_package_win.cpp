// One kernel-dump report: info.ini and the dump packed into a zip archive, posted, cleaned up.
#include <windows.h>

#include <new>
#include <vector>

#include "common/fault_guard_win.h"
#include "common/path.h"
#include "common/scoped_handle_win.h"
#include "common/zip/zip_writer.h"
#include "kerneldump/drummet_win.h"
#include "kerneldump/http_poster_win.h"
#include "kerneldump/http_request.h"
#include "kerneldump/report_package.h"
#include "kerneldump/user_context_win.h"

namespace kerneldump {
namespace {

const DWORD kPauseAfterPostMs = 1000;

void WriteInfoFile(const std::wstring& infoPath) {
  wchar_t version[256] = {};
  ReadProgramVersion(version);
  wchar_t id[kReportIdCapacity] = {};
  GetReportId(id, kReportIdCapacity, nullptr);
  WritePrivateProfileStringW(kInfoSection, L"version", version, infoPath.c_str());
  WritePrivateProfileStringW(kInfoSection, L"id", id, infoPath.c_str());
  WritePrivateProfileStringW(kInfoSection, L"module", kDriverModule, infoPath.c_str());
}

// Everything a report holds while its steps run. The steps run contained (a fault ends the step,
// not the program) and skip destructors when they fault, so what must be released lives here and is
// released by ReportDumpFile afterwards.
struct ReportRun {
  std::wstring dumpPath, archivePath, infoPath;
  zip::ZipWriterHandle zip = nullptr;
  bool packed = false;
  std::vector<char> bytes;
  HttpPoster poster;
  bool delivered = false;
};

void RunHook(const char* step) {
  if (g_reportStepHook) g_reportStepHook(step);
}

// The dump as the writer will open it. A sharing violation means Windows or a tool still writes it.
DumpCheck CheckDump(const std::wstring& dumpPath) {
  suite::ScopedFile dump(CreateFileW(dumpPath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                     FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!dump) return DumpCheck::Unreadable;
  LARGE_INTEGER size;
  if (!GetFileSizeEx(dump.get(), &size)) return DumpCheck::Unreadable;
  return uint64_t(size.QuadPart) > kMaxDumpBytes ? DumpCheck::TooLarge : DumpCheck::Readable;
}

// Every step must succeed: an archive without its dump (or without info.ini) is never posted.
void PackArchive(ReportRun& run) {
  namespace zd = zip::variant_d;
  run.zip = zd::ZipWriterCreate(const_cast<wchar_t*>(run.archivePath.c_str()), 0, zip::ZIP_FILENAME);
  if (!run.zip) return;
  const std::wstring dumpName = suite::FileNamePart(run.dumpPath);
  bool ok = zd::ZipWriterAdd(run.zip, dumpName.c_str(), const_cast<wchar_t*>(run.dumpPath.c_str()), 0,
                             zip::ZIP_FILENAME) == zip::ZR_OK;
  RunHook("pack");
  ok = ok && zd::ZipWriterAdd(run.zip, kInfoFileName, const_cast<wchar_t*>(run.infoPath.c_str()), 0,
                              zip::ZIP_FILENAME) == zip::ZR_OK;
  zip::ZipWriterHandle handle = run.zip;
  run.zip = nullptr;  // closed below, whatever it returns
  ok = zd::ZipWriterClose(handle) == zip::ZR_OK && ok;
  run.packed = ok;
}

bool ReadWhole(HANDLE file, std::vector<char>& bytes) {
  LARGE_INTEGER size;
  if (!GetFileSizeEx(file, &size) || uint64_t(size.QuadPart) > kMaxArchiveBytes) return false;
  try {
    bytes.resize(size.LowPart);
  } catch (const std::bad_alloc&) {
    return false;
  }
  DWORD done = 0;
  while (done < bytes.size()) {
    DWORD got = 0;
    if (!ReadFile(file, bytes.data() + done, DWORD(bytes.size()) - done, &got, nullptr) || got == 0)
      return false;
    done += got;
  }
  return true;
}

// The archive's size, or more than any limit when it can't be opened.
uint64_t ArchiveSize(const std::wstring& archivePath) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(archivePath.c_str(), GetFileExInfoStandard, &data)) return ~0ull;
  return uint64_t(data.nFileSizeHigh) << 32 | data.nFileSizeLow;
}

// Posts the archive's bytes; `delivered` when the report server took them.
void PostArchive(ReportRun& run) {
  if (!run.poster.Open(kAgentText)) return;
  RunHook("post");
  std::wstring url;
  if (BuildReportUrl(ReadBugUrl(), url)) {
    run.delivered = run.poster.Post(url.c_str(), run.bytes.data(), DWORD(run.bytes.size()), nullptr,
                                    DWORD(-1), kReportRequestFlags) >= 0;
  }
}

}  // namespace

std::wstring ReadBugUrl() {
  std::wstring folder;
  if (!GetModuleFolder(folder)) return kDefaultBugUrl;
  wchar_t url[kReportUrlCapacity] = {};
  GetPrivateProfileStringW(protocol::kNetworkSection, protocol::kReportUrlKey, kDefaultBugUrl, url,
                           kReportUrlCapacity, (folder + protocol::kConfigIniName).c_str());
  return url;
}

ReportStepHook g_reportStepHook = nullptr;

int ReportDumpFile(const wchar_t* dumpPath) {
  if (!dumpPath || GetFileAttributesW(dumpPath) == INVALID_FILE_ATTRIBUTES) return kReportRetryLater;
  int result = kReportRetryLater;
  try {
    ReportRun run;
    run.dumpPath = dumpPath;
    std::wstring programFolder;
    if (!GetModuleFolder(programFolder)) return kReportRetryLater;  // no place for the archive
    // Nothing is made for a dump that is still being written or that can never be packed.
    const DumpCheck dump = CheckDump(run.dumpPath);
    if (dump != DumpCheck::Readable) return OutcomeBeforePost(dump, PackResult::Failed, 0);

    CreateDirectoryW(DumpFolderFor(programFolder).c_str(), nullptr);
    run.archivePath = ArchivePathFor(programFolder, dumpPath);
    wchar_t dataFolder[MAX_PATH] = {};
    GetDataFolder(dataFolder, MAX_PATH, true);
    run.infoPath = InfoFilePathFor(dataFolder);

    PackResult pack = PackResult::Failed;
    if (!suite::RunContainedCall([&] {
          WriteInfoFile(run.infoPath);
          PackArchive(run);
        })) {
      pack = PackResult::Faulted;
      // The writer's handle still holds the archive open; give it back so the file can go.
      zip::ZipWriterHandle open = run.zip;
      if (open) suite::RunContainedCall([&] { zip::variant_d::ZipWriterClose(open); });
    } else if (run.packed) {
      pack = PackResult::Packed;
    }
    DeleteFileW(run.infoPath.c_str());

    result = OutcomeBeforePost(dump, pack, pack == PackResult::Packed ? ArchiveSize(run.archivePath) : 0);
    if (result == kReportDelivered) {
      result = kReportRetryLater;
      suite::ScopedFile archive(CreateFileW(run.archivePath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
      if (!archive) return kReportRetryLater;  // an archive that exists but can't be opened stays
      // A short read would post a broken archive; the dump is retried next run instead.
      if (ReadWhole(archive.get(), run.bytes) && suite::RunContainedCall([&] { PostArchive(run); })) {
        result = OutcomeOfPost(run.delivered, run.poster.status());
      }
      archive.Close();
      run.poster.Close();
      std::vector<char>().swap(run.bytes);
      Sleep(kPauseAfterPostMs);
    }
    DeleteFileW(run.archivePath.c_str());
  } catch (...) {
    // Nothing escapes a report; what was achieved so far stands.
  }
  return result;
}

}  // namespace kerneldump
