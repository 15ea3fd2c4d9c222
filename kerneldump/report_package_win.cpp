// One kernel-dump report: info.ini and the dump packed into a zip archive, posted, cleaned up.
#include <windows.h>

#include "kerneldump/report_package_win.h"

#include <new>
#include <vector>

#include "common/diag_failure_win.h"
#include "common/fault_guard_win.h"
#include "common/path.h"
#include "common/protocol/endpoints.h"
#include "common/protocol/file_names.h"
#include "common/scoped_handle_win.h"
#include "common/zip/zip_io_win.h"
#include "common/zip/zip_writer.h"
#include "kerneldump/data_folder_win.h"
#include "kerneldump/http_poster_win.h"
#include "kerneldump/http_request.h"
#include "kerneldump/identity_win.h"
#include "kerneldump/report_package.h"

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
  bool dumpRefused = false;  // the writer will never take the dump's entry
  std::vector<char> bytes;
};

// One post, run on a thread of its own and owned by both threads: the report waits for it only up
// to the deadline, and a post it stops waiting for (WinINet under Wine does not end a blocked call
// when its handles are closed) keeps what it uses until it ends by itself or the process does.
struct PostJob {
  std::vector<char> bytes;
  HttpPoster poster;
  bool contained = false, delivered = false;
  int status = 0;
  suite::ScopedKernelObject done;
  volatile LONG owners = 2;
  void Release() {
    if (InterlockedDecrement(&owners) == 0) delete this;
  }
};

DWORD RunHook(const char* step) { return g_reportStepHook ? g_reportStepHook(step) : 0; }

// The dump as the writer will open it. A sharing violation means Windows or a tool still writes it.
DumpCheck CheckDump(const std::wstring& dumpPath) {
  if (DWORD injected = RunHook("open")) return CheckOfOpenError(injected);
  suite::ScopedFile dump(CreateFileW(dumpPath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                     FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!dump) {
    const DWORD error = GetLastError();
    suite::DiagFailed("CreateFileW", error);
    return CheckOfOpenError(error);
  }
  LARGE_INTEGER size;
  if (!GetFileSizeEx(dump.get(), &size)) {
    suite::DiagFailed("GetFileSizeEx");
    return DumpCheck::Unreadable;
  }
  return uint64_t(size.QuadPart) > kMaxDumpBytes ? DumpCheck::TooLarge : DumpCheck::Readable;
}

bool ConvertsToAnsiExactly(const std::wstring& character) {
  std::string converted;
  return zip::WideToCodePage(character.c_str(), CP_ACP, 8, &converted, true);
}

// Every step must succeed: an archive without its dump (or without info.ini) is never posted.
void PackArchive(ReportRun& run) {
  namespace zd = zip::variant_d;
  run.zip = zd::ZipWriterCreate(const_cast<wchar_t*>(run.archivePath.c_str()), 0, zip::ZIP_FILENAME);
  if (!run.zip) return;
  const std::wstring entryName = ArchiveEntryName(suite::FileNamePart(run.dumpPath), ConvertsToAnsiExactly);
  const zip::ZipResult added = zd::ZipWriterAdd(
      run.zip, entryName.c_str(), const_cast<wchar_t*>(run.dumpPath.c_str()), 0, zip::ZIP_FILENAME);
  run.dumpRefused = added == zip::ZR_ARGS;  // a name it can't hold, whatever else changes
  bool ok = added == zip::ZR_OK;
  RunHook("pack");
  ok = ok && zd::ZipWriterAdd(run.zip, protocol::kInfoFileName, const_cast<wchar_t*>(run.infoPath.c_str()), 0,
                              zip::ZIP_FILENAME) == zip::ZR_OK;
  zip::ZipWriterHandle handle = run.zip;
  run.zip = nullptr;  // closed below, whatever it returns
  ok = zd::ZipWriterClose(handle) == zip::ZR_OK && ok;
  run.packed = ok;
}

bool ReadWhole(HANDLE file, std::vector<char>& bytes) {
  LARGE_INTEGER size;
  if (!GetFileSizeEx(file, &size)) return suite::DiagFailed("GetFileSizeEx");
  if (uint64_t(size.QuadPart) > kMaxArchiveBytes) return false;
  try {
    bytes.resize(size.LowPart);
  } catch (const std::bad_alloc&) {
    return false;
  }
  DWORD done = 0;
  while (done < bytes.size()) {
    DWORD got = 0;
    if (!ReadFile(file, bytes.data() + done, DWORD(bytes.size()) - done, &got, nullptr))
      return suite::DiagFailed("ReadFile");
    if (got == 0) return false;  // the file ended before its size
    done += got;
  }
  return true;
}

// The archive's size, or more than any limit when it can't be opened.
uint64_t ArchiveSize(const std::wstring& archivePath) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(archivePath.c_str(), GetFileExInfoStandard, &data)) {
    suite::DiagFailed("GetFileAttributesExW");
    return ~0ull;
  }
  return uint64_t(data.nFileSizeHigh) << 32 | data.nFileSizeLow;
}

