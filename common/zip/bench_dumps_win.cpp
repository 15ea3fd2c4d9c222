// A minidump for the DEFLATE benchmark's corpus (tools/cmd/bench-deflate): a normal dump, written by
// DbgHelp with the dump type Kelvor asks for, of a live process whose threads are busy. Kelvor's own
// dumps of the demo crash are in the corpus too; this one stands for a crash in a busier program, whose
// normal dump is mostly the stacks of its threads.
// Usage: bench_dumps.exe OUT.dmp
#include <windows.h>

#include <dbghelp.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

const wchar_t kReadyEvent[] = L"BENCH_DUMPS_READY_EVENT";
// Kelvor's normal dump: handle data, unloaded modules, indirectly referenced memory, thread data.
const MINIDUMP_TYPE kNormalDump = MINIDUMP_TYPE(0x164);

// A worker deep in its work when the dump is taken: frames holding text, counters and pointers, as
// the stacks of a busy program do. A normal dump holds little else besides the threads' stacks.
__attribute__((noinline)) void Work(int depth, const void* caller) {
  char text[384];
  const void* links[24];
  int written =
      wsprintfA(text, "frame %d of worker %lu, caller %p, state %s", depth, GetCurrentThreadId(), caller,
                depth % 3 ? "scanning C:\\Windows\\System32" : "waiting for the update server");
  for (int i = written; i < int(sizeof(text)); ++i) text[i] = char(i % 7 == 0 ? ' ' : 'a' + (i * depth) % 26);
  for (int i = 0; i < 24; ++i) links[i] = i % 4 ? static_cast<const void*>(text + i * 8) : caller;
  if (depth > 0) {
    Work(depth - 1, links);
  } else {
    Sleep(INFINITE);
  }
  // Keeps the frame's contents alive past the call.
  if (text[0] == 0) OutputDebugStringA(static_cast<const char*>(links[depth % 24]));
}

DWORD WINAPI Waiter(void* param) {
  Work(20 + int(reinterpret_cast<uintptr_t>(param)) * 5, nullptr);
  return 0;
}

// The process to dump: the libraries and threads of a small GUI program with some heap in use, then
// a wait until it is dumped and ended.
int Child(const wchar_t* event_name) {
  const wchar_t* libraries[] = {L"user32.dll",  L"gdi32.dll",  L"comctl32.dll", L"ole32.dll",
                                L"shell32.dll", L"ws2_32.dll", L"wininet.dll",  L"advapi32.dll",
                                L"version.dll", L"dbghelp.dll"};
  for (const wchar_t* name : libraries) LoadLibraryW(name);
  HWND window = CreateWindowExW(0, L"STATIC", L"bench", WS_OVERLAPPEDWINDOW, 0, 0, 200, 100, nullptr, nullptr,
                                nullptr, nullptr);
  for (uintptr_t i = 0; i < 10; ++i) CreateThread(nullptr, 0, Waiter, reinterpret_cast<void*>(i), 0, nullptr);
  Sleep(500);  // the workers reach their deepest frame
  // Heap blocks of mixed kinds: text, tables of small numbers, pointers into each other.
  std::vector<std::vector<uint32_t>> blocks;
  for (uint32_t i = 0; i < 400; ++i) {
    std::vector<uint32_t> b(256 + (i * 37) % 1024);
    for (size_t k = 0; k < b.size(); ++k)
      b[k] = (i % 3 == 0)   ? uint32_t(k * i)
             : (i % 3 == 1) ? 0x20657375u + k % 7
                            : uint32_t(uintptr_t(&b[k / 2]));
    blocks.push_back(std::move(b));
  }
  HANDLE ready = OpenEventW(EVENT_MODIFY_STATE, FALSE, event_name);
  if (ready) SetEvent(ready);
  Sleep(300000);
  if (window) DestroyWindow(window);
  return 0;
}

bool WriteDump(HANDLE process, DWORD pid, const wchar_t* path, MINIDUMP_TYPE type) {
  HANDLE file = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  BOOL ok = MiniDumpWriteDump(process, pid, file, type, nullptr, nullptr, nullptr);
  CloseHandle(file);
  return ok != FALSE;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc == 3 && wcscmp(argv[1], L"--child") == 0) return Child(argv[2]);
  if (argc != 2) {
    fprintf(stderr, "usage: bench_dumps.exe OUT.dmp\n");
    return 2;
  }
  std::wstring event_name = std::wstring(kReadyEvent) + std::to_wstring(GetCurrentProcessId());
  HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, event_name.c_str());
  wchar_t exe[MAX_PATH];
  GetModuleFileNameW(nullptr, exe, MAX_PATH);
  std::wstring command = L"\"" + std::wstring(exe) + L"\" --child " + event_name;
  STARTUPINFOW si = {};
  si.cb = sizeof(si);
  PROCESS_INFORMATION pi = {};
  if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
    fprintf(stderr, "cannot start the process to dump\n");
    return 1;
  }
  bool ok = WaitForSingleObject(ready, 120000) == WAIT_OBJECT_0;
  if (ok) {
    HANDLE process =
        OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ | PROCESS_DUP_HANDLE, FALSE, pi.dwProcessId);
    // Wine's dump writer needs the process registered for symbols first, as Kelvor's stack walk does.
    SymSetOptions(SYMOPT_DEFERRED_LOADS);
    ok = process && SymInitializeW(process, nullptr, TRUE) &&
         WriteDump(process, pi.dwProcessId, argv[1], kNormalDump);
    if (process) {
      SymCleanup(process);
      CloseHandle(process);
    }
  }
  TerminateProcess(pi.hProcess, 0);
  WaitForSingleObject(pi.hProcess, 10000);
  if (!ok) fprintf(stderr, "the dump was not written\n");
  return ok ? 0 : 1;
}
