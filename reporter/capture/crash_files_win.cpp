// Part files, their publication under free names, and the sweep of leftovers.
#include "reporter/capture/crash_files_win.h"

#include <cstring>
#include <vector>

#include "common/diag_failure_win.h"
#include "common/diag_log.h"
#include "common/path.h"
#include "reporter/capture/capture_rules.h"

namespace kelvor {

namespace {

const wchar_t kPartPrefix[] = L"~kelvor-";
const wchar_t kPartSuffix[] = L".part";
const wchar_t kNameLockName[] = L"Local\\Kelvor.CrashFileNames";
// The lock is held for a few renames; a Kelvor that holds it longer is stuck, and waiting for it
// would hold up this crash. Past the bound the names are chosen without it.
const DWORD kNameLockWaitMs = 10000;

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
  FILE_DISPOSITION_INFO disposition = {static_cast<BOOLEAN>(pending ? TRUE : FALSE)};
  return SetFileInformationByHandle(file_.get(), FileDispositionInfo, &disposition, sizeof disposition) ||
         suite::DiagFailed("SetFileInformationByHandle");
}

bool PartFile::RenameTo(const std::wstring& name) {
  const std::wstring target = KernelPathOf(folder_ + name);
  const DWORD nameBytes = static_cast<DWORD>(target.size() * sizeof(wchar_t));
  std::vector<unsigned char> buffer(sizeof(FILE_RENAME_INFO) + nameBytes, 0);
  FILE_RENAME_INFO* info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
  info->ReplaceIfExists = FALSE;
  info->RootDirectory = nullptr;
  info->FileNameLength = nameBytes;
  std::memcpy(info->FileName, target.c_str(), nameBytes);
  if (SetFileInformationByHandle(file_.get(), FileRenameInfo, info, static_cast<DWORD>(buffer.size())))
    return true;
  return suite::DiagFailed("SetFileInformationByHandle");
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
