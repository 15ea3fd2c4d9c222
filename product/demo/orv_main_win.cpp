// Orv.exe, the demo product: crashes on command with the product's crash handler installed, and
// serves as the program a restart starts again. Options let a test shape the crash record and ask
// for a note of what existed when the process was released.
//   Orv.exe [options] crash null|divzero|recursion|dll|window|twothreads|nullcall|abort|throw|purecall|
//                           invalidparam|invalidparam-msvcrt|invalidparam-linked
//   Orv.exe [options] mark <file>      writes its command line to <file> and ends (restart target)
//   Orv.exe [options] idle <ms>        waits (a live process to dump)
// --canary NAME makes an inheritable named event that Kelvor must not inherit (ORV_CANARY names it).
// --start-event <name> holds the command until that named event is set (at most a minute), so that
// a test can make many demo processes crash at the same moment.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/proc_address_win.h"
#include "common/protocol/bug_info_switch.h"
#include "common/scoped_handle_win.h"
#include "product/crashhandler/crash_handler_win.h"
#include "product/demo/orv_core_win.h"
#include "product/demo/pending_uploads_win.h"
#include "product/demo/release_note_win.h"

// A pure virtual call: the base's destructor calls through the object while its vtable is the
// base's own, whose slot for Run is the runtime's pure-call entry. Outside the unnamed namespace:
// there the compiler sees every class derived from Task and calls PrintTask::Run directly.
namespace demo {
struct Task {
  virtual void Run() = 0;
  virtual ~Task();
};
Task* volatile g_task = nullptr;
volatile int g_runs = 0;
__attribute__((noinline)) Task::~Task() { g_task->Run(); }
struct PrintTask : Task {
  void Run() override { g_runs = g_runs + 1; }
};
}  // namespace demo

