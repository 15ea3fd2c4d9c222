// The platform-free rules of a capture run.
#include "reporter/capture/capture_rules.h"

#include <cstring>
#include <cwchar>

#include "common/path.h"
#include "common/protocol/bug_info.h"
#include "common/protocol/file_names.h"
#include "common/utf16_cut.h"
#include "common/wformat.h"

namespace kelvor {

namespace {

uint32_t Le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

}  // namespace

IntakeError ReadBugInfoBlock(const ReadMemoryFn& read, uint32_t address, std::vector<uint8_t>& block) {
  block.clear();
  uint8_t lengthBytes[4];
  if (!read(address, lengthBytes, 4)) return IntakeError::Unreadable;
  uint32_t headerLength = Le32(lengthBytes);
  if (headerLength > protocol::kBugInfoMaxHeaderLength) return IntakeError::HeaderTooLong;
  // Fewer than 8 header bytes would leave the magic or the size unread: such a record is refused.
  if (headerLength < 8) return IntakeError::HeaderTooShort;

  std::vector<uint8_t> header(headerLength);
  if (!read(address + 4, header.data(), headerLength)) return IntakeError::Unreadable;
  if (Le32(header.data()) != protocol::kBugInfoMagic) return IntakeError::BadMagic;
  // The size is checked before the read so that a forged size never decides how much is copied.
  if (Le32(header.data() + 4) != protocol::kBugInfoSize) return IntakeError::BadSize;

  std::vector<uint8_t> whole(protocol::kBugInfoSize);
  if (!read(address, whole.data(), protocol::kBugInfoSize)) return IntakeError::Unreadable;
  block.swap(whole);
  return IntakeError::None;
}

std::wstring DumpFileNameAt(const std::wstring& stem, const LocalTime& t) {
  return suite::WFormat(L"%s_[%d-%d-%d_%d_%d_%d]", stem, t.year, t.month, t.day, t.hour, t.minute, t.second) +
         protocol::kDumpExtension;
}

std::wstring ReportNameFor(const std::wstring& dumpName) {
  return suite::ReplaceAll(dumpName, protocol::kDumpExtension, protocol::kReportExtension);
}

std::wstring FullDumpNameFor(const std::wstring& dumpName) {
  return suite::ReplaceAll(dumpName, protocol::kDumpExtension, protocol::kFullDumpSuffix);
}

std::wstring ClashVariant(const std::wstring& firstPath, int attempt) {
  return suite::ReplaceAll(firstPath, protocol::kDumpExtension, L"") + suite::WFormat(L"_%d", attempt) +
         protocol::kDumpExtension;
}

std::wstring DumpFolderUnder(const std::wstring& installFolder) {
  if (installFolder.empty()) return std::wstring();
  return suite::WithTrailingBackslash(installFolder) + protocol::kDumpFolderName;
}

bool IsOlderFullDump(const std::wstring& fileName, const std::wstring& keepName) {
  return suite::ContainsNoCase(fileName, protocol::kFullDumpSuffix) &&
         !suite::ContainsNoCase(fileName, keepName);
}

bool MayDeleteFullDump(const std::wstring& fileName, const std::wstring& keepName, uint64_t lastWriteTime,
                       uint64_t crashTime) {
  return IsOlderFullDump(fileName, keepName) && lastWriteTime < crashTime;
}

std::wstring SafeNameStem(const std::wstring& stem, size_t maxChars) {
  static const wchar_t kReserved[] = L"<>:\"/\\|?* ";
  std::wstring safe = stem;
  for (size_t i = 0; i < safe.size(); ++i) {
    wchar_t c = safe[i];
    bool dotRun =
        c == L'.' && ((i > 0 && stem[i - 1] == L'.') || (i + 1 < stem.size() && stem[i + 1] == L'.'));
    if (c < 0x20 || c == 0x7F || wcschr(kReserved, c) || dotRun) safe[i] = L'_';
  }
  // Only a stem that is too long is cut; one that fits stays as it stands.
  return safe.size() > maxChars ? suite::CutWithoutSplittingPairs(safe, maxChars) : safe;
}

size_t NameStemBudget(size_t folderChars) {
  const size_t kMaxPathChars = 259;  // MAX_PATH with its NUL
  return folderChars + kLongestNameTail >= kMaxPathChars ? 0 : kMaxPathChars - kLongestNameTail - folderChars;
}

bool IsProductProcessName(const std::wstring& appName) {
  static const wchar_t* const kProducts[] = {L"OrvSvc.exe", L"QuarnSvc.exe", L"Orv.exe", L"OrvTray.exe"};
  if (appName.empty()) return false;
  for (const wchar_t* name : kProducts)
    if (suite::EqualsNoCase(appName, name)) return true;
  return false;
}

bool TakesRestartPath(bool windowShown, bool restartByte, bool restartChecked, bool isProductProcess) {
  return (!windowShown && restartByte) || (restartChecked && isProductProcess);
}

RestartAction ChooseRestartAction(bool restartByte, bool serviceByte, const std::wstring& serviceName) {
  if (!restartByte) return RestartAction::Nothing;
  if (serviceByte && !serviceName.empty()) return RestartAction::StartService;
  return RestartAction::RunCommandLine;
}

}  // namespace kelvor
