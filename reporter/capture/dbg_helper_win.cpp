// Run-time binding of DbgHelp.dll.
#include "reporter/capture/dbg_helper_win.h"

#include "common/diag_log.h"
#include "common/proc_address_win.h"

namespace kelvor {

namespace {
template <typename Fn>
void Bind(HMODULE module, const char* name, Fn& target) {
  target = suite::ProcAddress<Fn>(module, name);
}
}  // namespace

CDbgHelper::CDbgHelper() {
  // A bare name: the normal search order finds a copy beside Kelvor first. Never freed.
  suite::DiagPhase phase("dbghelp_load");
  HMODULE module = LoadLibraryW(L"DbgHelp.dll");
  if (!module) {
    suite::DiagFailure("LoadLibraryW", GetLastError());
    return;
  }
  Bind(module, "StackWalk64", StackWalk64);
  Bind(module, "SymGetModuleInfoW64", SymGetModuleInfoW64);
  Bind(module, "SymLoadModuleExW", SymLoadModuleExW);
  Bind(module, "MiniDumpWriteDump", MiniDumpWriteDump);
  Bind(module, "SymFunctionTableAccess64", SymFunctionTableAccess64);
  Bind(module, "SymInitialize", SymInitialize);
  Bind(module, "SymCleanup", SymCleanup);
  Bind(module, "SymSetOptions", SymSetOptions);
}

}  // namespace kelvor
