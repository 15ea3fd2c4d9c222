// Containment of hardware exceptions (access violations and the like) around a step of a program, for
// 32-bit mingw builds, where `catch (...)` never sees them and there is no __try/__except.
//
// RunContained puts a frame-based handler on the thread's exception chain for the time of the call, so
// handlers inside the step (Windows' and Wine's own guarded probes) still get the first word, and only
// what nobody below handled reaches it. It then unwinds the frames below it and jumps back into
// RunContained, which returns false. C++ destructors of the abandoned frames do not run: keep what
// must be released outside the step and release it after the call.
//
// Ownership: nothing is kept between calls. A false result means the step did not finish: whatever it
// was building is in an unknown state and is to be given up, not used.
#pragma once
#include <windows.h>

#include <type_traits>

namespace suite {

// The exception codes contained: faults of the code itself (access, in-page, illegal or privileged
// instruction, misalignment, bounds, integer and floating-point faults). Stack overflow is not among
// them (its guard page is gone); neither are software exceptions that other code raises and expects
// to see (debug output, C++ exceptions of other runtimes, breakpoints).
bool IsContainedFault(DWORD code);

// Runs step(context). True when it returned; false when a contained fault ended it, with the code in
// `faultCode` when given (0 when a C++ exception left the step instead). With `onlyCode` set, only that
// exception code is contained. Nested use on one thread is allowed; other threads are not affected.
bool RunContained(void (*step)(void*), void* context, DWORD* faultCode = nullptr, DWORD onlyCode = 0);

// The same for any callable, e.g. RunContainedCall([&] { ... }).
template <typename Fn>
bool RunContainedCall(Fn&& fn, DWORD* faultCode = nullptr, DWORD onlyCode = 0) {
  return RunContained([](void* c) { (*static_cast<typename std::remove_reference<Fn>::type*>(c))(); },
                      const_cast<void*>(static_cast<const void*>(&fn)), faultCode, onlyCode);
}

}  // namespace suite