// Posts the archive's bytes; `delivered` when the report server took them.
void PostArchive(PostJob& job) {
  if (!job.poster.Open(kAgentText)) return;
  RunHook("post");
  std::wstring url;
  if (BuildReportUrl(ReadBugUrl(), url)) {
    job.delivered = job.poster.Post(url.c_str(), job.bytes.data(), DWORD(job.bytes.size()), nullptr,
                                    DWORD(-1), kReportRequestFlags) >= 0;
  }
}

DWORD WINAPI RunPostJob(void* context) {
  PostJob* job = static_cast<PostJob*>(context);
  try {
    job->contained = suite::RunContainedCall([&] { PostArchive(*job); });
    job->status = job->poster.status();
    job->poster.Close();
  } catch (...) {
    job->contained = false;
  }
  SetEvent(job->done.get());
  job->Release();
  return 0;
}

// The poster closes its handles at the deadline, which ends the post on Windows; this wait, a little
// longer, ends it for the report wherever that does not work.
const DWORD kDeadlineGraceMs = 2000;

ReportOutcome PostWithinDeadline(std::vector<char>& bytes) {
  PostJob* job = new (std::nothrow) PostJob;
  if (!job) return ReportOutcome::RetryLater;
  job->bytes.swap(bytes);
  const DWORD deadline = job->poster.ShortenDeadline(g_postDeadlineMs);
  job->done.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  ReportOutcome result = ReportOutcome::RetryLater;
  if (job->done) {
    suite::ScopedKernelObject thread(CreateThread(nullptr, 0, &RunPostJob, job, 0, nullptr));
    if (!thread) {
      suite::DiagFailed("CreateThread");
      RunPostJob(job);  // no thread to spare: post here, with the poster's own deadline
    }
    if (WaitForSingleObject(job->done.get(), deadline + kDeadlineGraceMs) == WAIT_OBJECT_0 && job->contained)
      result = OutcomeOfPost(job->delivered, job->status);
  } else {
    suite::DiagFailed("CreateEventW");
    job->Release();  // never started
  }
  job->Release();
  return result;
}

}  // namespace

std::wstring ReadBugUrl() {
  std::wstring folder;
  if (!GetModuleFolder(folder)) return protocol::kKernelDumpDefaultServer;
  wchar_t url[kReportUrlCapacity] = {};
  GetPrivateProfileStringW(protocol::kNetworkSection, protocol::kReportUrlKey,
                           protocol::kKernelDumpDefaultServer, url, kReportUrlCapacity,
                           (folder + protocol::kConfigIniName).c_str());
  return url;
}

ReportStepHook g_reportStepHook = nullptr;
unsigned long g_postDeadlineMs = 0;

ReportOutcome ReportDumpFile(const wchar_t* dumpPath) {
  if (!dumpPath || GetFileAttributesW(dumpPath) == INVALID_FILE_ATTRIBUTES) return ReportOutcome::RetryLater;
  ReportOutcome result = ReportOutcome::RetryLater;
  try {
    ReportRun run;
    run.dumpPath = dumpPath;
    std::wstring programFolder;
    if (!GetModuleFolder(programFolder)) return ReportOutcome::RetryLater;  // no place for the archive
    // Nothing is made for a dump that is still being written or that can never be packed.
    const DumpCheck dump = CheckDump(run.dumpPath);
    if (dump != DumpCheck::Readable) return OutcomeBeforePost(dump, PackResult::Failed, 0);

    const std::wstring dumpFolder = DumpFolderFor(programFolder);
    if (!CreateDirectoryW(dumpFolder.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
      suite::DiagFailed("CreateDirectoryW");  // the archive's creation fails and says the rest
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
    } else if (run.dumpRefused) {
      pack = PackResult::Refused;
    }
    if (!DeleteFileW(run.infoPath.c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND)
      suite::DiagFailed("DeleteFileW");

    result = OutcomeBeforePost(dump, pack, pack == PackResult::Packed ? ArchiveSize(run.archivePath) : 0);
    if (result == ReportOutcome::Delivered) {
      result = ReportOutcome::RetryLater;
      suite::ScopedFile archive(CreateFileW(run.archivePath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
      if (!archive) {
        suite::DiagFailed("CreateFileW");
        return ReportOutcome::RetryLater;  // an archive that exists but can't be opened stays
      }
      // A short read would post a broken archive; the dump is retried next run instead.
      const bool whole = ReadWhole(archive.get(), run.bytes);
      archive.Close();
      if (whole) result = PostWithinDeadline(run.bytes);
      std::vector<char>().swap(run.bytes);
      Sleep(kPauseAfterPostMs);
    }
    if (!DeleteFileW(run.archivePath.c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND)
      suite::DiagFailed("DeleteFileW");
  } catch (...) {
    // Nothing escapes a report; what was achieved so far stands.
  }
  return result;
}

}  // namespace kerneldump
