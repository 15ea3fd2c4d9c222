// OrvCore.dll: the demo product's library, on the call path of every demo crash.
//
// Nothing is owned across the calls; OrvCoreFault never returns (it crashes, which is its job).
#pragma once

#ifdef ORV_CORE_BUILD
#define ORV_CORE_API extern "C" __declspec(dllexport)
#else
#define ORV_CORE_API extern "C" __declspec(dllimport)
#endif

typedef void (*OrvTask)(int argument);

// Runs a task of the program through the library, as the product's work does.
ORV_CORE_API void OrvCoreRun(OrvTask task, int argument);
// Writes through a null pointer inside the library itself.
ORV_CORE_API void OrvCoreFault(int argument);
