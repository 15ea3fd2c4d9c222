// The uploader's command line: Kelvor's formatter, Ulvane's reader and the e-mail length rule.
#include "common/protocol/uploader_command_line.h"

#include "common/protocol/uploader_switches.h"

namespace protocol {

bool ApplyContactEmailLimit(std::wstring& email) {
  if (email.size() <= kMaxContactEmailChars) return false;
  email.clear();
  return true;
}

std::wstring FormatUploaderCommandLine(const UploaderValues& v) {
  const std::wstring& module = v.module.empty() ? std::wstring(kUnknownModule) : v.module;
  // Every value made safe: one with a space would arrive cut, one with switch text would replace
  // the switch that follows.
  return std::wstring(kSwitchStart) + kStartReport + L" " + kSwitchPath + SafeSwitchValue(v.dumpFileName) +
         L" " + kSwitchVersion + SafeSwitchValue(v.productVersion) + L" " + kSwitchModule +
         SafeSwitchValue(module) + L" " + kSwitchApp + SafeSwitchValue(v.application) + L" " + kSwitchId +
         SafeSwitchValue(v.reportId) + L" " + kSwitchEmail + SafeSwitchValue(v.email);
}

std::wstring ReadSwitchValue(const std::wstring& commandLine, const wchar_t* switchText) {
  const std::wstring key = switchText;
  size_t pos = commandLine.find(key);
  if (pos == std::wstring::npos) return std::wstring();
  pos += key.size();
  size_t end = commandLine.find(L' ', pos);
  return commandLine.substr(pos, end == std::wstring::npos ? std::wstring::npos : end - pos);
}

bool HasSwitchWord(const std::wstring& commandLine, const wchar_t* switchText) {
  const std::wstring word = switchText;
  for (size_t at = commandLine.find(word); at != std::wstring::npos; at = commandLine.find(word, at + 1)) {
    const size_t end = at + word.size();
    if ((at == 0 || commandLine[at - 1] == L' ') && (end == commandLine.size() || commandLine[end] == L' '))
      return true;
  }
  return false;
}

StartKind MapStartKind(const std::wstring& value) {
  static const struct {
    const wchar_t* text;
    StartKind kind;
  } kKinds[] = {{kStartReport, StartKind::kReport},
                {L"trayreported", StartKind::kTrayReported},
                {L"serverreported", StartKind::kServerReported},
                {L"traynew", StartKind::kTrayNew},
                {L"servernew", StartKind::kServerNew},
                {L"kernel", StartKind::kKernel}};
  for (const auto& k : kKinds)
    if (value == k.text) return k.kind;
  return StartKind::kOther;
}

bool ReadUploaderCommandLine(const std::wstring& commandLine, UploaderValues& values) {
  values.dumpFileName = ReadSwitchValue(commandLine, kSwitchPath);
  values.productVersion = ReadSwitchValue(commandLine, kSwitchVersion);
  values.module = ReadSwitchValue(commandLine, kSwitchModule);
  values.application = ReadSwitchValue(commandLine, kSwitchApp);
  values.reportId = ReadSwitchValue(commandLine, kSwitchId);
  values.email = ReadSwitchValue(commandLine, kSwitchEmail);
  return values.reportId.size() == kReportIdChars && !values.module.empty();
}

}  // namespace protocol
