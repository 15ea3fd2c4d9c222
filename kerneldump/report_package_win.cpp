// One kernel-dump report: info.ini and the dump packed into a zip archive, posted, cleaned up.
#include <windows.h>

#include <new>
#include <vector>

#include "common/path.h"
#include "common/scoped_handle.h"
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

// The writer's results are not checked: a failed step shows up as a missing or short archive.
void PackArchive(const std::wstring& archivePath, const std::wstring& dumpPath,
                 const std::wstring& infoPath) {
  namespace zd = zip::variant_d;
  zip::ZipWriterHandle zip =
      zd::ZipWriterCreate(const_cast<wchar_t*>(archivePath.c_str()), 0, zip::ZIP_FILENAME);
  const std::wstring dumpName = suite::FileNamePart(dumpPath);
  zd::ZipWriterAdd(zip, dumpName.c_str(), const_cast<wchar_t*>(dumpPath.c_str()), 0, zip::ZIP_FILENAME);
  zd::ZipWriterAdd(zip, kInfoFileName, const_cast<wchar_t*>(infoPath.c_str()), 0, zip::ZIP_FILENAME);
  zd::ZipWriterClose(zip);
}

bool ReadWhole(HANDLE file, std::vector<char>& bytes) {
  LARGE_INTEGER size;
  if (!GetFileSizeEx(file, &size) || size.HighPart != 0 || size.LowPart > 0x7FFFFFFF) return false;
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

// True when the report server took the archive.
bool PostArchive(const std::vector<char>& bytes) {
  HttpPoster poster;
  if (!poster.Open(kAgentText)) return false;
  std::wstring url;
  bool delivered = false;
  if (BuildReportUrl(ReadBugUrl(), url)) {
    delivered = poster.Post(url.c_str(), bytes.data(), DWORD(bytes.size()), nullptr, DWORD(-1),
                            kReportRequestFlags) >= 0;
  }
  poster.Close();
  return delivered;
}

}  // namespace

std::wstring ReadBugUrl() {
  std::wstring folder;
  if (!GetModuleFolder(folder)) return kDefaultBugUrl;
  wchar_t url[kReportUrlCapacity] = {};
  GetPrivateProfileStringW(L"network", L"BugURL", kDefaultBugUrl, url, kReportUrlCapacity,
                           (folder + L"config.ini").c_str());
  return url;
}

int ReportDumpFile(const wchar_t* dumpPath) {
  if (!dumpPath || GetFileAttributesW(dumpPath) == INVALID_FILE_ATTRIBUTES) return 0;
  int result = 0;
  try {
    std::wstring programFolder;
    if (!GetModuleFolder(programFolder)) return 0;  // no place for the archive
    CreateDirectoryW(DumpFolderFor(programFolder).c_str(), nullptr);
    const std::wstring archivePath = ArchivePathFor(programFolder, dumpPath);

    wchar_t dataFolder[MAX_PATH] = {};
    GetDataFolder(dataFolder, MAX_PATH, true);
    const std::wstring infoPath = InfoFilePathFor(dataFolder);

    WriteInfoFile(infoPath);
    PackArchive(archivePath, dumpPath, infoPath);
    DeleteFileW(infoPath.c_str());

    suite::ScopedHandle archive =
        suite::ScopedHandle::ForFile(CreateFileW(archivePath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!archive) return 0;
    {
      std::vector<char> bytes;
      // A short read would post a broken archive; the dump is retried next run instead.
      if (ReadWhole(archive.get(), bytes) && PostArchive(bytes)) result = 1;
    }
    archive.Close();
    Sleep(kPauseAfterPostMs);
    DeleteFileW(archivePath.c_str());
  } catch (...) {
    // Nothing escapes a report; what was achieved so far stands.
  }
  return result;
}

}  // namespace kerneldump
