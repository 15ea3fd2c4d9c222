// Stands in for DbgHelp.dll beside Kelvor in tests: the dump call writes a few bytes and fails, as
// a dump cut off by a failing disk or a vanishing process does, and there is no StackWalk64, so the
// stack walk cannot start. Kelvor finds this copy first because it loads DbgHelp.dll by bare name.
#include <windows.h>

extern "C" {

__declspec(dllexport) BOOL WINAPI MiniDumpWriteDump(HANDLE, DWORD, HANDLE file, DWORD, void*, void*, void*) {
  const char partial[] = "MDMP cut off";
  DWORD written = 0;
  WriteFile(file, partial, sizeof partial - 1, &written, nullptr);
  SetLastError(ERROR_WRITE_FAULT);
  return FALSE;
}

__declspec(dllexport) DWORD WINAPI SymSetOptions(DWORD options) { return options; }
__declspec(dllexport) BOOL WINAPI SymInitialize(HANDLE, const char*, BOOL) { return TRUE; }
__declspec(dllexport) BOOL WINAPI SymCleanup(HANDLE) { return TRUE; }

}  // extern "C"
