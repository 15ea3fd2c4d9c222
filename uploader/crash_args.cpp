// Ulvane's rules of one upload: the crash its command line names, paths, servers, the post's fields.
#include "uploader/crash_args.h"

#include <algorithm>

#include "common/path.h"
#include "common/protocol/file_names.h"
#include "common/protocol/uploader_command_line.h"
#include "common/protocol/uploader_switches.h"
#include "common/utf16_cut.h"

namespace ulvane {

bool ParseCrashArgs(const std::wstring& commandLine, CrashArgs& args) {
  // Kelvor only ever asks for "report"; a hand-started upload is counted like one.
  args.startKind = protocol::StartKind::kReport;
  const bool named = protocol::ReadUploaderCommandLine(commandLine, args);
  return named && IsPlainDumpName(args.dumpFileName);
}

bool IsPlainDumpName(const std::wstring& name) {
  const std::wstring ext = protocol::kDumpExtension;
  if (name.size() <= ext.size() || !suite::EqualsNoCase(name.substr(name.size() - ext.size()), ext))
    return false;
  return name.find_first_of(L"\\/:") == std::wstring::npos;
}

namespace {

// The text of the header line that starts with `label`, up to `until` (or the line's end).
bool HeaderValue(const std::wstring& text, const wchar_t* label, const wchar_t* until, std::wstring& value) {
  const std::wstring key = std::wstring(L"\r\n") + label;
  const size_t at = text.find(key);
  if (at == std::wstring::npos) return false;
  const size_t start = at + key.size();
  const size_t lineEnd = std::min(text.find(L"\r\n", start), text.size());
  size_t end = lineEnd;
  if (until) {
    end = text.find(until, start);
    if (end == std::wstring::npos || end > lineEnd) return false;
  }
  value = text.substr(start, end - start);
  return true;
}

}  // namespace

bool ReadReportFacts(const std::wstring& reportText, CrashArgs& args) {
  // Only the header: the user's description further down may hold any of these labels.
  const std::wstring header = reportText.substr(0, reportText.find(L"\r\nStack:"));
  std::wstring app, module, email, id;
  if (!HeaderValue(header, L"AppName:", L"   Windows Version:", app) ||
      !HeaderValue(header, L"Module:", L"   Data:", module) ||
      !HeaderValue(header, L"Email:", nullptr, email) || !HeaderValue(header, L"HashCode:", nullptr, id))
    return false;
  using protocol::SafeSwitchValue;
  args.startKind = protocol::StartKind::kReport;
  args.application = SafeSwitchValue(app);
  args.module = SafeSwitchValue(module.empty() ? std::wstring(protocol::kUnknownModule) : module);
  // Kelvor sends an over-long address as none.
  protocol::ApplyContactEmailLimit(email);
  args.email = SafeSwitchValue(email);
  args.reportId = SafeSwitchValue(id);
  return args.reportId.size() == protocol::kReportIdChars;
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
// Only the file name's own extension: a folder such as "C:\\Prod.dmp\\" stays as it is.
std::wstring ReplaceDmp(const std::wstring& path, const wchar_t* extension) {
  const std::wstring ext = protocol::kDumpExtension;
  const size_t nameStart = path.rfind(L'\\') == std::wstring::npos ? 0 : path.rfind(L'\\') + 1;
  if (path.size() - nameStart > ext.size() && suite::EqualsNoCase(path.substr(path.size() - ext.size()), ext))
    return path.substr(0, path.size() - ext.size()) + extension;
  return path + extension;
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
  using protocol::StartKind;
  const bool counts = args.startKind == StartKind::kReport || args.startKind == StartKind::kTrayNew ||
                      args.startKind == StartKind::kServerNew;
  return {{L"product", L"Orv"},
          {L"hash_id", args.reportId},
          {L"guid", machineGuid},
          {L"version", suite::CutWithoutSplittingPairs(args.productVersion, kVersionChars)},
          {L"app", args.application},
          {L"module", args.module},
          {L"count", counts ? L"1" : L"0"},
          {L"mail", args.email}};
}

}  // namespace ulvane
