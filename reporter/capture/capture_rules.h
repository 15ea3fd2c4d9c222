// Platform-free rules of a capture run: the intake checks of the crash record (the "/BugInfo:"
// switch that names it is common/protocol/bug_info_switch.h), the dump and report names, and the
// restart decision. Kept free of Windows calls so that every rule is tested natively; the Windows
// side only feeds them facts. Pure functions: the record reader borrows its memory reader for the
// call and owns nothing afterwards.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "common/protocol/bug_info_switch.h"

namespace kelvor {

// ---- Intake of the record --------------------------------------------------------------------

// Reads `size` bytes at `address` of the crashed process into `buffer`; true only when exactly
// that many bytes were read.
using ReadMemoryFn = std::function<bool(uint32_t address, void* buffer, uint32_t size)>;

enum class IntakeError { None, Unreadable, HeaderTooLong, HeaderTooShort, BadMagic, BadSize };

// The three-step read of the record: header length, header (magic and total size), whole record.
// On success `block` holds exactly protocol::kBugInfoSize bytes.
IntakeError ReadBugInfoBlock(const ReadMemoryFn& read, uint32_t address, std::vector<uint8_t>& block);

// ---- Names -----------------------------------------------------------------------------------

struct LocalTime {
  int year, month, day, hour, minute, second;
};

// stem + "_[Y-M-D_h_m_s].dmp", numbers without leading zeros.
std::wstring DumpFileNameAt(const std::wstring& stem, const LocalTime& t);
// Every ".dmp" in the name replaced by ".txt" / "_FULL.dmp".
std::wstring ReportNameFor(const std::wstring& dumpName);
std::wstring FullDumpNameFor(const std::wstring& dumpName);
// The path tried after `attempt` clashes: every ".dmp" removed, then "_<attempt>.dmp".
std::wstring ClashVariant(const std::wstring& firstPath, int attempt);
constexpr int kMaxDumpNameAttempts = 99;  // the given name, then _1 .. _98

// install + "\" + "dump\"; empty when the install folder is empty.
std::wstring DumpFolderUnder(const std::wstring& installFolder);
// An older full dump that DeleteOlderFullDumps removes: contains "_FULL.dmp" (any case) and not
// the name of the full dump just written.
bool IsOlderFullDump(const std::wstring& fileName, const std::wstring& keepName);
// Whether a full dump may go: an older one by name that was last written before this crash
// happened. A full dump written since then belongs to a crash at the same time as ours (its
// Kelvor may still be writing it) and stays. Times are FILETIME values.
bool MayDeleteFullDump(const std::wstring& fileName, const std::wstring& keepName, uint64_t lastWriteTime,
                       uint64_t crashTime);

// The crashed process names its files; its stem is made safe before any name is formed from it:
// path separators, reserved characters, control characters and spaces become '_', so do the dots
// of "..", and the stem is cut to maxChars (never between the halves of a surrogate pair). The
// uploader cuts every value of its command line at the first space, hence no spaces either.
std::wstring SafeNameStem(const std::wstring& stem, size_t maxChars);
// Characters a name adds to its stem at most: "_[YYYY-MM-DD_hh_mm_ss]", a clash number "_98",
// "_FULL", a clash number of the full dump and ".dmp".
constexpr size_t kLongestNameTail = 37;
// The longest stem whose every file still fits a path of MAX_PATH in the given folder (0 when
// none does).
size_t NameStemBudget(size_t folderChars);

// ---- Restart ---------------------------------------------------------------------------------

// "OrvSvc.exe", "QuarnSvc.exe", "Orv.exe", "OrvTray.exe" in any letter case, whole name.
bool IsProductProcessName(const std::wstring& appName);

// Whether the run waits for the crashed process and goes to the restart step.
bool TakesRestartPath(bool windowShown, bool restartByte, bool restartChecked, bool isProductProcess);

enum class RestartAction { Nothing, StartService, RunCommandLine };
RestartAction ChooseRestartAction(bool restartByte, bool serviceByte, const std::wstring& serviceName);

}  // namespace kelvor
