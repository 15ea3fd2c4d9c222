// Fuzz target for everything Drummet reads from outside: "LastDmpTime" and the other registry values,
// "version.xml", the folder listing, the report URL from "config.ini" and the HTTP answer (its
// Content-Length text and the way its body arrives). The first byte picks the parser.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "kerneldump/dump_collector.h"
#include "kerneldump/http_request.h"
#include "kerneldump/registry_value.h"
#include "kerneldump/version_xml.h"

namespace kerneldump {
namespace {

void Check(bool ok) {
  if (!ok) abort();
}

std::wstring WideText(FuzzedDataProvider& fdp, size_t max) {
  std::string raw = fdp.ConsumeRandomLengthString(max * 2);
  std::wstring text;
  for (size_t i = 0; i + 1 < raw.size(); i += 2) text.push_back(wchar_t(uint8_t(raw[i]) | uint8_t(raw[i + 1]) << 8));
  return text;
}

void LastDmpTime(FuzzedDataProvider& fdp) {
  const std::wstring text = WideText(fdp, 80);
  const int64_t parsed = ParseLastDmpTime(text);
  // What the program writes back reads the same again.
  if (parsed >= 0) Check(ParseLastDmpTime(FormatLastDmpTime(FileTime(parsed))) == parsed);
  const FileTime t = fdp.ConsumeIntegral<FileTime>();
  if (t <= FileTime(INT64_MAX)) Check(ParseLastDmpTime(FormatLastDmpTime(t)) == int64_t(t));
}

void RegistryValues(FuzzedDataProvider& fdp) {
  const uint32_t type = fdp.ConsumeIntegralInRange<uint32_t>(0, 12);
  const std::vector<uint8_t> bytes = fdp.ConsumeRemainingBytes<uint8_t>();
  std::wstring text = L"kept";
  if (CheckRegString(type, bytes.data(), bytes.size(), text) == kErrorSuccess) {
    Check(text.size() * 2 <= bytes.size() && text.find(L'\0') == std::wstring::npos);
  } else {
    Check(text == L"kept");
  }
  CheckRegDword(type, bytes.size());
  std::wstring stored;
  if (DecodeUnterminatedString(type, bytes.data(), bytes.size(), stored)) Check(stored.size() * 2 <= bytes.size());
}

void VersionXml(FuzzedDataProvider& fdp) {
  std::istringstream in(fdp.ConsumeRemainingBytesAsString());
  std::string version;
  if (ProgramVersionFromStream(in, version)) {
    Check(version.size() < kVersionCapacity);
    Check(version.find('>') == std::string::npos && version.find('\n') == std::string::npos);
  }
}

void Listing(FuzzedDataProvider& fdp) {
  std::vector<FolderEntry> entries(fdp.ConsumeIntegralInRange<size_t>(0, 16));
  for (FolderEntry& e : entries) {
    e.name = WideText(fdp, 40);
    e.attributes = fdp.ConsumeIntegral<uint32_t>();
    e.lastWrite = fdp.ConsumeIntegral<FileTime>();
  }
  const FileTime floor = fdp.ConsumeIntegral<FileTime>(), last = fdp.ConsumeIntegral<FileTime>();
  CandidateDumpMap map;
  AddCandidates(map, L"C:\\Windows\\Minidump", entries, floor, last);
  for (const auto& c : map) Check(c.first > floor && c.first > last);
}

void ReportUrl(FuzzedDataProvider& fdp) {
  const std::wstring base = WideText(fdp, 300);
  std::wstring url;
  if (BuildReportUrl(base, url)) Check(url.size() < kReportUrlCapacity && url.compare(0, base.size(), base) == 0);
  const std::wstring query = QueryPartOf(base);
  Check(query.empty() || query[0] == L'?');
  Check(BuildObjectName(base, query).size() < kRequestPartCapacity);
  RequestFlagsFor(base, kReportRequestFlags);
}

// An answer body whose reads the fuzzer scripts: sizes, failures, early ends, and reads claiming more
// than they were asked for. The bytes go into the reader's own buffer, so ASan sees any overrun.
class ScriptedBody : public AnswerBody {
 public:
  ScriptedBody(FuzzedDataProvider& fdp, uint32_t toRead) : fdp_(fdp), toRead_(toRead) {}
  long Read(char* buffer, uint32_t size) override {
    // No read reaches past what was to be read, however the server's length claim looked.
    Check(size > 0 && delivered_ + size <= toRead_);
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
  const uint32_t length = ParseContentLength(WideText(fdp, 24));
  const uint32_t toRead = AnswerBytesToRead(announced, length);
  Check(toRead <= kAnswerReadLimit);
  ScriptedBody body(fdp, toRead);
  ReadAnswerBody(body, announced, length);
}

}  // namespace
}  // namespace kerneldump

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider fdp(data, size);
  switch (fdp.ConsumeIntegralInRange<int>(0, 5)) {
    case 0: kerneldump::LastDmpTime(fdp); break;
    case 1: kerneldump::RegistryValues(fdp); break;
    case 2: kerneldump::VersionXml(fdp); break;
    case 3: kerneldump::Listing(fdp); break;
    case 4: kerneldump::ReportUrl(fdp); break;
    default: kerneldump::HttpAnswer(fdp); break;
  }
  return 0;
}
