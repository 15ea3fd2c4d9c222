#include "reporter/report/md5.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>
#include <vector>

#include "reporter/report/crash_id.h"

namespace {
using kelvor::ComputeMd5;

std::string Hex(const kelvor::Md5Digest& d) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (uint8_t b : d) {
    out.push_back(digits[b >> 4]);
    out.push_back(digits[b & 15]);
  }
  return out;
}

TEST(Md5, Rfc1321TestSuite) {
  EXPECT_EQ(Hex(ComputeMd5("")), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(Hex(ComputeMd5("a")), "0cc175b9c0f1b6a831c399e269772661");
  EXPECT_EQ(Hex(ComputeMd5("abc")), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(Hex(ComputeMd5("message digest")), "f96b697d7cb7938d525a2f31aaf161d0");
  EXPECT_EQ(Hex(ComputeMd5("abcdefghijklmnopqrstuvwxyz")), "c3fcd3d76192e4007dfb496cca67e13b");
  EXPECT_EQ(Hex(ComputeMd5("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789")),
            "d174ab98d277d9f5a5611c2c9f419d9f");
  EXPECT_EQ(Hex(ComputeMd5("1234567890123456789012345678901234567890123456789012345678901234567890123456789"
                           "0")),
            "57edf4a22be3c955ac49da2e2107b67a");
}

TEST(Md5, IncrementalUpdatesMatchOneShotAcrossBlockEdges) {
  std::string data;
  for (int i = 0; i < 300; ++i) data.push_back(static_cast<char>(i * 7 + 3));
  for (size_t split : {0u, 1u, 55u, 56u, 63u, 64u, 65u, 128u, 299u}) {
    kelvor::CMd5 md5;
    md5.Update(data.data(), split);
    md5.Update(data.data() + split, data.size() - split);
    EXPECT_EQ(md5.Final(), ComputeMd5(data)) << "split at " << split;
  }
}

#ifndef _WIN32
// Random inputs against the system's md5sum, an implementation independent of ours. Lengths
// cluster around the padding edges (55/56/64 bytes) where MD5 implementations usually go wrong.
TEST(Md5, AgreesWithMd5sumOnRandomInputs) {
  std::mt19937 rng(20261208);
  std::vector<std::string> inputs;
  std::vector<size_t> lengths = {0, 1, 55, 56, 57, 63, 64, 65, 119, 120, 127, 128, 129, 1000, 4096, 65537};
  for (int i = 0; i < 64; ++i) lengths.push_back(rng() % 700);
  char dir[] = "/tmp/md5testXXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  std::string command = "cd ";
  command += dir;
  command += " && md5sum";
  for (size_t i = 0; i < lengths.size(); ++i) {
    std::string bytes(lengths[i], '\0');
    for (char& c : bytes) c = static_cast<char>(rng());
    inputs.push_back(bytes);
    std::string name = "in" + std::to_string(i);
    std::ofstream(std::string(dir) + "/" + name, std::ios::binary) << bytes;
    command += " " + name;
  }
  FILE* pipe = popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  char line[256];
  size_t checked = 0;
  while (fgets(line, sizeof line, pipe)) {
    std::istringstream in(line);
    std::string digest, name;
    in >> digest >> name;
    size_t index = std::stoul(name.substr(2));
    ASSERT_LT(index, inputs.size());
    EXPECT_EQ(Hex(ComputeMd5(inputs[index])), digest) << "length " << inputs[index].size();
    ++checked;
  }
  pclose(pipe);
  EXPECT_EQ(checked, inputs.size());
  std::system((std::string("rm -rf ") + dir).c_str());
}
#endif

TEST(CrashId, FixedIdWithoutSignatureElseUpperCaseMd5) {
  EXPECT_EQ(kelvor::MakeCrashId(L""), L"0123456789abcdef0123456789abcdef");
  // Three suite frames at offsets 26, 64, 26: eight ASCII bytes.
  EXPECT_EQ(kelvor::MakeCrashId(L"1a 40 1a"), L"6411A82AC403CB898D94121C6BBB3287");
  EXPECT_EQ(kelvor::MakeCrashId(L"74565"), L"D7738AA57DA2FD2F6A4108E53B4EDB82");
  EXPECT_EQ(kelvor::MakeCrashId(L"1a 40 1a").size(), 32u);
  EXPECT_NE(kelvor::MakeCrashId(L"1a 40 1a"), kelvor::MakeCrashId(L"1a 40 1b"));
}

TEST(CrashId, SignatureBytesAreOnePerCharacter) {
  EXPECT_EQ(kelvor::SignatureBytes(L"-12 ab"), "-12 ab");
  EXPECT_EQ(kelvor::SignatureBytes(std::wstring(L"a\u00e9b")), "a?b");
}

}  // namespace
