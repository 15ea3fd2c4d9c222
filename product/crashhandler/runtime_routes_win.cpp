// Routes from the C and C++ runtime into the crash hand-off: abort(), std::terminate (an uncaught
// C++ exception), a pure virtual call and an invalid-parameter report. None of them raises an
// exception that the unhandled-exception filter would see; without these the process just ends.
#include <windows.h>

#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <exception>

#include "common/proc_address_win.h"
#include "product/crashhandler/crash_handler_win.h"
#include "product/crashhandler/handle_crash_win.h"

namespace orv {

namespace {

typedef void(__cdecl* InvalidParameterHandler)(const wchar_t*, const wchar_t*, const wchar_t*, unsigned int,
                                               uintptr_t);
typedef void(__cdecl* PureCallHandler)();

// Reports a crash of the given code as raised where the route was called: `frame` is the route's own
// frame address and `returnAddress` its return address, so the context is its caller's as the call
// left it. Taken from the route itself rather than by counting frames up from a captured context,
// which depends on how far up the capture starts (it differs between Windows and Wine).
__attribute__((noinline, noreturn)) void ReportRuntimeCrash(DWORD code, void* frame, void* returnAddress) {
  // Stack storage: this thread never returns, so Kelvor can read both while it runs.
  CONTEXT context;
  EXCEPTION_RECORD record;
  ZeroMemory(&context, sizeof(context));
  ZeroMemory(&record, sizeof(record));
  RtlCaptureContext(&context);  // segments and flags; the frame registers are set below
  // With frame pointers, [frame] is the caller's Ebp and the caller's Esp is just above the return
  // address.
  const DWORD* saved = static_cast<const DWORD*>(frame);
  context.Eip = static_cast<DWORD>(reinterpret_cast<uintptr_t>(returnAddress));
  context.Ebp = saved[0];
  context.Esp = static_cast<DWORD>(reinterpret_cast<uintptr_t>(saved + 2));
  record.ExceptionCode = code;
  record.ExceptionFlags = EXCEPTION_NONCONTINUABLE;
  record.ExceptionAddress = returnAddress;
  EXCEPTION_POINTERS pointers = {&record, &context};
  HandleCrash(&pointers);
}

// Every route reports from its own frame (the routes are ours and keep frame pointers).
#define REPORT_FROM_THIS_ROUTE(code) \
  ::orv::ReportRuntimeCrash((code), __builtin_frame_address(0), __builtin_return_address(0))

__attribute__((noinline)) void __cdecl OnAbortSignal(int) { REPORT_FROM_THIS_ROUTE(kCrashAbort); }

__attribute__((noinline)) void OnTerminate() { REPORT_FROM_THIS_ROUTE(kCrashUncaughtException); }

__attribute__((noinline)) void __cdecl OnPureCall() { REPORT_FROM_THIS_ROUTE(kCrashPureCall); }

__attribute__((noinline)) void __cdecl OnInvalidParameter(const wchar_t*, const wchar_t*, const wchar_t*,
                                                          unsigned int, uintptr_t) {
  REPORT_FROM_THIS_ROUTE(kCrashInvalidParameter);
}

// A C runtime that reports invalid parameters through its _invalid_parameter but lets nobody set
// the handler that function calls (Wine's msvcrt.dll) would just return to the caller with an error:
// its entry becomes a jump to our handler, which takes the same arguments and never returns.
void RedirectInvalidParameter(HMODULE runtime) {
  auto* entry = reinterpret_cast<unsigned char*>(GetProcAddress(runtime, "_invalid_parameter"));
  if (!entry) return;
  unsigned char jump[5] = {0xE9};  // jmp rel32, relative to the end of the jump
  const uint32_t distance = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&OnInvalidParameter) -
                                                  (reinterpret_cast<uintptr_t>(entry) + sizeof(jump)));
  memcpy(jump + 1, &distance, sizeof(distance));
  DWORD was = 0;
  if (!VirtualProtect(entry, sizeof(jump), PAGE_EXECUTE_READWRITE, &was)) return;
  memcpy(entry, jump, sizeof(jump));
  VirtualProtect(entry, sizeof(jump), was, &was);
  FlushInstructionCache(GetCurrentProcess(), entry, sizeof(jump));
}

// Sets the handlers in one C runtime DLL, found by name at run time: the setters that the toolchain
// links are its own emulation (kept for its own functions) and never reach the DLL whose functions
// report an invalid parameter.
void InstallInRuntime(HMODULE runtime) {
  if (!runtime) return;
  typedef InvalidParameterHandler(__cdecl * SetInvalidParameter)(InvalidParameterHandler);
  typedef PureCallHandler(__cdecl * SetPureCall)(PureCallHandler);
  auto setInvalid = suite::ProcAddress<SetInvalidParameter>(runtime, "_set_invalid_parameter_handler");
  auto setPure = suite::ProcAddress<SetPureCall>(runtime, "_set_purecall_handler");
  if (setInvalid)
    setInvalid(&OnInvalidParameter);
  else
    RedirectInvalidParameter(runtime);
  if (setPure) setPure(&OnPureCall);
}

}  // namespace

void InstallRuntimeRoutes() {
  signal(SIGABRT, &OnAbortSignal);
  std::set_terminate(&OnTerminate);
  // The toolchain's own records, for its emulations of what an older msvcrt.dll lacks.
  _set_invalid_parameter_handler(&OnInvalidParameter);
  _set_purecall_handler(&OnPureCall);
  // msvcrt.dll, which this program and its libraries are linked against.
  InstallInRuntime(GetModuleHandleW(L"msvcrt.dll"));
  // The universal C runtime keeps handlers of its own, shared by every module of the process built
  // against it. It is loaded here (and kept) so that they are in place before such a module appears;
  // an older Windows without it has no such module either.
  InstallInRuntime(LoadLibraryW(L"ucrtbase.dll"));
}

}  // namespace orv

// GCC's code calls these from the vtable slot of a pure or deleted virtual function; the
// runtime's own versions print a line and call std::terminate, which would make a pure call look
// like an uncaught exception. Defined here, they take the place of the runtime's.
extern "C" __attribute__((noinline)) void __cxa_pure_virtual() {
  REPORT_FROM_THIS_ROUTE(orv::kCrashPureCall);
}
extern "C" __attribute__((noinline)) void __cxa_deleted_virtual() {
  REPORT_FROM_THIS_ROUTE(orv::kCrashPureCall);
}
