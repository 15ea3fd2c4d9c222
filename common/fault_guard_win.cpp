// Hardware-exception containment for 32-bit mingw code: an exception registration of our own on the
// thread's frame-based chain (fs:0), the way __try/__except builds one, and a jump back.
#include "common/fault_guard_win.h"

#include <float.h>

namespace suite {
namespace {

// The registration record comes first: the chain links point at it, and the dispatcher hands its
// address back to the handler.
struct GuardFrame {
  EXCEPTION_REGISTRATION_RECORD record;
  void* jump[5];  // __builtin_setjmp buffer
  DWORD onlyCode;
  volatile DWORD code;
};

EXCEPTION_REGISTRATION_RECORD* ChainHead() {
  EXCEPTION_REGISTRATION_RECORD* head;
  __asm__ __volatile__("movl %%fs:0, %0" : "=r"(head));
  return head;
}

void SetChainHead(EXCEPTION_REGISTRATION_RECORD* head) {
  __asm__ __volatile__("movl %0, %%fs:0" : : "r"(head) : "memory");
}

EXCEPTION_DISPOSITION __cdecl OnFault(EXCEPTION_RECORD* record, void* establisher, CONTEXT*, void*) {
  if (record->ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND)) return ExceptionContinueSearch;
  GuardFrame* frame = static_cast<GuardFrame*>(establisher);
  const DWORD code = record->ExceptionCode;
  if (frame->onlyCode ? code != frame->onlyCode : !IsContainedFault(code)) return ExceptionContinueSearch;
  frame->code = code;
  // Handlers of the frames we abandon get their unwind call first, as with __except; the chain then
  // starts at our record again.
  RtlUnwind(establisher, nullptr, record, nullptr);
  __builtin_longjmp(frame->jump, 1);
}

// A C++ exception must not leave the step with our record still on the chain; it ends the step too.
__attribute__((noinline)) bool CallStep(void (*step)(void*), void* context) {
  try {
    step(context);
    return true;
  } catch (...) {
    return false;
  }
}

}  // namespace

bool IsContainedFault(DWORD code) {
  switch (code) {
    case EXCEPTION_ACCESS_VIOLATION:
    case EXCEPTION_IN_PAGE_ERROR:
    case EXCEPTION_ILLEGAL_INSTRUCTION:
    case EXCEPTION_PRIV_INSTRUCTION:
    case EXCEPTION_DATATYPE_MISALIGNMENT:
    case EXCEPTION_ARRAY_BOUNDS_EXCEEDED:
    case EXCEPTION_INT_DIVIDE_BY_ZERO:
    case EXCEPTION_INT_OVERFLOW:
    case EXCEPTION_FLT_DENORMAL_OPERAND:
    case EXCEPTION_FLT_DIVIDE_BY_ZERO:
    case EXCEPTION_FLT_INEXACT_RESULT:
    case EXCEPTION_FLT_INVALID_OPERATION:
    case EXCEPTION_FLT_OVERFLOW:
    case EXCEPTION_FLT_STACK_CHECK:
    case EXCEPTION_FLT_UNDERFLOW:
      return true;
    default:
      return false;
  }
}

__attribute__((noinline)) bool RunContained(void (*step)(void*), void* context, DWORD* faultCode,
                                            DWORD onlyCode) {
  GuardFrame frame;
  frame.record.Next = ChainHead();
  frame.record.Handler = reinterpret_cast<PEXCEPTION_ROUTINE>(reinterpret_cast<void*>(&OnFault));
  frame.onlyCode = onlyCode;
  frame.code = 0;
  if (__builtin_setjmp(frame.jump) == 0) {
    SetChainHead(&frame.record);
    const bool returned = CallStep(step, context);
    SetChainHead(frame.record.Next);
    if (!returned && faultCode) *faultCode = 0;
    return returned;
  }
  // Back from OnFault: our record is the head again; take it off.
  SetChainHead(frame.record.Next);
  if (frame.code >= EXCEPTION_FLT_DENORMAL_OPERAND && frame.code <= EXCEPTION_FLT_UNDERFLOW) _fpreset();
  if (faultCode) *faultCode = frame.code;
  return false;
}

}  // namespace suite
