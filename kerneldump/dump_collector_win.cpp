// Drummet's file-system and single-instance pieces on Windows.
#include <io.h>

#include "kerneldump/drummet_win.h"
#include "kerneldump/report_package.h"

namespace kerneldump {

const wchar_t kInstanceMutexName[] = L"Global\\DRUMMETPROTECTOR";
const wchar_t kCrashControlKey[] = L"SYSTEM\\CurrentControlSet\\Control\\CrashControl";

namespace {

const size_t kPathCapacity = MAX_PATH;

FileTime ToFileTime(const FILETIME& t) { return (FileTime(t.dwHighDateTime) << 32) | t.dwLowDateTime; }

// The state of one guarded find-next call. On an access violation inside the call the vectored
// handler lets Windows finish its dispatch and resume in ResumeAfterFault, which jumps back into
// GuardedFindNext as if the call had returned "no more files".
struct FindNextGuard {
  void* jump[5];  // __builtin_setjmp buffer
};
FindNextGuard* volatile g_activeGuard = nullptr;
volatile DWORD g_guardThread = 0;

[[noreturn]] void ResumeAfterFault() { __builtin_longjmp(g_activeGuard->jump, 1); }

void* SehChain() {
  void* head;
  __asm__ __volatile__("movl %%fs:0, %0" : "=r"(head));
  return head;
}
void SetSehChain(void* head) { __asm__ __volatile__("movl %0, %%fs:0" : : "r"(head) : "memory"); }

LONG CALLBACK OnFindNextFault(EXCEPTION_POINTERS* info) {
  if (!g_activeGuard || g_guardThread != GetCurrentThreadId()) return EXCEPTION_CONTINUE_SEARCH;
  if (info->ExceptionRecord->ExceptionCode != EXCEPTION_ACCESS_VIOLATION) return EXCEPTION_CONTINUE_SEARCH;
  CONTEXT* c = info->ContextRecord;
  // Continue on the faulting thread's stack, well below the fault, aligned, with a dummy return address.
  DWORD sp = (c->Esp - 256) & ~DWORD(15);
  sp -= sizeof(DWORD);
  *reinterpret_cast<DWORD*>(sp) = 0;
  c->Esp = sp;
  c->Eip = reinterpret_cast<DWORD>(&ResumeAfterFault);
  return EXCEPTION_CONTINUE_EXECUTION;
}

// Like find-next, but an access violation inside it reads as the end of the listing.
__attribute__((noinline)) BOOL GuardedFindNext(FindNextFn findNext, HANDLE find, WIN32_FIND_DATAW* data) {
  FindNextGuard guard;
  PVOID volatile handler = AddVectoredExceptionHandler(1, OnFindNextFault);
  if (!handler) return findNext(find, data);
  void* volatile chain = SehChain();
  g_guardThread = GetCurrentThreadId();
  g_activeGuard = &guard;
  volatile BOOL more = FALSE;
  if (__builtin_setjmp(guard.jump) == 0) {
    more = findNext(find, data);
  } else {
    // Handler frames of the abandoned call lay on the stack given up by the jump.
    SetSehChain(chain);
    more = FALSE;
  }
  g_activeGuard = nullptr;
  RemoveVectoredExceptionHandler(handler);
  return more;
}

FolderEntry ToEntry(const WIN32_FIND_DATAW& data) {
  FolderEntry e;
  e.name = data.cFileName;
  e.attributes = data.dwFileAttributes;
  e.lastWrite = ToFileTime(data.ftLastWriteTime);
  return e;
}

}  // namespace

bool IsSingleInstance() {
  // Deliberately never closed: the mutex marks this process as the running instance until it ends.
  HANDLE mutex = CreateMutexW(nullptr, TRUE, kInstanceMutexName);
  (void)mutex;
  return GetLastError() != ERROR_ALREADY_EXISTS;
}

bool GetModuleFolder(std::wstring& folder) {
  wchar_t path[kPathCapacity] = {};
  DWORD n = GetModuleFileNameW(nullptr, path, kPathCapacity);
  if (n == 0 || n >= kPathCapacity) return false;
  return ModuleFolderFromPath(path, folder);
}

FileTime GetLogFolderCreationTime() {
  std::wstring folder;
  if (!GetModuleFolder(folder)) return 0;
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW((folder + L"log\\").c_str(), GetFileExInfoStandard, &data)) return 0;
  return ToFileTime(data.ftCreationTime);
}

bool IsExistingFilePath(const std::wstring& path) {
  if (_waccess(path.c_str(), 0) != 0) return false;
  DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) return false;
  return HasRootedPathForm(path);
}

std::vector<FolderEntry> ListFolderGuarded(const std::wstring& dir, FindNextFn findNext) {
  std::vector<FolderEntry> entries;
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW((dir + L"\\*").c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return entries;  // a missing folder simply holds no dumps
  do {
    entries.push_back(ToEntry(data));
  } while (GuardedFindNext(findNext, find, &data));
  FindClose(find);
  return entries;
}

}  // namespace kerneldump
