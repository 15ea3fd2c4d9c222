// The platform-free half of the stack walk: which modules are ours, how a frame is printed, and
// how the frame signature and the fault module are formed from the frames. A CStackSignature writes
// into the one-shot flags and the fault-module string its creator lends it, which must outlive it.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace kelvor {

constexpr size_t kSuiteModuleCount = 43;
extern const wchar_t* const SuiteModuleNames[kSuiteModuleCount];

// True when fileName is one of SuiteModuleNames (case-insensitive, whole name). For a non-empty
// name isNtdll becomes whether it is "ntdll.dll"; an empty name leaves it alone.
bool IsSuiteModule(const std::wstring& fileName, bool& isNtdll);

// "0x%llp  0x%llp  %s\r\n": program counter, offset (or the counter again), module name.
std::wstring FormatFrameLine(uint64_t pc, uint64_t offsetOrPc, const std::wstring& moduleName);

// Taken once per process and never set back: a second walk in the same process keeps the fault
// module and first frame offset that the first one found.
struct OneShotFlags {
  bool faultModulePending = true;
  bool firstOffsetPending = true;
};
OneShotFlags& ProcessOneShotFlags();

constexpr uint64_t kNoOffset = ~0ULL;  // a frame whose module was not found

// What the module lookup found for one frame.
struct FrameModule {
  bool found = false;
  uint64_t base = 0;
  std::wstring imagePath;   // full path of the module's image (may be empty)
  std::wstring moduleName;  // the short name the symbol handler reports (empty from the fallback)
};

// Accumulates one walk. Begin when the walk starts, AddFrame per frame, Finish at the end.
class CStackSignature {
 public:
  CStackSignature(OneShotFlags& flags, std::wstring& faultModule)
      : flags_(flags), faultModule_(faultModule) {}

  void Begin();
  void AddFrame(uint64_t pc, const FrameModule& module);
  // Trims the signature, falls back to the first frame offset, defaults the fault module.
  void Finish();

  std::wstring signature;
  std::wstring stackText;
  bool allInNtdll = true;
  unsigned frames = 0;
  long long firstOffset = 0;

 private:
  OneShotFlags& flags_;
  std::wstring& faultModule_;
  bool isNtdll_ = true;
};

// Where a walk stands after a step: program counter, frame and stack addresses.
struct WalkPosition {
  uint64_t pc = 0, frame = 0, stack = 0;
};
// A step up the stack moves the stack or the frame address upwards; one that moves neither
// (the same frame again, as a walk of a process that died under it gives) is no progress.
bool WalkMadeProgress(const WalkPosition& previous, const WalkPosition& next);

}  // namespace kelvor
