// File and folder names that one program writes and another reads: the dump folder and the name
// parts of a crash's files, Drummet's files and folders (and its mutex), the programs' own file
// names, and "config.ini" with its sections and keys. One place for each name; the rules that form a
// whole name stay with their owner (Kelvor forms the dump, report and full-dump names,
// reporter/capture/capture_rules.h; Ulvane derives the report and archive paths from the dump's,
// uploader/crash_args.h; Drummet names its own files, kerneldump/report_package.h), because their
// letter-case rules differ on purpose: Kelvor replaces the ".dmp" it wrote, Ulvane accepts any case
// in a name handed over on its command line.
//
// Only names; docs/CONTRACTS.md lists who writes and who reads each file.
#pragma once

namespace protocol {

// ---- A crash's files, in <install folder>\dump\ -----------------------------------------------------
constexpr wchar_t kDumpFolderName[] = L"dump\\";     // under the install folder
constexpr wchar_t kDumpExtension[] = L".dmp";        // the minidump: <stem>_[Y-M-D_h_m_s].dmp
constexpr wchar_t kReportExtension[] = L".txt";      // the report (UTF-16LE), beside its dump
constexpr wchar_t kFullDumpSuffix[] = L"_FULL.dmp";  // the full-memory dump, in place of ".dmp"
constexpr wchar_t kArchiveExtension[] = L".zip";     // Ulvane's archive, in place of ".dmp"

// ---- Drummet's files ---------------------------------------------------------------------------------
// The information file packed beside each kernel dump; the archive is the dump's file name + ".zip"
// in Drummet's own "dump\" folder.
constexpr wchar_t kInfoFileName[] = L"info.ini";
// The user's data folder that holds info.ini while it is packed: <LocalAppDataLow>\Vemko\Ossary\.
constexpr wchar_t kDataFolderParent[] = L"Vemko";
constexpr wchar_t kDataFolderName[] = L"Ossary";
// Beside Drummet, made by the installer: the product version (read only), and the "log\" folder whose
// creation time is the oldest a reported dump may be.
constexpr wchar_t kVersionXmlName[] = L"version.xml";
constexpr wchar_t kLogFolderName[] = L"log\\";
// Not a file: the machine-wide mutex that keeps a second Drummet from running beside the first.
constexpr wchar_t kDrummetMutexName[] = L"Global\\DRUMMETPROTECTOR";

// ---- The programs, side by side in the install folder ------------------------------------------------
constexpr wchar_t kReporterFileName[] = L"Kelvor.exe";
constexpr wchar_t kUploaderFileName[] = L"Ulvane.exe";
constexpr wchar_t kTransportFileName[] = L"Communication.dll";  // loaded by Ulvane from its own folder

// ---- "config.ini" beside the programs (profile file, read only) ---------------------------------------
constexpr wchar_t kConfigIniName[] = L"config.ini";
constexpr wchar_t kNetworkSection[] = L"network";
constexpr wchar_t kReportUrlKey[] = L"BugURL";          // report server: Ulvane's archive, Drummet
constexpr wchar_t kInfoUrlKey[] = L"BugInfoUploadURL";  // information server: Ulvane's first post
constexpr wchar_t kSettingsSection[] = L"vkconfig";
constexpr wchar_t kLanguageKey[] = L"nLanguage";  // Kelvor's report window

}  // namespace protocol
