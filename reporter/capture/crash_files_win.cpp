// Part files, their publication under free names, and the sweep of leftovers.
#include "reporter/capture/crash_files_win.h"

#include <cstddef>
#include <cstring>
#include <vector>

#include "common/diag_failure_win.h"
#include "common/diag_log.h"
#include "common/path.h"
#include "common/proc_address_win.h"
#include "reporter/capture/capture_rules.h"

namespace kelvor {

namespace {

const wchar_t kPartPrefix[] = L"~kelvor-";
const wchar_t kPartSuffix[] = L".part";
const wchar_t kNameLockName[] = L"Local\\Kelvor.CrashFileNames";
// The lock is held for a few renames; a Kelvor that holds it longer is stuck, and waiting for it
// would hold up this crash. Past the bound the names are chosen without it.
const DWORD kNameLockWaitMs = 10000;

// Marking a file for deletion and renaming it go through its handle. SetFileInformationByHandle does
// that from Vista on; Windows XP lacks it but has the native call beneath it, which takes the same two
// records under other class numbers, so a part file keeps every promise above on XP too.
struct DispositionRecord {
  BOOLEAN deleteFile;
};
struct RenameRecord {
  BOOLEAN replaceIfExists;
  HANDLE rootDirectory;
  DWORD fileNameLength;
  WCHAR fileName[1];
};
static_assert(offsetof(RenameRecord, rootDirectory) == 4 && offsetof(RenameRecord, fileNameLength) == 8 &&
                  offsetof(RenameRecord, fileName) == 12,
              "the rename record of both calls on 32-bit Windows");
struct IoStatus {
  LONG status;
  ULONG_PTR information;
};

enum class FileInfo { kDisposition, kRename };
// Class numbers of each call: FILE_INFO_BY_HANDLE_CLASS and FILE_INFORMATION_CLASS.
int SystemClass(FileInfo info) { return info == FileInfo::kRename ? 3 : 4; }
ULONG NativeClass(FileInfo info) { return info == FileInfo::kRename ? 10 : 13; }

typedef BOOL(WINAPI* SetByHandleFn)(HANDLE, int, void*, DWORD);
typedef LONG(WINAPI* NtSetInformationFileFn)(HANDLE, IoStatus*, void*, ULONG, ULONG);
typedef ULONG(WINAPI* NtStatusToErrorFn)(LONG);

struct FileCalls {
  SetByHandleFn setByHandle;
  NtSetInformationFileFn ntSetInformationFile;
  NtStatusToErrorFn ntStatusToError;
};

template <typename Fn>
Fn Lookup(const wchar_t* module, const char* name) {
  return suite::ProcAddress<Fn>(GetModuleHandleW(module), name);  // both are in every process from its start
}

const FileCalls& Calls() {
  static const FileCalls calls = {Lookup<SetByHandleFn>(L"kernel32.dll", "SetFileInformationByHandle"),
                                  Lookup<NtSetInformationFileFn>(L"ntdll.dll", "NtSetInformationFile"),
                                  Lookup<NtStatusToErrorFn>(L"ntdll.dll", "RtlNtStatusToDosError")};
  return calls;
}

// The route chosen (a FileCallRoute + 1): 0 until the first call or a test chooses one.
volatile LONG g_route = 0;

FileCallRoute Route() {
  if (g_route == 0)
    InterlockedCompareExchange(
        &g_route,
        1 + static_cast<LONG>(Calls().setByHandle ? FileCallRoute::kSystem : FileCallRoute::kNative), 0);
  return static_cast<FileCallRoute>(g_route - 1);
}

bool SetFileInfo(HANDLE file, FileInfo info, void* record, DWORD bytes) {
  const FileCalls& calls = Calls();
  if (Route() == FileCallRoute::kSystem) {
    return calls.setByHandle(file, SystemClass(info), record, bytes) ||
           suite::DiagFailed("SetFileInformationByHandle");
  }
  if (!calls.ntSetInformationFile || !calls.ntStatusToError)
    return suite::DiagFailed("NtSetInformationFile", ERROR_CALL_NOT_IMPLEMENTED);
  IoStatus status = {};
  LONG rc = calls.ntSetInformationFile(file, &status, record, bytes, NativeClass(info));
  if (rc >= 0) return true;
  // The callers tell a taken name from other failures by the system's error code.
  SetLastError(calls.ntStatusToError(rc));
  return suite::DiagFailed("NtSetInformationFile");
}

// The rename call takes a path of the kernel's own form. A bare name would do on Windows (it renames
// within the file's folder), but Wine takes it relative to the current folder.
std::wstring KernelPathOf(const std::wstring& path) {
  if (path.compare(0, 4, L"\\\\?\\") == 0) return L"\\??\\" + path.substr(4);
  if (path.compare(0, 2, L"\\\\") == 0) return L"\\??\\UNC\\" + path.substr(2);
  return L"\\??\\" + path;
}

bool IsFree(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES &&
         GetLastError() == ERROR_FILE_NOT_FOUND;
}

class NameLock {
 public:
  NameLock() : mutex_(CreateMutexW(nullptr, FALSE, kNameLockName)) {
    if (!mutex_) {
      suite::DiagFailed("CreateMutexW");
      return;
    }
    // An owner that died leaves the lock abandoned: it is ours all the same.
    DWORD waited = WaitForSingleObject(mutex_.get(), kNameLockWaitMs);
    held_ = waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED;
    if (!held_) suite::DiagFailure("WaitForSingleObject", waited);
  }
  ~NameLock() {
    if (held_) ReleaseMutex(mutex_.get());
  }

