// The crash record (`BugInfoBlock`) a crashed product process prepares in its own memory and Kelvor
// copies out. The layout is shared with the product's crash handler, which is built apart from the
// suite: every offset is fixed and checked at compile time, so neither side can drift.
//
// Ownership: the crashed process owns the record for its whole life and never frees it; Kelvor only
// reads it (ReadProcessMemory into its own copy) and trusts none of it: every text slot is read
// within the slot (SlotText), and the intake checks (reporter/capture/capture_rules.h) refuse a
// record whose header, magic or size is not what this header says.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace protocol {

constexpr uint32_t kBugInfoMagic = 0x90909090u;
constexpr uint32_t kBugInfoSize = 4704;  // total size of the record
constexpr uint32_t kBugInfoHeaderLength =
    12;  // header bytes after the length field, as the product writes it
constexpr uint32_t kBugInfoMaxHeaderLength = 32;
constexpr size_t kX86ContextSize = 716;  // sizeof(CONTEXT) of 32-bit x86

#pragma pack(push, 1)
struct BugInfoBlock {
  uint32_t headerLength;  // 0: bytes of header after this field
  uint32_t magic;         // 4: kBugInfoMagic
  uint32_t totalSize;     // 8: kBugInfoSize
  uint32_t reserved0;     // 12: 0, not read
  // The three fields the stack walk insists on being non-zero: they tell that the handler really
  // captured an exception and a processor context (a record filled by hand or half-written by a
  // dying handler has them zero).
  uint32_t exceptionCode;            // 16: the exception's code
  uint32_t exceptionAddress;         // 20: where it was raised, in the crashed process
  uint32_t processId;                // 24: crashed process id (used by the stack walk)
  uint32_t threadId;                 // 28: crashing thread id (used by the stack walk)
  uint32_t handlerVersion;           // 32: crash handler's record version (1), not read by Kelvor
  uint32_t crashTickCount;           // 36: GetTickCount() at the crash, not read by Kelvor
  uint32_t contextFlags;             // 40: ContextFlags of the saved context below
  uint8_t unread44[92];              // 44..135: not read by Kelvor (zero)
  uint8_t context[kX86ContextSize];  // 136: the crashing thread's 32-bit x86 CONTEXT at the fault
  uint32_t exceptionPointers;        // 852: address of the crashed process's EXCEPTION_POINTERS
  uint8_t unread856[644];            // 856..1499: not read by Kelvor (zero)
  char16_t nameStem[261];            // 1500: stem of the dump and report names
  char16_t appName[261];             // 2022: crashed application's file name, e.g. "Orv.exe"
  char16_t serviceName[261];         // 2544: service to start when the program is a service
  char16_t restartCommandLine[522];  // 3066: command line that restarts the program
  char16_t commandLine[261];         // 4110: command line of the crashed process
  char16_t productVersion[30];       // 4632: product version text
  uint8_t showWindow;                // 4692: non-zero = show the report window
  uint8_t isService;                 // 4693: non-zero = the program is a service
  uint8_t restart;                   // 4694: non-zero = restart the program
  uint8_t unread4695[5];             // 4695..4699: not read by Kelvor
  uint32_t fullDumpMode;  // 4700: 0 none, 1 full dump + delete older ones, other: full dump, keep older
};
#pragma pack(pop)

static_assert(sizeof(BugInfoBlock) == kBugInfoSize, "BugInfoBlock size");
static_assert(offsetof(BugInfoBlock, exceptionCode) == 16, "layout");
static_assert(offsetof(BugInfoBlock, exceptionAddress) == 20, "layout");
static_assert(offsetof(BugInfoBlock, processId) == 24, "layout");
static_assert(offsetof(BugInfoBlock, threadId) == 28, "layout");
static_assert(offsetof(BugInfoBlock, contextFlags) == 40, "layout");
static_assert(offsetof(BugInfoBlock, context) == 136, "layout");
static_assert(offsetof(BugInfoBlock, exceptionPointers) == 852, "layout");
static_assert(offsetof(BugInfoBlock, nameStem) == 1500, "layout");
static_assert(offsetof(BugInfoBlock, appName) == 2022, "layout");
static_assert(offsetof(BugInfoBlock, serviceName) == 2544, "layout");
static_assert(offsetof(BugInfoBlock, restartCommandLine) == 3066, "layout");
static_assert(offsetof(BugInfoBlock, commandLine) == 4110, "layout");
static_assert(offsetof(BugInfoBlock, productVersion) == 4632, "layout");
static_assert(offsetof(BugInfoBlock, showWindow) == 4692, "layout");
static_assert(offsetof(BugInfoBlock, isService) == 4693, "layout");
static_assert(offsetof(BugInfoBlock, restart) == 4694, "layout");
static_assert(offsetof(BugInfoBlock, fullDumpMode) == 4700, "layout");

// The text of a fixed string slot, read only within the slot: a slot the crashed process left
// without a terminating NUL ends at the slot's end instead of running into the next field.
template <size_t N>
std::wstring SlotText(const char16_t (&slot)[N]) {
  std::wstring out;
  for (size_t i = 0; i < N && slot[i]; ++i) out.push_back(static_cast<wchar_t>(slot[i]));
  return out;
}

// Writes text into a slot, cut to leave room for the NUL (used by the product's crash handler).
template <size_t N>
void SetSlotText(char16_t (&slot)[N], const std::wstring& text) {
  size_t n = text.size() < N - 1 ? text.size() : N - 1;
  for (size_t i = 0; i < n; ++i) slot[i] = static_cast<char16_t>(text[i]);
  for (size_t i = n; i < N; ++i) slot[i] = 0;
}

}  // namespace protocol
