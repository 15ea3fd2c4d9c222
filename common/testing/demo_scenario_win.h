// What the scenario drivers that crash the installed demo product share: the registry marks Kelvor
// leaves, the demo's release note (product/demo/release_note_win.h), the names a crash gets, and
// waiting for a crash to be done with. Built on test_support_win.h (suite_testing_win).
//
// Contract: as test_support_win.h, nothing throws; a missing note, key or value reads as empty.
#pragma once
#include <windows.h>

#include <map>
#include <string>
#include <vector>

#include "common/testing/test_support_win.h"

namespace scenario {

using namespace suite::testing;

// The installed product's folder and its dump folder (trailing backslashes), with the record of
// the recording uploader stand-in (kReceivedFile) removed; both "" when not installed.
struct InstalledProduct {
  std::wstring folder, dump;
};
InstalledProduct PrepareInstalled();

// Kelvor's marks live under this key plus the product version.
constexpr wchar_t kMarkKey[] = L"software\\Vemko Security\\Antivirus\\Bug\\";
constexpr wchar_t kVersion[] = L"1.0.0.1";

// Whether the mark of `name` exists under `version`; `data` and `type` receive its value and type.
bool MarkExists(const std::wstring& version, const std::wstring& name, DWORD* data = nullptr,
                DWORD* type = nullptr);
// The mark's value, -1 when there is none.
long Mark(const std::wstring& name, const std::wstring& version = kVersion);
bool SetMark(const std::wstring& name, DWORD value, const std::wstring& version = kVersion);
std::vector<std::wstring> MarkNames(const std::wstring& version);
// Removes every mark of a version.
void DeleteMarks(const std::wstring& version);

// The demo's note: key=value lines; "files" as {name: size}, "marks" as {name: "type:data"}.
struct Note {
  std::map<std::string, std::string> values;
  std::map<std::string, unsigned long> files, filesAtEnd;
  std::map<std::string, std::string> marks;
  bool Has(const std::string& k) const { return values.count(k) != 0; }
  std::string Get(const std::string& k) const { return Has(k) ? values.at(k) : ""; }
};
Note ParseNote(const std::string& text);

// Waits until none of `names` runs any more (by default the demo product and Kelvor: then
// everything a crash does is done). A report window that Kelvor shows is closed untouched, as a
// user closing it at once would. False when they still run after `timeoutMs`.
bool WaitUntilAllEnded(DWORD timeoutMs = 180000,
                       const std::vector<std::wstring>& names = {L"Orv.exe", L"Kelvor.exe"});

// "stem_[Y-M-D_h_m_s]" in local time for each second from `fromSeconds` to `toSeconds` (both
// included) around now: the names a crash in that time gets.
std::vector<std::wstring> CrashNamesAround(const std::wstring& stem, int fromSeconds, int toSeconds);

}  // namespace scenario
