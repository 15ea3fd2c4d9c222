// The crashed thread's stack, walked from the processor context the crash handler saved.
#include "reporter/report/stack_walk_win.h"

#include <psapi.h>

#include <cstring>

#include "common/diag_log.h"
#include "common/protocol/bug_info.h"
#include "common/scoped_handle_win.h"
#include "reporter/capture/dbg_helper_win.h"
#include "reporter/report/crash_report_win.h"

namespace kelvor {

namespace {
// mingw's headers lack it: register a module without loading its symbols.
constexpr DWORD kSymLoadNoSymbols = 4;
// SYMOPT_UNDNAME | SYMOPT_LOAD_LINES | SYMOPT_IGNORE_CVREC | SYMOPT_FAIL_CRITICAL_ERRORS |
// SYMOPT_EXACT_SYMBOLS
constexpr DWORD kSymOptions = 0x692;
constexpr unsigned kImageNameChars = 255;
static_assert(sizeof(CONTEXT) == protocol::kX86ContextSize, "the record holds a 32-bit x86 CONTEXT");
}  // namespace

DWORD64 GetFrameModuleBase(HANDLE process, DWORD64 address, IMAGEHLP_MODULEW64& module) {
  CDbgHelper* dbg = CDbgHelper::Instance();
  if (dbg->SymGetModuleInfoW64 && dbg->SymGetModuleInfoW64(process, address, &module))
    return module.BaseOfImage;

  MEMORY_BASIC_INFORMATION region = {};
  if (!VirtualQueryEx(process, reinterpret_cast<LPCVOID>(static_cast<DWORD_PTR>(address)), &region,
                      sizeof region))
    return 0;
  const DWORD64 base = static_cast<DWORD64>(reinterpret_cast<DWORD_PTR>(region.AllocationBase));
  wchar_t path[MAX_PATH + 1] = {};
  // Memory that is no module (a stack, the heap) keeps its allocation base but gets no name.
  if (!GetModuleFileNameExW(process, static_cast<HMODULE>(region.AllocationBase), path, MAX_PATH))
    return base;

  suite::ScopedFile file(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                     FILE_ATTRIBUTE_NORMAL, nullptr));
  if (dbg->SymLoadModuleExW)
    dbg->SymLoadModuleExW(process, file.valid() ? file.get() : nullptr, path, nullptr, base, 0, nullptr,
                          kSymLoadNoSymbols);
  file.Close();

  module.BaseOfImage = base;
  wcsncpy(module.ImageName, path, kImageNameChars);
  module.ImageName[kImageNameChars] = 0;
  return base;
}

DWORD64 CALLBACK FrameModuleBaseCallback(HANDLE process, DWORD64 address) {
  IMAGEHLP_MODULEW64 module = {};
  module.SizeOfStruct = sizeof module;
  return GetFrameModuleBase(process, address, module);
}

bool FormatStackFrame(HANDLE process, DWORD64 pc, CStackSignature& walk) {
  IMAGEHLP_MODULEW64 module = {};
  module.SizeOfStruct = sizeof module;
  FrameModule found;
  found.base = GetFrameModuleBase(process, pc, module);
  found.found = found.base != 0;
  if (found.found) {
    found.imagePath = module.ImageName;
    found.moduleName = module.ModuleName;
  }
  walk.AddFrame(pc, found);
  return true;
}

bool CCrashReport::WalkCrashStack(const protocol::BugInfoBlock* record, unsigned maxFrames,
                                  std::wstring& signature, std::wstring& stackText, bool& allInNtdll) {
  if (maxFrames == 0 || !record) return false;
  suite::DiagPhase phase("stack_walk");
  const protocol::BugInfoBlock& block = *record;
  // A record without an exception and a context to walk from: no stack.
  if (!block.contextFlags || !block.exceptionAddress || !block.exceptionCode) return false;

  suite::ScopedKernelObject process(
      OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, block.processId));
  if (!process) {
    suite::DiagFailure("OpenProcess", GetLastError());
    return false;
  }
  suite::ScopedKernelObject thread(
      OpenThread(THREAD_GET_CONTEXT | THREAD_QUERY_INFORMATION, FALSE, block.threadId));
  if (!thread) {
    suite::DiagFailure("OpenThread", GetLastError());
    return false;
  }

  // The walk changes the context as it goes: it works on our own copy.
  CONTEXT context;
  std::memcpy(&context, block.context, sizeof context);
  STACKFRAME64 frame = {};
  frame.AddrPC.Offset = context.Eip;
  frame.AddrPC.Mode = AddrModeFlat;
  frame.AddrFrame.Offset = context.Ebp;
  frame.AddrFrame.Mode = AddrModeFlat;
  frame.AddrStack.Offset = context.Esp;
  frame.AddrStack.Mode = AddrModeFlat;

  CDbgHelper* dbg = CDbgHelper::Instance();
  if (dbg->SymSetOptions) dbg->SymSetOptions(kSymOptions);
  bool symbolsUp = false;
  if (dbg->SymInitialize) {
    suite::DiagPhase symbols("sym_initialize");
    symbolsUp = dbg->SymInitialize(process.get(), nullptr, FALSE);
  }
  if (!dbg->StackWalk64) {
    if (symbolsUp && dbg->SymCleanup) dbg->SymCleanup(process.get());
    return false;
  }

  CStackSignature walk(ProcessOneShotFlags(), faultModule);
  walk.signature = signature;
  walk.Begin();
  DWORD64 previousPc = frame.AddrPC.Offset;
  WalkPosition previous;
  bool first = true;
  while (dbg->StackWalk64(IMAGE_FILE_MACHINE_I386, process.get(), thread.get(), &frame, &context, nullptr,
                          dbg->SymFunctionTableAccess64, FrameModuleBaseCallback, nullptr)) {
    const DWORD64 pc = frame.AddrPC.Offset;
    // Running off the end of the chain: a zero return address after real ones.
    if (pc == 0 && previousPc != 0) break;
    previousPc = pc;
    // A walk that stands still (a process that died under it) would print one frame over and over.
    const WalkPosition now = {pc, frame.AddrFrame.Offset, frame.AddrStack.Offset};
    if (!first && !WalkMadeProgress(previous, now)) break;
    previous = now;
    first = false;
    FormatStackFrame(process.get(), pc, walk);
    if (walk.frames >= maxFrames) break;
  }
  walk.Finish();

  signature = walk.signature;
  stackText = walk.stackText;
  allInNtdll = walk.allInNtdll;
  if (dbg->SymCleanup) dbg->SymCleanup(process.get());
  return !signature.empty();
}

}  // namespace kelvor
