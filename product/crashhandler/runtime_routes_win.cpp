// Routes from the C and C++ runtime into the crash hand-off: abort(), std::terminate (an uncaught
// C++ exception), a pure virtual call and an invalid-parameter report. None of them raises an
// exception that the unhandled-exception filter would see; without these the process just ends.
#include <windows.h>

#include <csignal>
#include <cstdlib>
#include <exception>

#include "product/crashhandler/crash_handler_win.h"
#include "product/crashhandler/handle_crash_win.h"

namespace orv {

namespace {

typedef void(__cdecl* InvalidParameterHandler)(const wchar_t*, const wchar_t*, const wchar_t*, unsigned int,
                                               uintptr_t);
typedef void(__cdecl* PureCallHandler)();

// Reports a crash of the given code as if it were raised `frames` calls up from here: the
// context is captured now and this function's own frames (ours, all with frame pointers) are
// unwound, so the walk starts in the code that gave up, not in the handler.
__attribute__((noinline, noreturn)) void ReportRuntimeCrash(DWORD code, int frames) {
  // Stack storage: this thread never returns, so Kelvor can read both while it runs.
  CONTEXT context;
  EXCEPTION_RECORD record;
  ZeroMemory(&context, sizeof(context));
  ZeroMemory(&record, sizeof(record));
  RtlCaptureContext(&context);
  // RtlCaptureContext leaves Ebp at this function's frame: [Ebp] is the caller's Ebp, [Ebp + 4]
  // the return address into it.
  for (int i = 0; i < frames + 1 && context.Ebp; ++i) {
    const DWORD* frame = reinterpret_cast<const DWORD*>(static_cast<uintptr_t>(context.Ebp));
    context.Eip = frame[1];
    context.Esp = context.Ebp + 2 * sizeof(DWORD);
    context.Ebp = frame[0];
  }
  record.ExceptionCode = code;
  record.ExceptionFlags = EXCEPTION_NONCONTINUABLE;
  record.ExceptionAddress = reinterpret_cast<void*>(static_cast<uintptr_t>(context.Eip));
  EXCEPTION_POINTERS pointers = {&record, &context};
  HandleCrash(&pointers);
}

// Each handler below is one frame between the runtime and ReportRuntimeCrash.
__attribute__((noinline)) void __cdecl OnAbortSignal(int) { ReportRuntimeCrash(kCrashAbort, 1); }

__attribute__((noinline)) void OnTerminate() { ReportRuntimeCrash(kCrashUncaughtException, 1); }

__attribute__((noinline)) void __cdecl OnPureCall() { ReportRuntimeCrash(kCrashPureCall, 1); }

__attribute__((noinline)) void __cdecl OnInvalidParameter(const wchar_t*, const wchar_t*, const wchar_t*,
                                                          unsigned int, uintptr_t) {
  ReportRuntimeCrash(kCrashInvalidParameter, 1);
}

// The universal C runtime keeps its own handlers, shared by every module of the process that is
// built against it. It is loaded here (and kept) so that the handlers are in place before such a
// module appears.
void InstallInUniversalRuntime() {
  HMODULE ucrt = LoadLibraryW(L"ucrtbase.dll");
  if (!ucrt) return;  // an older Windows without it: no module can use it either
  typedef InvalidParameterHandler(__cdecl * SetInvalidParameter)(InvalidParameterHandler);
  typedef PureCallHandler(__cdecl * SetPureCall)(PureCallHandler);
  auto setInvalid = reinterpret_cast<SetInvalidParameter>(
      reinterpret_cast<void*>(GetProcAddress(ucrt, "_set_invalid_parameter_handler")));
  auto setPure =
      reinterpret_cast<SetPureCall>(reinterpret_cast<void*>(GetProcAddress(ucrt, "_set_purecall_handler")));
  if (setInvalid) setInvalid(&OnInvalidParameter);
  if (setPure) setPure(&OnPureCall);
}

}  // namespace

void InstallRuntimeRoutes() {
  signal(SIGABRT, &OnAbortSignal);
  std::set_terminate(&OnTerminate);
  // The C runtime this program links (msvcrt.dll, where it has these handlers).
  _set_invalid_parameter_handler(&OnInvalidParameter);
  _set_purecall_handler(&OnPureCall);
  InstallInUniversalRuntime();
}

}  // namespace orv

// GCC's code calls these from the vtable slot of a pure or deleted virtual function; the
// runtime's own versions print a line and call std::terminate, which would make a pure call look
// like an uncaught exception. Defined here, they take the place of the runtime's.
extern "C" __attribute__((noinline)) void __cxa_pure_virtual() {
  orv::ReportRuntimeCrash(orv::kCrashPureCall, 1);
}
extern "C" __attribute__((noinline)) void __cxa_deleted_virtual() {
  orv::ReportRuntimeCrash(orv::kCrashPureCall, 1);
}
