// The crash ID: how the server groups crashes across runs and machines. Pure functions; nothing is
// kept between calls.
#pragma once
#include <string>

#include "reporter/report/md5.h"

namespace kelvor {

// 32 upper-case hex digits of the digest, byte by byte.
std::wstring DigestToHex(const Md5Digest& digest);

// The signature's bytes as the ANSI code page would give them. A signature only ever holds hex
// digits, spaces, decimal digits and a minus sign, so this is one byte per character; anything
// else becomes '?', the code page's default character.
std::string SignatureBytes(const std::wstring& signature);

// protocol::kFixedCrashId for an empty signature, else the upper-case hex MD5 of its bytes.
std::wstring MakeCrashId(const std::wstring& signature);

}  // namespace kelvor
