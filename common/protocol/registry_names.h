// Registry key and value names that the programs and the product share, and the one environment
// variable they read. One place for each name: a key that the installer or the product writes and
// a program reads (or one program writes and another reads) is named once, here. docs/CONTRACTS.md
// says who writes and who reads each.
//
// Only names: opening, reading and the meaning of a missing value are each reader's own (a missing
// key or value is never an error to the user; every reader falls back quietly).
#pragma once

namespace protocol {

// ---- The product's uninstall key (HKEY_LOCAL_MACHINE, 32-bit view) --------------------------------
constexpr wchar_t kUninstallKey[] =
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Vemko Antivirus";
constexpr wchar_t kInstallDirValue[] = L"InstallDir";  // REG_SZ, written by the installer
// REG_SZ, Drummet's own: the newest kernel dump reported and the newest one given up.
constexpr wchar_t kLastDmpTimeValue[] = L"LastDmpTime";
constexpr wchar_t kPassedOverDmpTimeValue[] = L"PassedOverDmpTime";
// REG_SZ, Drummet's own: "<time> <first found> <runs>" of the dump it waits for because it can't be
// opened; removed once the walk is past that dump.
constexpr wchar_t kUnreadableDmpValue[] = L"UnreadableDmp";

// ---- Report marks (HKEY_CURRENT_USER) -------------------------------------------------------------
// + "\" + product version; one REG_DWORD per dump named by the dump's file name: Kelvor creates it
// with 0, Ulvane sets it to 1 after the information post and deletes it when the crash is done.
constexpr wchar_t kBugMarkKey[] = L"software\\Vemko Security\\Antivirus\\Bug";

// ---- Windows' crash-dump settings (HKEY_LOCAL_MACHINE), read and repaired by Drummet --------------
constexpr wchar_t kCrashControlKey[] = L"SYSTEM\\CurrentControlSet\\Control\\CrashControl";
constexpr wchar_t kMinidumpDirValue[] = L"MinidumpDir";            // REG_SZ or REG_EXPAND_SZ
constexpr wchar_t kCrashDumpEnabledValue[] = L"CrashDumpEnabled";  // REG_DWORD

// ---- Drummet's user identity (the logged-on user's HKEY_CURRENT_USER) -----------------------------
constexpr wchar_t kIdentityKey[] = L"SOFTWARE\\Vemko Security\\Swiftor";
constexpr wchar_t kIdentityValue[] = L"swiftor-id";  // REG_SZ

// ---- The opt-in diagnostic log (common/diag_log.h, docs/DIAGNOSTICS.md) ---------------------------
// The folder that receives the logs: the environment variable first, else the REG_SZ value under
// HKEY_LOCAL_MACHINE (32-bit view).
constexpr wchar_t kDiagLogEnvironment[] = L"VEMKO_DIAG_LOG";
constexpr wchar_t kDiagLogKey[] = L"SOFTWARE\\Vemko Security\\Antivirus";
constexpr wchar_t kDiagLogValue[] = L"DiagLogFolder";

}  // namespace protocol
