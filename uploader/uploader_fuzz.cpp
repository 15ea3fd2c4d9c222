// Fuzz target for everything Ulvane reads from outside: its command line and the paths and post
// fields made from it, the server address from "config.ini", the disks' IDENTIFY records and
// storage descriptors, the adapter lists, and the server's answers (with Communication.dll's answer
// and time limits). One byte of the input picks the parser.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "common/fuzz_support.h"
#include "common/protocol/uploader_switches.h"
#include "product/communication/form_encoding.h"
#include "uploader/crash_args.h"
#include "uploader/machine_identity.h"

namespace ulvane {
namespace {

using suite::FuzzCheck;

wchar_t LowerAscii(wchar_t c) { return c >= L'A' && c <= L'Z' ? wchar_t(c - L'A' + L'a') : c; }

// `tail` (lower case) at `at` of `text`, letters compared without regard to case.
bool HasAt(const std::wstring& text, size_t at, const wchar_t* tail) {
  const size_t n = wcslen(tail);
  if (at > text.size() || text.size() - at < n) return false;
  for (size_t i = 0; i < n; ++i)
    if (LowerAscii(text[at + i]) != tail[i]) return false;
  return true;
}

bool EndsWithNoCase(const std::wstring& text, const wchar_t* tail) {
  return text.size() >= wcslen(tail) && HasAt(text, text.size() - wcslen(tail), tail);
}

bool HasDmp(const std::wstring& path) {
  for (size_t i = 0; i < path.size(); ++i)
    if (HasAt(path, i, L".dmp")) return true;
  return false;
}

// A value read is what follows the switch's first occurrence, up to a space.
void CheckValue(const std::wstring& line, const wchar_t* sw, const std::wstring& value) {
  FuzzCheck(value.find(L' ') == std::wstring::npos);
  const size_t at = line.find(sw);
  if (at == std::wstring::npos) return FuzzCheck(value.empty());
  FuzzCheck(line.compare(at + wcslen(sw), value.size(), value) == 0);
  const size_t end = at + wcslen(sw) + value.size();
  FuzzCheck(end == line.size() || line[end] == L' ');
}

void ReportAndArchivePaths(const std::wstring& dumpPath) {
  const std::wstring name =
      dumpPath.substr(dumpPath.rfind(L'\\') == std::wstring::npos ? 0 : dumpPath.rfind(L'\\') + 1);
  // Only the file name's own ".dmp" is swapped; a path without one gains the extension. Either way
  // the folder part stays and the result never names the dump itself.
  const bool swaps = name.size() > 4 && EndsWithNoCase(name, L".dmp");
  const std::wstring stem = swaps ? dumpPath.substr(0, dumpPath.size() - 4) : dumpPath;
  FuzzCheck(ReportPathFor(dumpPath) == stem + L".txt");
  FuzzCheck(ArchivePathFor(dumpPath) == stem + L".zip");
}

void CommandLine(FuzzedDataProvider& fdp) {
  // Mostly real switches with fuzzed values, so every rule gets reached.
  static const wchar_t* const kSwitches[] = {
      protocol::kSwitchStart, protocol::kSwitchPath, protocol::kSwitchVersion, protocol::kSwitchModule,
      protocol::kSwitchApp,   protocol::kSwitchId,   protocol::kSwitchEmail};
  const bool haveInstallDir = fdp.ConsumeBool();
  std::wstring line;
  while (fdp.remaining_bytes() > 0 && line.size() < 2000) {
    if (fdp.ConsumeBool()) line += kSwitches[fdp.ConsumeIntegralInRange<size_t>(0, 6)];
    line += suite::ConsumeWideText(fdp, 48);
    if (fdp.ConsumeBool()) line += L' ';
  }
  CrashArgs args;
  const bool ok = ParseCrashArgs(line, args);
  FuzzCheck(ok == (args.reportId.size() == protocol::kReportIdChars && !args.module.empty() &&
                   IsPlainDumpName(args.dumpFileName)));
  // An accepted dump name ends in ".dmp" and stays inside the dump folder.
  if (ok)
    FuzzCheck(HasDmp(args.dumpFileName) && args.dumpFileName.find_first_of(L"\\/:") == std::wstring::npos);
  FuzzCheck(args.startKind == protocol::StartKind::kReport);
  CheckValue(line, protocol::kSwitchPath, args.dumpFileName);
  CheckValue(line, protocol::kSwitchVersion, args.productVersion);
  CheckValue(line, protocol::kSwitchModule, args.module);
  CheckValue(line, protocol::kSwitchApp, args.application);
  CheckValue(line, protocol::kSwitchId, args.reportId);
  CheckValue(line, protocol::kSwitchEmail, args.email);
  const std::wstring start = protocol::ReadSwitchValue(line, protocol::kSwitchStart);
  CheckValue(line, protocol::kSwitchStart, start);
  // Only the six exact names map to a kind of their own.
  static const wchar_t* const kKinds[] = {L"report",  L"trayreported", L"serverreported",
                                          L"traynew", L"servernew",    L"kernel"};
  const protocol::StartKind kind = protocol::MapStartKind(start);
  const bool named =
      std::any_of(std::begin(kKinds), std::end(kKinds), [&](const wchar_t* k) { return start == k; });
  FuzzCheck(kind <= protocol::StartKind::kKernel && (kind != protocol::StartKind::kOther) == named);

  const std::wstring folder = DumpFolderFor(haveInstallDir, L"C:\\Program Files\\Orv", L"C:\\Orv\\");
  const std::wstring dumpPath = DumpPathFor(folder, args.dumpFileName);
  FuzzCheck(std::none_of(dumpPath.begin(), dumpPath.end(), [](wchar_t c) { return c >= L'a' && c <= L'z'; }));
  ReportAndArchivePaths(dumpPath);
  ReportAndArchivePaths(args.dumpFileName);  // any letter case, not only the upper-cased path

  // The information post carries every value, percent-encoded, the version cut to its limit.
  const auto fields = InfoPostFields(args, L"00000000-000000000000");
  FuzzCheck(fields.size() == 8 && fields[3].second.size() <= kVersionChars && fields[6].second == L"1");
  const std::string body = communication::EncodeForm(fields);
  FuzzCheck(std::count(body.begin(), body.end(), '&') == 7 && std::count(body.begin(), body.end(), '=') == 8);
  for (char c : body) FuzzCheck(isalnum(static_cast<unsigned char>(c)) || strchr("-._~%&=", c));
}

void ServerUrl(FuzzedDataProvider& fdp) {
  const std::wstring text = suite::ConsumeWideText(fdp, 300);
  std::wstring url = text;
  if (!NormalizeServerUrl(url)) return FuzzCheck(text.empty() && url.empty());
  FuzzCheck(url.back() == L'/' && (url == text || url == text + L'/'));
  std::wstring again = url;
  FuzzCheck(NormalizeServerUrl(again) && again == url);
  communication::IsCarriedUrl(url);
}

void IdentifyTexts(FuzzedDataProvider& fdp) {
  const size_t length = fdp.ConsumeIntegralInRange<size_t>(0, 64);
  std::vector<uint8_t> input = fdp.ConsumeBytes<uint8_t>(length);
  input.resize(length, ' ');
  // Exactly the field's bytes on the heap, so ASan sees any step outside.
  std::unique_ptr<uint8_t[]> field(new uint8_t[length ? length : 1]);
  std::copy(input.begin(), input.end(), field.get());
  FixAtaString(field.get(), length);
  // The text is the swapped bytes without leading spaces; trailing spaces and the room left are zeros.
  std::vector<uint8_t> swapped = input;
  for (size_t i = 0; i + 1 < length; i += 2) std::swap(swapped[i], swapped[i + 1]);
  size_t lead = 0;
  while (lead < length && swapped[lead] == ' ') ++lead;
  size_t end = length;
  while (end > lead && swapped[end - 1] == ' ') --end;
  for (size_t i = 0; i < length; ++i) FuzzCheck(field[i] == (i < end - lead ? swapped[lead + i] : 0));
}

void Descriptor(FuzzedDataProvider& fdp) {
  const bool flip = fdp.ConsumeBool();
  const long offset =
      fdp.ConsumeBool() ? fdp.ConsumeIntegralInRange<long>(-2, 64) : fdp.ConsumeIntegral<long>();
  const std::vector<uint8_t> bytes = fdp.ConsumeRemainingBytes<uint8_t>();
  std::unique_ptr<uint8_t[]> block(new uint8_t[bytes.size() + 1]);
  std::copy(bytes.begin(), bytes.end(), block.get());
  std::string serial = "kept";
  const bool ok = DecodeDescriptorSerial(block.get(), bytes.size(), offset, flip, serial);
  const bool fits = offset <= 0 || (size_t(offset) < bytes.size() &&
                                    memchr(block.get() + offset, 0, bytes.size() - size_t(offset)));
  FuzzCheck(ok == fits);
  if (!ok || offset <= 0) return FuzzCheck(serial.empty());
  // Only printable text, trimmed, and never longer than the text it came from.
  FuzzCheck(serial.size() <= strlen(reinterpret_cast<const char*>(block.get() + offset)));
  for (char c : serial) FuzzCheck(c >= 0x20 && c <= 0x7E);
  FuzzCheck(serial.empty() || (serial.front() != ' ' && serial.back() != ' '));
}

// Disk requests whose results the fuzzer scripts: open failures, call failures and any reply bytes.
// The blocks are read and written to their full stated lengths, so ASan sees a short buffer.
class ScriptedDisks : public DiskDevices {
 public:
  explicit ScriptedDisks(FuzzedDataProvider& fdp) : fdp_(fdp) {}
  bool Exchange(const std::wstring& device, bool, uint32_t code, const uint8_t* in, uint32_t inLength,
                uint8_t* out, uint32_t outLength, bool& callOk) override {
    FuzzCheck(device.compare(0, 4, L"\\\\.\\") == 0);
    FuzzCheck(code == kSmartRcvDriveData || code == kIoctlScsiMiniport || code == kIoctlStorageQueryProperty);
    volatile uint8_t sum = 0;
    for (uint32_t i = 0; i < inLength; ++i) sum = sum + in[i];
    if (!fdp_.ConsumeBool()) return false;
    callOk = fdp_.ConsumeBool();
    std::vector<uint8_t> reply = fdp_.ConsumeBytes<uint8_t>(fdp_.ConsumeIntegralInRange<size_t>(0, 600));
    reply.push_back(0);  // never empty, so its data is never a null pointer
    std::memset(out, 0, outLength);
    if (code == kIoctlStorageQueryProperty && fdp_.ConsumeBool()) {
      // A descriptor pointing at its serial somewhere in the block.
      const uint32_t at = fdp_.ConsumeIntegralInRange<uint32_t>(0, outLength + 4);
      std::memcpy(out + kDescriptorSerialOffsetField, &at, sizeof at);
      if (at < outLength) std::memcpy(out + at, reply.data(), std::min<size_t>(reply.size(), outLength - at));
    } else {
      std::memcpy(out, reply.data(), std::min<size_t>(reply.size(), outLength));
    }
    return true;
  }

