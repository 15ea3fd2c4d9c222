// Fuzz target for everything Drummet reads from outside: "LastDmpTime" and the other registry values,
// "version.xml", the folder listing, the report URL from "config.ini" and the HTTP answer (its
// Content-Length text and the way its body arrives). The first byte picks the parser.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "common/fuzz_support.h"
#include "kerneldump/dump_collector.h"
#include "kerneldump/http_request.h"
#include "kerneldump/registry_value.h"
#include "kerneldump/version_xml.h"

namespace kerneldump {
namespace {

using suite::FuzzCheck;

void LastDmpTime(FuzzedDataProvider& fdp) {
  const std::wstring text = suite::ConsumeWideText(fdp, 80);
  const int64_t parsed = ParseLastDmpTime(text);
  // What the program writes back reads the same again.
  if (parsed >= 0) FuzzCheck(ParseLastDmpTime(FormatLastDmpTime(FileTime(parsed))) == parsed);
  const FileTime t = fdp.ConsumeIntegral<FileTime>();
  if (t <= FileTime(INT64_MAX)) FuzzCheck(ParseLastDmpTime(FormatLastDmpTime(t)) == int64_t(t));
  // "UnreadableDmp": whatever record is read, the program writes it back so that it reads the same.
  const UnreadableDump record = ParseUnreadableDump(text);
  if (record.runs != 0) {
    const UnreadableDump again = ParseUnreadableDump(FormatUnreadableDump(record));
    FuzzCheck(again.dump == record.dump && again.since == record.since && again.runs == record.runs &&
              record.runs <= kUnreadableRunLimit);
  }
}

void RegistryValues(FuzzedDataProvider& fdp) {
  const uint32_t type = fdp.ConsumeIntegralInRange<uint32_t>(0, 12);
  const std::vector<uint8_t> bytes = fdp.ConsumeRemainingBytes<uint8_t>();
  std::wstring text = L"kept";
  if (CheckRegString(type, bytes.data(), bytes.size(), text) == kErrorSuccess) {
    FuzzCheck(text.size() * 2 <= bytes.size() && text.find(L'\0') == std::wstring::npos);
  } else {
    FuzzCheck(text == L"kept");
  }
  CheckRegDword(type, bytes.size());
  std::wstring stored;
  if (DecodeUnterminatedString(type, bytes.data(), bytes.size(), stored))
    FuzzCheck(stored.size() * 2 <= bytes.size());
}

void VersionXml(FuzzedDataProvider& fdp) {
  std::istringstream in(fdp.ConsumeRemainingBytesAsString());
  std::string version;
  if (ProgramVersionFromStream(in, version)) {
    FuzzCheck(version.size() < kVersionCapacity);
    FuzzCheck(version.find('>') == std::string::npos && version.find('\n') == std::string::npos);
  }
}

void Listing(FuzzedDataProvider& fdp) {
  std::vector<FolderEntry> entries(fdp.ConsumeIntegralInRange<size_t>(0, 16));
  for (FolderEntry& e : entries) {
    e.name = suite::ConsumeWideText(fdp, 40);
    e.attributes = fdp.ConsumeIntegral<uint32_t>();
    e.lastWrite = fdp.ConsumeIntegral<FileTime>();
  }
  const FileTime floor = fdp.ConsumeIntegral<FileTime>(), last = fdp.ConsumeIntegral<FileTime>();
  CandidateDumpMap map;
  AddCandidates(map, L"C:\\Windows\\Minidump", entries, floor, last);
  for (const auto& c : map) FuzzCheck(c.first > floor && c.first > last);
}

void ReportUrl(FuzzedDataProvider& fdp) {
  const std::wstring base = suite::ConsumeWideText(fdp, 300);
  std::wstring url;
  if (BuildReportUrl(base, url))
    FuzzCheck(url.size() < kReportUrlCapacity && url.compare(0, base.size(), base) == 0);
  const std::wstring query = QueryPartOf(base);
  FuzzCheck(query.empty() || query[0] == L'?');
  FuzzCheck(BuildObjectName(base, query).size() < kRequestPartCapacity);
  RequestFlagsFor(base, kReportRequestFlags);
}

// An answer body whose reads the fuzzer scripts: sizes, failures, early ends, and reads claiming more
// than they were asked for. The bytes go into the reader's own buffer, so ASan sees any overrun.
class ScriptedBody : public AnswerBody {
 public:
  ScriptedBody(FuzzedDataProvider& fdp, uint32_t toRead) : fdp_(fdp), toRead_(toRead) {}
  long Read(char* buffer, uint32_t size) override {
    // No read reaches past what was to be read, however the server's length claim looked.
    FuzzCheck(size > 0 && delivered_ + size <= toRead_);
    if (!fdp_.remaining_bytes()) return 0;
    const long n = fdp_.ConsumeIntegralInRange<long>(-1, long(size) + 2);
    if (n > 0) memset(buffer, 'A', std::min<size_t>(size_t(n), size));
    if (n > 0 && uint32_t(n) <= size) delivered_ += uint32_t(n);
    return n;
  }

 private:
  FuzzedDataProvider& fdp_;
  uint32_t toRead_;
  uint32_t delivered_ = 0;
};

void HttpAnswer(FuzzedDataProvider& fdp) {
  const bool announced = fdp.ConsumeBool();
  const uint32_t length = ParseContentLength(suite::ConsumeWideText(fdp, 24));
  const uint32_t toRead = AnswerBytesToRead(announced, length);
  FuzzCheck(toRead <= kAnswerReadLimit);
  ScriptedBody body(fdp, toRead);
  ReadAnswerBody(body, announced, length);
}

}  // namespace
}  // namespace kerneldump

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider fdp(data, size);
  switch (fdp.ConsumeIntegralInRange<int>(0, 5)) {
    case 0:
      kerneldump::LastDmpTime(fdp);
      break;
    case 1:
      kerneldump::RegistryValues(fdp);
      break;
    case 2:
      kerneldump::VersionXml(fdp);
      break;
    case 3:
      kerneldump::Listing(fdp);
      break;
    case 4:
      kerneldump::ReportUrl(fdp);
      break;
    default:
      kerneldump::HttpAnswer(fdp);
      break;
  }
  return 0;
}
