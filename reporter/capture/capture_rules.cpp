// The platform-free rules of a capture run.
#include "reporter/capture/capture_rules.h"

#include <cstring>
#include <cwchar>

#include "common/path.h"
#include "common/wformat.h"
#include "reporter/capture/bug_info.h"

namespace kelvor {

namespace {

wchar_t Lower(wchar_t c) { return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c + 32) : c; }

size_t FindNoCase(const std::wstring& text, const std::wstring& needle) {
  for (size_t i = 0; i + needle.size() <= text.size(); ++i) {
    size_t k = 0;
    while (k < needle.size() && Lower(text[i + k]) == Lower(needle[k])) ++k;
    if (k == needle.size()) return i;
  }
  return std::wstring::npos;
}

bool IsSpace(wchar_t c) {
  return c == L' ' || c == L'\t' || c == L'\n' || c == L'\r' || c == L'\v' || c == L'\f';
}

int HexDigit(wchar_t c) {
  if (c >= L'0' && c <= L'9') return c - L'0';
  if (c >= L'a' && c <= L'f') return c - L'a' + 10;
  if (c >= L'A' && c <= L'F') return c - L'A' + 10;
  return -1;
}

// A scanner over the text after the switch with the conversions the pattern uses.
class Scanner {
 public:
  Scanner(const std::wstring& text, size_t pos) : text_(text), pos_(pos) {}

  // %p / %llp: optional blanks, optional "0x", hexadecimal digits.
  bool Hex(uint64_t& value) {
    SkipSpace();
    size_t p = pos_;
    if (p + 1 < text_.size() && text_[p] == L'0' && (text_[p + 1] == L'x' || text_[p + 1] == L'X') &&
        p + 2 < text_.size() && HexDigit(text_[p + 2]) >= 0)
      p += 2;
    if (p >= text_.size() || HexDigit(text_[p]) < 0) return false;
    uint64_t v = 0;
    while (p < text_.size() && HexDigit(text_[p]) >= 0)
      v = (v << 4) | static_cast<uint64_t>(HexDigit(text_[p++]));
    pos_ = p;
    value = v;
    return true;
  }

  // %d: optional blanks, optional sign, decimal digits; stored as the 32-bit pattern.
  bool Decimal(uint32_t& value) {
    SkipSpace();
    size_t p = pos_;
    bool negative = false;
    if (p < text_.size() && (text_[p] == L'+' || text_[p] == L'-')) negative = text_[p++] == L'-';
    if (p >= text_.size() || text_[p] < L'0' || text_[p] > L'9') return false;
    uint32_t v = 0;
    while (p < text_.size() && text_[p] >= L'0' && text_[p] <= L'9')
      v = v * 10 + static_cast<uint32_t>(text_[p++] - L'0');
    pos_ = p;
    value = negative ? 0u - v : v;
    return true;
  }

  bool Literal(wchar_t c) {
    if (pos_ < text_.size() && text_[pos_] == c) {
      ++pos_;
      return true;
    }
    return false;
  }

 private:
  void SkipSpace() {
    while (pos_ < text_.size() && IsSpace(text_[pos_])) ++pos_;
  }
  const std::wstring& text_;
  size_t pos_;
};

uint32_t Le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

}  // namespace

BugInfoSwitch ParseBugInfoSwitch(const std::wstring& commandLine) {
  static const std::wstring kSwitch = L"/BugInfo:";
  BugInfoSwitch result;
  size_t at = FindNoCase(commandLine, kSwitch);
  if (at == std::wstring::npos) return result;
  size_t start = at + kSwitch.size();
  if (start >= commandLine.size()) return result;  // the switch with nothing after it
  result.found = true;

  Scanner scan(commandLine, start);
  uint64_t address = 0;
  if (!scan.Hex(address)) return result;
  result.blockAddress = static_cast<uint32_t>(address);  // a 32-bit program: the low half
  if (!scan.Literal(L',') || !scan.Decimal(result.processId)) return result;
  if (!scan.Literal(L',') || !scan.Decimal(result.threadId)) return result;
  if (!scan.Literal(L',') || !scan.Decimal(result.eventHandle)) return result;
  return result;
}

IntakeError ReadBugInfoBlock(const ReadMemoryFn& read, uint32_t address, std::vector<uint8_t>& block) {
  block.clear();
  uint8_t lengthBytes[4];
  if (!read(address, lengthBytes, 4)) return IntakeError::Unreadable;
  uint32_t headerLength = Le32(lengthBytes);
  if (headerLength > kBugInfoMaxHeaderLength) return IntakeError::HeaderTooLong;
  // Fewer than 8 header bytes would leave the magic or the size unread: such a record is refused.
  if (headerLength < 8) return IntakeError::HeaderTooShort;

  std::vector<uint8_t> header(headerLength);
  if (!read(address + 4, header.data(), headerLength)) return IntakeError::Unreadable;
  if (Le32(header.data()) != kBugInfoMagic) return IntakeError::BadMagic;
  // The size is checked before the read so that a forged size never decides how much is copied.
  if (Le32(header.data() + 4) != kBugInfoSize) return IntakeError::BadSize;

  std::vector<uint8_t> whole(kBugInfoSize);
  if (!read(address, whole.data(), kBugInfoSize)) return IntakeError::Unreadable;
  block.swap(whole);
  return IntakeError::None;
}

std::wstring DumpFileNameAt(const std::wstring& stem, const LocalTime& t) {
  return suite::WFormat(L"%s_[%d-%d-%d_%d_%d_%d]", stem, t.year, t.month, t.day, t.hour, t.minute, t.second) +
         L".dmp";
}

std::wstring ReportNameFor(const std::wstring& dumpName) {
  return suite::ReplaceAll(dumpName, L".dmp", L".txt");
}

std::wstring FullDumpNameFor(const std::wstring& dumpName) {
  return suite::ReplaceAll(dumpName, L".dmp", L"_FULL.dmp");
}

std::wstring ClashVariant(const std::wstring& firstPath, int attempt) {
  return suite::ReplaceAll(firstPath, L".dmp", L"") + suite::WFormat(L"_%d", attempt) + L".dmp";
}

std::wstring DumpFolderUnder(const std::wstring& installFolder) {
  if (installFolder.empty()) return std::wstring();
  return suite::WithTrailingBackslash(installFolder) + L"dump\\";
}

bool IsOlderFullDump(const std::wstring& fileName, const std::wstring& keepName) {
  return suite::ContainsNoCase(fileName, L"_FULL.dmp") && !suite::ContainsNoCase(fileName, keepName);
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
  if (safe.size() > maxChars) {
    safe.resize(maxChars);
    if (!safe.empty() && safe.back() >= 0xD800 && safe.back() <= 0xDBFF) safe.pop_back();
  }
  return safe;
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
