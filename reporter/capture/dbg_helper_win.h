// DbgHelp.dll bound by name at run time, once per process. The singleton loads the library and keeps
// it loaded until the process ends; a function pointer that stays null means the library or that
// export is missing, and its callers then go without that step. The library's calls must not
// overlap: the full-dump worker starts only after the stack walk is done.
#pragma once
#include <windows.h>

#include <dbghelp.h>

#include "common/safe_singleton.h"

namespace kelvor {

class CDbgHelper : public suite::CSafeSingleton<CDbgHelper> {
 public:
  typedef BOOL(WINAPI* MiniDumpWriteDumpFn)(HANDLE, DWORD, HANDLE, MINIDUMP_TYPE,
                                            PMINIDUMP_EXCEPTION_INFORMATION,
                                            PMINIDUMP_USER_STREAM_INFORMATION,
                                            PMINIDUMP_CALLBACK_INFORMATION);
  typedef BOOL(WINAPI* StackWalk64Fn)(DWORD, HANDLE, HANDLE, LPSTACKFRAME64, PVOID,
                                      PREAD_PROCESS_MEMORY_ROUTINE64, PFUNCTION_TABLE_ACCESS_ROUTINE64,
                                      PGET_MODULE_BASE_ROUTINE64, PTRANSLATE_ADDRESS_ROUTINE64);
  typedef BOOL(WINAPI* SymGetModuleInfoW64Fn)(HANDLE, DWORD64, PIMAGEHLP_MODULEW64);
  typedef DWORD64(WINAPI* SymLoadModuleExWFn)(HANDLE, HANDLE, PCWSTR, PCWSTR, DWORD64, DWORD, PMODLOAD_DATA,
                                              DWORD);
  typedef PVOID(WINAPI* SymFunctionTableAccess64Fn)(HANDLE, DWORD64);
  typedef BOOL(WINAPI* SymInitializeFn)(HANDLE, PCSTR, BOOL);
  typedef BOOL(WINAPI* SymCleanupFn)(HANDLE);
  typedef DWORD(WINAPI* SymSetOptionsFn)(DWORD);

  CDbgHelper();
  ~CDbgHelper() override {}

  // Each stays null when the library or the export is missing; callers test before use.
  MiniDumpWriteDumpFn MiniDumpWriteDump = nullptr;
  StackWalk64Fn StackWalk64 = nullptr;
  SymGetModuleInfoW64Fn SymGetModuleInfoW64 = nullptr;
  SymLoadModuleExWFn SymLoadModuleExW = nullptr;
  SymFunctionTableAccess64Fn SymFunctionTableAccess64 = nullptr;
  SymInitializeFn SymInitialize = nullptr;
  SymCleanupFn SymCleanup = nullptr;
  SymSetOptionsFn SymSetOptions = nullptr;
};

}  // namespace kelvor