 private:
  FuzzedDataProvider& fdp_;
};

class ScriptedAdapters : public AdapterSource {
 public:
  explicit ScriptedAdapters(FuzzedDataProvider& fdp) : fdp_(fdp) {}
  bool List(std::vector<AdapterInfo>& adapters) override {
    adapters.resize(fdp_.ConsumeIntegralInRange<size_t>(0, 8));
    for (AdapterInfo& a : adapters) {
      a.ifType =
          fdp_.ConsumeBool() ? fdp_.PickValueInArray({6u, 71u, 24u}) : fdp_.ConsumeIntegral<uint32_t>();
      a.address = fdp_.ConsumeBytes<uint8_t>(fdp_.ConsumeIntegralInRange<size_t>(0, 8));
    }
    listed = adapters;
    return fdp_.ConsumeBool();
  }
  std::vector<AdapterInfo> listed;

 private:
  FuzzedDataProvider& fdp_;
};

void MachineIdentity(FuzzedDataProvider& fdp) {
  ScriptedDisks disks(fdp);
  const std::string serial = GetDiskSerial(disks);
  FuzzCheck(serial.size() <= kSerialLength && serial.find(' ') == std::string::npos &&
            serial.find("00000000") == std::string::npos);

  ScriptedAdapters source(fdp);
  const std::vector<AdapterEntry> entries = CollectAdapters(source);
  size_t wired = 0;
  for (const AdapterEntry& e : entries) {
    FuzzCheck(!e.mac.empty() && e.mac.size() % 2 == 0 && e.mac.size() <= 16);
    for (wchar_t c : e.mac) FuzzCheck((c >= L'0' && c <= L'9') || (c >= L'A' && c <= L'F'));
    wired += !e.wireless;
  }
  std::wstring mac = L"kept";
  const bool found = GetMacAddressText(entries, mac);
  FuzzCheck(found == !entries.empty());
  if (found) {
    // The greatest wired address, else the first wireless one.
    for (const AdapterEntry& e : entries)
      if (!e.wireless) FuzzCheck(e.mac <= mac);
    FuzzCheck(std::any_of(entries.begin(), entries.end(),
                          [&](const AdapterEntry& e) { return e.mac == mac && e.wireless == !wired; }));
    if (!wired) FuzzCheck(mac == entries.front().mac);
  }
  const std::wstring wideSerial(serial.begin(), serial.end());
  const std::wstring guid = ComposeMachineGuid(wideSerial, mac);
  FuzzCheck(guid.size() >= 9 && guid[8] == L'-' && guid.size() == 9 + (mac.empty() ? 12 : mac.size()));
}

void ServerAnswer(FuzzedDataProvider& fdp) {
  const uint32_t cap = fdp.ConsumeIntegral<uint32_t>();
  const size_t kept = communication::KeptAnswerBytes(cap);
  FuzzCheck(kept > 0 && kept <= communication::kAnswerCeilingBytes &&
            (kept == cap || cap == 0 || cap > kept));
  const uint32_t limit = communication::TimeLimitMs(fdp.ConsumeIntegral<uint32_t>());
  FuzzCheck(limit % 1000 == 0 && limit <= communication::kMaxLimitSeconds * 1000);
  // The answer reaches Ulvane as a C string: exactly its bytes and the NUL, nothing after.
  const std::string body = fdp.ConsumeRemainingBytesAsString().substr(0, kept);
  std::unique_ptr<char[]> answer(new char[body.size() + 1]);
  std::memcpy(answer.get(), body.data(), body.size());
  answer[body.size()] = 0;
  FuzzCheck(AnswerWantsArchive(answer.get()) == (strncmp(answer.get(), "true", 4) == 0));
  FuzzCheck(!AnswerWantsArchive(nullptr));
}

// A report read back for a pending delivery: its values are what Kelvor would have sent, safe for
// the command line, and only a 32-character crash ID counts.
void ReportFacts(FuzzedDataProvider& fdp) {
  std::wstring text = L"\xFEFFVemko Dump";
  static const wchar_t* const kLabels[] = {L"\r\nAppName:", L"   Windows Version:", L"\r\nModule:",
                                           L"   Data:",     L"\r\nEmail:",          L"\r\nHashCode:",
                                           L"\r\nStack:"};
  while (fdp.remaining_bytes() > 0 && text.size() < 2000) {
    if (fdp.ConsumeBool()) text += kLabels[fdp.ConsumeIntegralInRange<size_t>(0, 6)];
    text += suite::ConsumeWideText(fdp, 40);
  }
  CrashArgs args;
  if (!ReadReportFacts(text, args)) return;
  FuzzCheck(args.reportId.size() == protocol::kReportIdChars && !args.module.empty() &&
            args.email.size() <= protocol::kMaxContactEmailChars);
  for (const std::wstring* v : {&args.application, &args.module, &args.email, &args.reportId})
    FuzzCheck(protocol::SafeSwitchValue(*v) == *v);
}

}  // namespace
}  // namespace ulvane

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace ulvane;
  static void (*const kParsers[])(FuzzedDataProvider&) = {
      CommandLine, ServerUrl, IdentifyTexts, Descriptor, MachineIdentity, ServerAnswer, ReportFacts};
  FuzzedDataProvider fdp(data, size);
  kParsers[fdp.ConsumeIntegralInRange<size_t>(0, 6)](fdp);
  return 0;
}
