// Kelvor's whole run; wWinMain only calls it.
#pragma once
#include <windows.h>

namespace kelvor {

// Always 0: Kelvor ends quietly whatever happened.
int RunKelvor(HINSTANCE instance, const wchar_t* commandLine, int showCommand);

}  // namespace kelvor