 private:
  suite::ScopedKernelObject mutex_;
  bool held_ = false;
};

}  // namespace

bool PartFile::Open(const std::wstring& folder, const wchar_t* role) {
  folder_ = folder;
  partName_ = kPartPrefix + std::to_wstring(GetCurrentProcessId()) + L"-" + role + kPartSuffix;
  // A part of the same name can only be a leftover of a dead Kelvor that had this process id.
  file_.reset(CreateFileW((folder + partName_).c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, 0, nullptr,
                          CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file_) return suite::DiagFailed("CreateFileW");
  if (SetDeletePending(true)) return true;
  file_.Close();
  DeleteFileW((folder + partName_).c_str());
  return false;
}

bool PartFile::Publish(const std::wstring& name, bool& taken) {
  taken = false;
  // Renamed while still marked, then unmarked: a Kelvor that dies in between leaves nothing.
  if (!RenameTo(name)) {
    DWORD error = GetLastError();
    taken = error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS;
    if (taken) return false;
    // A system that will not rename a file marked for deletion: unmark, rename, mark again on failure.
    if (!SetDeletePending(false)) return false;
    if (!RenameTo(name)) {
      error = GetLastError();
      taken = error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS;
      SetDeletePending(true);
      return false;
    }
    return true;
  }
  if (SetDeletePending(false)) return true;
  // Still marked: the file will go at the latest with the handle. Its name is given back at once.
  RenameTo(partName_);
  return false;
}

void PartFile::Withdraw() {
  SetDeletePending(true);
  RenameTo(partName_);
}

bool PartFile::SetDeletePending(bool pending) {
  DispositionRecord disposition = {static_cast<BOOLEAN>(pending ? TRUE : FALSE)};
  return SetFileInfo(file_.get(), FileInfo::kDisposition, &disposition, sizeof disposition);
}

bool PartFile::RenameTo(const std::wstring& name) {
  const std::wstring target = KernelPathOf(folder_ + name);
  const DWORD nameBytes = static_cast<DWORD>(target.size() * sizeof(wchar_t));
  std::vector<unsigned char> buffer(sizeof(RenameRecord) + nameBytes, 0);
  RenameRecord* info = reinterpret_cast<RenameRecord*>(buffer.data());
  info->replaceIfExists = FALSE;
  info->rootDirectory = nullptr;
  info->fileNameLength = nameBytes;
  std::memcpy(info->fileName, target.c_str(), nameBytes);
  return SetFileInfo(file_.get(), FileInfo::kRename, info, static_cast<DWORD>(buffer.size()));
}

bool ChooseFileCallRoute(FileCallRoute route) {
  const FileCalls& calls = Calls();
  if (route == FileCallRoute::kSystem ? !calls.setByHandle : !calls.ntSetInformationFile) return false;
  InterlockedExchange(&g_route, 1 + static_cast<LONG>(route));
  return true;
}

bool PublishUnderFreeName(const std::wstring& folder, const std::wstring& firstName,
                          std::initializer_list<CrashFileSlot> slots, std::wstring& chosenName) {
  NameLock lock;
  std::wstring name = firstName;
  for (int attempt = 1;; ++attempt) {
    bool free = true;
    for (const CrashFileSlot& slot : slots) free = free && IsFree(folder + slot.nameFor(name));
    bool placed = free;
    bool taken = !free;
    std::vector<PartFile*> published;
    for (const CrashFileSlot& slot : slots) {
      if (!placed || !slot.part) continue;
      placed = slot.part->Publish(slot.nameFor(name), taken);
      if (placed) published.push_back(slot.part);
    }
    if (placed) {
      chosenName = name;
      return true;
    }
    // One slot's name went to someone outside the lock meanwhile: none of this crash's files keeps
    // a name at which another's stands.
    for (PartFile* part : published) part->Withdraw();
    if (!taken || attempt >= kMaxDumpNameAttempts) return false;  // a failure, or every name taken
    name = suite::FileNamePart(ClashVariant(folder + firstName, attempt));
  }
}

void SweepLeftoverParts(const std::wstring& folder) {
  WIN32_FIND_DATAW entry;
  suite::ScopedFind find(FindFirstFileW((folder + kPartPrefix + L"*" + kPartSuffix).c_str(), &entry));
  if (!find) return;
  do {
    // Fails for the parts of running Kelvors: they are open without sharing.
    DeleteFileW((folder + entry.cFileName).c_str());
  } while (FindNextFileW(find.get(), &entry));
}

}  // namespace kelvor
