// Crash ID rules: a fixed ID without a signature, the MD5 of the signature otherwise.
#include "reporter/report/crash_id.h"

#include "common/protocol/uploader_switches.h"
#include "common/wformat.h"

namespace kelvor {

std::wstring DigestToHex(const Md5Digest& digest) {
  std::wstring out;
  for (uint8_t byte : digest) out += suite::WFormat(L"%02X", static_cast<unsigned>(byte));
  return out;
}

std::string SignatureBytes(const std::wstring& signature) {
  std::string out;
  out.reserve(signature.size());
  for (wchar_t c : signature) out.push_back(static_cast<unsigned>(c) < 0x80 ? static_cast<char>(c) : '?');
  return out;
}

std::wstring MakeCrashId(const std::wstring& signature) {
  if (signature.empty()) return protocol::kFixedCrashId;
  return DigestToHex(ComputeMd5(SignatureBytes(signature)));
}

}  // namespace kelvor