namespace {

struct Tamper {
  bool headerLength = false, totalSize = false, magic = false, address = false;
  uint32_t headerLengthValue = 0, totalSizeValue = 0, magicValue = 0, addressValue = 0;
  bool unterminated = false;
  std::wstring switchText;
  std::wstring appName;
} g_tamper;

uint32_t Number(const std::wstring& text, int base) {
  return static_cast<uint32_t>(wcstoul(text.c_str(), nullptr, base));
}

void ShapeRecord(protocol::BugInfoBlock& block, std::wstring& arguments) {
  if (g_tamper.headerLength) block.headerLength = g_tamper.headerLengthValue;
  if (g_tamper.totalSize) block.totalSize = g_tamper.totalSizeValue;
  if (g_tamper.magic) block.magic = g_tamper.magicValue;
  if (!g_tamper.appName.empty()) protocol::SetSlotText(block.appName, g_tamper.appName);
  if (g_tamper.unterminated) {
    // Slots filled to the last unit with no NUL: a reader must stop at the slot's end.
    const char16_t version[] = u"9.8.7.6-UNTERMINATED-VERSION-X";  // exactly 30 units
    static_assert(sizeof(version) / sizeof(char16_t) == 31, "30 units and the literal's NUL");
    for (int i = 0; i < 30; ++i) block.productVersion[i] = version[i];
    for (int i = 0; i < 261; ++i) block.commandLine[i] = u'C';
  }
  std::wstring fields = arguments.substr(arguments.find(L':') + 1);
  if (g_tamper.address) {
    wchar_t hex[16];
    swprintf(hex, 16, L"%08lX", static_cast<unsigned long>(g_tamper.addressValue));
    fields = hex + fields.substr(fields.find(L','));
  }
  arguments =
      (g_tamper.switchText.empty() ? std::wstring(protocol::kBugInfoSwitch) : g_tamper.switchText) + fields;
}

void CrashNull(int value) {
  volatile int* volatile target = nullptr;
  *target = value;
}

void CrashDivide(int value) {
  volatile int zero = 0;
  volatile int result = value / zero;
  (void)result;
}

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winfinite-recursion"
// Never returns: each frame keeps a live buffer until the stack runs out.
__attribute__((noinline)) int Recurse(int depth) {
  volatile char pad[256];
  pad[0] = static_cast<char>(depth);
  return Recurse(depth + 1) + pad[0];
}
#pragma GCC diagnostic pop

void CrashRecursion(int value) { Recurse(value); }

LRESULT CALLBACK DemoWindowProc(HWND window, UINT message, WPARAM w, LPARAM l) {
  if (message == WM_DESTROY) PostQuitMessage(0);
  return DefWindowProcW(window, message, w, l);
}

// A main window with child windows, shown and pumped once, then the crash with it on screen.
void CrashWithWindow(int value) {
  WNDCLASSW cls = {};
  cls.lpfnWndProc = DemoWindowProc;
  cls.hInstance = GetModuleHandleW(nullptr);
  cls.lpszClassName = L"OrvDemoMain";
  RegisterClassW(&cls);
  HWND main = CreateWindowExW(0, L"OrvDemoMain", L"Orv demo", WS_OVERLAPPEDWINDOW, 10, 10, 320, 200, nullptr,
                              nullptr, cls.hInstance, nullptr);
  CreateWindowExW(0, L"BUTTON", L"Scan", WS_CHILD | WS_VISIBLE, 10, 10, 80, 24, main, nullptr, cls.hInstance,
                  nullptr);
  CreateWindowExW(0, L"EDIT", L"C:\\", WS_CHILD | WS_VISIBLE | WS_BORDER, 10, 40, 200, 24, main, nullptr,
                  cls.hInstance, nullptr);
  ShowWindow(main, SW_SHOW);
  UpdateWindow(main);
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
  CrashNull(value);
}

// Two threads that fault at the same moment: the first hands its crash off, the second arrives
// in the handler while that is under way. The main thread only waits.
DWORD WINAPI FaultWhenStarted(void* start) {
  WaitForSingleObject(start, INFINITE);
  CrashNull(2);
  return 0;
}

void CrashTwoThreads(int) {
  HANDLE start = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  CreateThread(nullptr, 0, &FaultWhenStarted, start, 0, nullptr);
  CreateThread(nullptr, 0, &FaultWhenStarted, start, 0, nullptr);
  Sleep(200);
  SetEvent(start);
  Sleep(INFINITE);
}

OrvTask volatile g_missingTask = nullptr;
volatile int g_sinkValue = 0;

// A call through a null function pointer: the fault is at address 0, outside every module.
void CrashNullCall(int value) {
  g_missingTask(value);
  g_sinkValue = g_sinkValue + 1;  // keeps the call from becoming a jump
}

void CrashAbort(int) { abort(); }

void CrashThrow(int value) { throw std::runtime_error("demo: nobody catches this " + std::to_string(value)); }

void CrashPureCall(int) {
  demo::Task* task = new demo::PrintTask;
  demo::g_task = task;
  delete task;
}

// memcpy_s of one C runtime DLL, looked up by name; null without it.
typedef int(__cdecl* MemcpyS)(void*, size_t, const void*, size_t);
MemcpyS MemcpySOf(HMODULE runtime) { return suite::ProcAddress<MemcpyS>(runtime, "memcpy_s"); }

// A module of the product built against the universal C runtime hands it a null destination.
void CrashInvalidParameter(int) {
  MemcpyS copy = MemcpySOf(LoadLibraryW(L"ucrtbase.dll"));
  const char source[4] = {1, 2, 3, 4};
  if (copy) copy(nullptr, sizeof(source), source, sizeof(source));
  g_sinkValue = g_sinkValue + 1;
}

// The same through msvcrt.dll, the runtime this program is linked against: resolved by name, as a
// module built by another compiler would call it, and as the toolchain links memcpy_s (which hands
// over to msvcrt.dll's where there is one).
void CrashInvalidParameterInMsvcrt(int) {
  MemcpyS copy = MemcpySOf(GetModuleHandleW(L"msvcrt.dll"));
  const char source[4] = {1, 2, 3, 4};
  if (copy) copy(nullptr, sizeof(source), source, sizeof(source));
  g_sinkValue = g_sinkValue + 1;
}

void CrashInvalidParameterLinked(int) {
  const char source[4] = {1, 2, 3, 4};
  memcpy_s(nullptr, sizeof(source), source, sizeof(source));
  g_sinkValue = g_sinkValue + 1;
}

int Crash(const std::wstring& kind) {
  if (kind == L"null")
    OrvCoreRun(&CrashNull, 1);
  else if (kind == L"divzero")
    OrvCoreRun(&CrashDivide, 7);
  else if (kind == L"recursion")
    OrvCoreRun(&CrashRecursion, 0);
  else if (kind == L"dll")
    OrvCoreRun(&OrvCoreFault, 3);
  else if (kind == L"window")
    OrvCoreRun(&CrashWithWindow, 5);
  else if (kind == L"twothreads")
    OrvCoreRun(&CrashTwoThreads, 0);
  else if (kind == L"nullcall")
    OrvCoreRun(&CrashNullCall, 4);
  else if (kind == L"abort")
    OrvCoreRun(&CrashAbort, 0);
  else if (kind == L"throw")
    OrvCoreRun(&CrashThrow, 6);
  else if (kind == L"purecall")
    OrvCoreRun(&CrashPureCall, 0);
  else if (kind == L"invalidparam")
    OrvCoreRun(&CrashInvalidParameter, 0);
  else if (kind == L"invalidparam-msvcrt")
    OrvCoreRun(&CrashInvalidParameterInMsvcrt, 0);
  else if (kind == L"invalidparam-linked")
    OrvCoreRun(&CrashInvalidParameterLinked, 0);
  return 2;  // unknown kind: no crash
}

int Mark(const std::wstring& path) {
  suite::ScopedFile file(
      CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return 1;
  std::string line = demo::Narrow(GetCommandLineW());
  DWORD written = 0;
  WriteFile(file.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
  return 0;
}

// An inheritable handle of the product that Kelvor must not receive: a named event whose handle
// value and name go into the environment, which Kelvor does inherit.
void MakeCanary(const std::wstring& name) {
  SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
  HANDLE canary = CreateEventW(&inherit, TRUE, FALSE, name.c_str());
  wchar_t value[300];
  swprintf(value, 300, L"%lu %ls", static_cast<unsigned long>(reinterpret_cast<uintptr_t>(canary)),
           name.c_str());
  SetEnvironmentVariableW(L"ORV_CANARY", value);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  orv::CrashHandlerOptions options;
  options.productVersion = L"1.0.0.1";
  bool tamper = false;
  std::wstring startEvent;
  int i = 1;
  for (; i < argc; ++i) {
    std::wstring a = argv[i];
    bool hasValue = i + 1 < argc;
    if (a == L"--stem" && hasValue)
      options.nameStem = argv[++i];
    else if (a == L"--version" && hasValue)
      options.productVersion = argv[++i];
    else if (a == L"--show-window")
      options.showWindow = true;
    else if (a == L"--restart")
      options.restart = true;
    else if (a == L"--restart-cmd" && hasValue)
      options.restartCommandLine = argv[++i];
    else if (a == L"--service")
      options.isService = true;
    else if (a == L"--service-name" && hasValue)
      options.serviceName = argv[++i];
    else if (a == L"--full-dump" && hasValue)
      options.fullDumpMode = Number(argv[++i], 10);
    else if (a == L"--reporter" && hasValue)
      options.reporterPath = argv[++i];
    else if (a == L"--release-wait" && hasValue)
      options.releaseWaitMs = Number(argv[++i], 10);
    else if (a == L"--observe" && hasValue)
      demo::g_note.path = argv[++i];
    else if (a == L"--wait-kelvor")
      demo::g_note.waitForReporter = true;
    else if (a == L"--canary" && hasValue)
      MakeCanary(argv[++i]);
    else if (a == L"--app-name" && hasValue)
      tamper = true, g_tamper.appName = argv[++i];
    else if (a == L"--header-length" && hasValue)
      tamper = g_tamper.headerLength = true, g_tamper.headerLengthValue = Number(argv[++i], 10);
    else if (a == L"--total-size" && hasValue)
      tamper = g_tamper.totalSize = true, g_tamper.totalSizeValue = Number(argv[++i], 10);
    else if (a == L"--magic" && hasValue)
      tamper = g_tamper.magic = true, g_tamper.magicValue = Number(argv[++i], 16);
    else if (a == L"--address" && hasValue)
      tamper = g_tamper.address = true, g_tamper.addressValue = Number(argv[++i], 16);
    else if (a == L"--unterminated")
      tamper = g_tamper.unterminated = true;
    else if (a == L"--switch" && hasValue)
      tamper = true, g_tamper.switchText = argv[++i];
    else if (a == L"--start-event" && hasValue)
      startEvent = argv[++i];
    else
      break;
  }
  if (i >= argc) return 2;
  std::wstring command = argv[i];
  std::wstring argument = i + 1 < argc ? argv[i + 1] : L"";

  if (command == L"mark") return Mark(argument);
  if (command == L"idle") {
    Sleep(Number(argument, 10));
    return 0;
  }
  // As a product does at its start: crashes that missed their upload go now.
  demo::StartPendingUploads();
  if (tamper) options.beforeLaunch = &ShapeRecord;
  demo::g_note.productVersion = options.productVersion;
  if (!demo::g_note.path.empty()) options.afterRelease = &demo::WriteReleaseNote;
  orv::InstallCrashHandler(options);
  if (!startEvent.empty()) {
    HANDLE start = CreateEventW(nullptr, TRUE, FALSE, startEvent.c_str());
    if (start) WaitForSingleObject(start, 60000);
  }
  if (command == L"crash") return Crash(argument);
  return 2;
}
