// Ulvane's command line and the text rules of one upload.
#include "uploader/crash_args.h"

#include "common/path.h"
#include "common/protocol/file_names.h"
#include "common/protocol/uploader_switches.h"

namespace ulvane {

std::wstring ReadSwitchValue(const std::wstring& commandLine, const wchar_t* switchText) {
  const std::wstring key = switchText;
  size_t pos = commandLine.find(key);
  if (pos == std::wstring::npos) return std::wstring();
  pos += key.size();
  size_t end = commandLine.find(L' ', pos);
  return commandLine.substr(pos, end == std::wstring::npos ? std::wstring::npos : end - pos);
}

StartKind MapStartKind(const std::wstring& value) {
  static const struct {
    const wchar_t* text;
    StartKind kind;
  } kKinds[] = {{L"report", kStartReport},
                {L"trayreported", kStartTrayReported},
                {L"serverreported", kStartServerReported},
                {L"traynew", kStartTrayNew},
                {L"servernew", kStartServerNew},
                {L"kernel", kStartKernel}};
  for (const auto& k : kKinds)
    if (value == k.text) return k.kind;
  return kStartOther;
}

bool ParseCrashArgs(const std::wstring& commandLine, CrashArgs& args) {
  using namespace protocol;
  MapStartKind(ReadSwitchValue(commandLine, kSwitchStart));
  // Kelvor only ever asks for "report"; a hand-started upload is counted like one.
  args.startKind = kStartReport;
  args.dumpFileName = ReadSwitchValue(commandLine, kSwitchPath);
  args.productVersion = ReadSwitchValue(commandLine, kSwitchVersion);
  args.module = ReadSwitchValue(commandLine, kSwitchModule);
  args.application = ReadSwitchValue(commandLine, kSwitchApp);
  args.reportId = ReadSwitchValue(commandLine, kSwitchId);
  args.email = ReadSwitchValue(commandLine, kSwitchEmail);
  if (args.reportId.size() != kReportIdChars) return false;
  return !args.module.empty();
}

std::wstring DumpFolderFor(bool haveInstallDir, const std::wstring& installDir,
                           const std::wstring& programFolder) {
  if (!haveInstallDir) return programFolder;
  return suite::JoinPath(installDir, protocol::kDumpFolderName);
}

std::wstring UpperCaseAscii(std::wstring text) {
  for (wchar_t& c : text)
    if (c >= L'a' && c <= L'z') c = static_cast<wchar_t>(c - L'a' + L'A');
  return text;
}

std::wstring DumpPathFor(const std::wstring& dumpFolder, const std::wstring& dumpFileName) {
  return UpperCaseAscii(suite::JoinPath(dumpFolder, dumpFileName));
}

namespace {
std::wstring ReplaceDmp(const std::wstring& path, const wchar_t* extension) {
  std::wstring out;
  size_t i = 0;
  while (i < path.size()) {
    if (i + 4 <= path.size() && suite::EqualsNoCase(path.substr(i, 4), protocol::kDumpExtension)) {
      out += extension;
      i += 4;
    } else {
      out += path[i++];
    }
  }
  return out;
}
}  // namespace

std::wstring ReportPathFor(const std::wstring& dumpPath) {
  return ReplaceDmp(dumpPath, protocol::kReportExtension);
}
std::wstring ArchivePathFor(const std::wstring& dumpPath) {
  return ReplaceDmp(dumpPath, protocol::kArchiveExtension);
}

bool NormalizeServerUrl(std::wstring& url) {
  if (url.empty()) return false;
  if (url.back() != L'/') url += L'/';
  return true;
}

bool AnswerWantsArchive(const char* answer) {
  return answer && answer[0] == 't' && answer[1] == 'r' && answer[2] == 'u' && answer[3] == 'e';
}

std::vector<std::pair<std::wstring, std::wstring>> InfoPostFields(const CrashArgs& args,
                                                                  const std::wstring& machineGuid) {
  const bool counts =
      args.startKind == kStartReport || args.startKind == kStartTrayNew || args.startKind == kStartServerNew;
  return {{L"product", L"Orv"},
          {L"hash_id", args.reportId},
          {L"guid", machineGuid},
          {L"version", args.productVersion.substr(0, kVersionChars)},
          {L"app", args.application},
          {L"module", args.module},
          {L"count", counts ? L"1" : L"0"},
          {L"mail", args.email}};
}

}  // namespace ulvane
