#include "uploader/machine_identity.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>

namespace ulvane {
namespace {

// Recorded device replies, keyed by device name and control code; a device that is not listed
// cannot be opened.
struct Reply {
  bool callOk = true;
  std::vector<uint8_t> bytes;  // written at the start of the output block
};
class FakeDisks : public DiskDevices {
 public:
  std::map<std::pair<std::wstring, uint32_t>, Reply> replies;
  std::vector<std::vector<uint8_t>> inputs;
  bool Exchange(const std::wstring& device, bool, uint32_t code, const uint8_t* in, uint32_t inLength,
                uint8_t* out, uint32_t outLength, bool& callOk) override {
    auto it = replies.find({device, code});
    if (it == replies.end()) return false;
    inputs.emplace_back(in, in + inLength);
    if (!it->second.bytes.empty())
      std::memcpy(out, it->second.bytes.data(), std::min<size_t>(outLength, it->second.bytes.size()));
    callOk = it->second.callOk;
    return true;
  }
};

// An IDENTIFY record whose text fields read `serial` and `model` once their byte pairs are exchanged
// back, padded with spaces as drives store them.
std::vector<uint8_t> IdentifyRecord(const std::string& serial, const std::string& model = "MODEL") {
  std::vector<uint8_t> r(kIdentifyBytes, 0);
  auto put = [&](size_t at, size_t length, std::string text) {
    text.resize(length, ' ');
    for (size_t i = 0; i < length; i += 2) {
      r[at + i] = text[i + 1];
      r[at + i + 1] = text[i];
    }
  };
  put(kSerialAt, kSerialLength, serial);
  put(kModelAt, kModelLength, model);
  put(kFirmwareAt, kFirmwareLength, "1.0");
  return r;
}
Reply SmartReply(const std::string& serial) {
  Reply reply;
  reply.bytes.assign(16, 0);
  const auto record = IdentifyRecord(serial);
  reply.bytes.insert(reply.bytes.end(), record.begin(), record.end());
  return reply;
}
std::wstring Drive(int i) { return L"\\\\.\\PhysicalDrive" + std::to_wstring(i); }

TEST(FixAtaString, ExchangesTrimsAndMovesLeadingSpaces) {
  const auto r = IdentifyRecord("            S1234567");
  std::vector<uint8_t> field(r.begin() + kSerialAt, r.begin() + kSerialAt + kSerialLength);
  FixAtaString(field.data(), field.size());
  EXPECT_EQ(std::string(reinterpret_cast<char*>(field.data()), 8), "S1234567");
  EXPECT_EQ(std::vector<uint8_t>(field.begin() + 8, field.end()), std::vector<uint8_t>(12, 0));
  uint8_t odd[] = {'B', 'A', ' ', 'C'};  // "AB" "C " after the exchange
  FixAtaString(odd, 4);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(odd), 4), std::string("ABC\0", 4));
  // Leading and trailing spaces together: the moved text's trailing spaces are zeroed as well.
  uint8_t both[] = {' ', ' ', '1', 'X', ' ', ' ', ' '};  // "  X1   " after the exchange
  FixAtaString(both, 7);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(both), 7), std::string("X1\0\0\0\0\0", 7));
}

TEST(DiskSerial, SmartReplyDecoded) {
  FakeDisks disks;
  disks.replies[{Drive(0), kSmartRcvDriveData}] = SmartReply("            S1234567");
  EXPECT_EQ(GetDiskSerial(disks), "S1234567");
  // The request block: 32 bytes, command 0xEC, drive number 0.
  ASSERT_EQ(disks.inputs[0].size(), kSmartInBytes);
  EXPECT_EQ(disks.inputs[0][offsetof(SendCmdInParams, regs) + 6], 0xEC);
  EXPECT_EQ(disks.inputs[0][offsetof(SendCmdInParams, driveNumber)], 0);
}

TEST(DiskSerial, SpacesRemovedAndZerosRejected) {
  struct Case {
    const char* serial;
    const char* want;
  } cases[] = {{"WD-WCAV1234 5678", "WD-WCAV12345678"},
               {"0000000012345", ""},
               {"AB00000000", ""},
               {"ABC0000000D", "ABC0000000D"}};
  for (const Case& c : cases) {
    FakeDisks disks;
    disks.replies[{Drive(0), kSmartRcvDriveData}] = SmartReply(c.serial);
    EXPECT_EQ(GetDiskSerial(disks), c.want) << c.serial;
  }
  // The identity keeps 8 characters: the inner space case gives WD-WCAV1.
  EXPECT_EQ(ComposeMachineGuid(L"WD-WCAV12345678", L"0011"), L"WD-WCAV1-0011");
  EXPECT_EQ(ComposeMachineGuid(L"ABCDEFG", L"0011"), L"00000000-0011");  // seven characters
  EXPECT_EQ(ComposeMachineGuid(L"", L""), L"00000000-000000000000");
}

TEST(DiskSerial, EmptyFirstDriveMovesOnButRejectedSerialStops) {
  FakeDisks disks;
  disks.replies[{Drive(0), kSmartRcvDriveData}] = SmartReply("");
  disks.replies[{Drive(1), kSmartRcvDriveData}] = SmartReply("SECOND99");
  EXPECT_EQ(GetDiskSerial(disks), "SECOND99");

  FakeDisks zeros;
  zeros.replies[{Drive(0), kSmartRcvDriveData}] = SmartReply("X00000000");
  zeros.replies[{Drive(1), kSmartRcvDriveData}] = SmartReply("SECOND99");
  EXPECT_EQ(GetDiskSerial(zeros), "");
}

TEST(DiskSerial, FailedSmartFallsBackToScsiThenStorageQuery) {
  FakeDisks disks;
  Reply refused;
  refused.callOk = false;
  disks.replies[{Drive(0), kSmartRcvDriveData}] = refused;
  // SCSI port 0 answers drive 0 (and would answer drive 1 as its second device).
  Reply scsi;
  scsi.bytes.assign(44, 0);
  const auto record = IdentifyRecord("SCSI1234");
  scsi.bytes.insert(scsi.bytes.end(), record.begin(), record.end());
  disks.replies[{L"\\\\.\\Scsi0:", kIoctlScsiMiniport}] = scsi;
  EXPECT_EQ(GetDiskSerial(disks), "SCSI1234");
  const auto& block = disks.inputs[1];
  ASSERT_EQ(block.size(), kScsiInBytes);
  EXPECT_EQ(std::string(block.begin() + 4, block.begin() + 12), "SCSIDISK");
  EXPECT_EQ(block[16] | block[17] << 8 | block[18] << 16, 0x1B0501);
  EXPECT_EQ(block[24] | block[25] << 8, 528);
  EXPECT_EQ(block[28 + 4 + 6], 0xEC);

  // No model number: the SCSI answer does not count; the storage query's hex serial does.
  FakeDisks hex;
  Reply noModel = scsi;
  std::memset(&noModel.bytes[44 + kModelAt], 0, kModelLength);
  hex.replies[{L"\\\\.\\Scsi0:", kIoctlScsiMiniport}] = noModel;
  Reply descriptor;
  descriptor.bytes.assign(kDescriptorBytes, 0);
  descriptor.bytes[kDescriptorSerialOffsetField] = 100;
  std::memcpy(&descriptor.bytes[100], "3457", 4);
  hex.replies[{Drive(0), kIoctlStorageQueryProperty}] = descriptor;
  uint8_t rec[kIdentifyBytes] = {};
  EXPECT_TRUE(IdentifyViaStorageQuery(hex, 0, rec));
  EXPECT_STREQ(reinterpret_cast<char*>(rec + kSerialAt), "W4");
}

TEST(DecodeDescriptorSerial, HexTextAndFlip) {
  auto decode = [](const std::string& text, bool flip) {
    std::vector<uint8_t> bytes(8, 0);
    bytes.insert(bytes.end(), text.begin(), text.end());
    bytes.push_back(0);
    std::string out;
    EXPECT_TRUE(DecodeDescriptorSerial(bytes.data(), bytes.size(), 8, flip, out));
    return out;
  };
  EXPECT_EQ(decode("3457", true), "W4");
  EXPECT_EQ(decode("3457", false), "4W");
  EXPECT_EQ(decode("2020344157", true), "A4W");  // spaces decoded, then trimmed after the flip
  EXPECT_EQ(decode("  WD-X  ", false), "WD-X");  // not hex: the printable text as it is
  EXPECT_EQ(decode("BADC", true), "ABCD");       // hex digits, but 0xBA is not printable: text kept
  EXPECT_EQ(decode("abc", false), "abc");
  // Odd length: complete pairs exchanged, the last character kept.
  EXPECT_EQ(decode("ABCDE\x01", false), "");
  EXPECT_EQ(decode("ZYXWV", true), "YZWXV");
  EXPECT_EQ(decode("345", true), "4");  // the unpaired digit is dropped

  std::string out = "x";
  const uint8_t noNul[4] = {'A', 'B', 'C', 'D'};
  EXPECT_FALSE(DecodeDescriptorSerial(noNul, 4, 1, true, out));
  EXPECT_FALSE(DecodeDescriptorSerial(noNul, 4, 9, true, out));
  EXPECT_TRUE(DecodeDescriptorSerial(noNul, 4, 0, true, out));
  EXPECT_EQ(out, "");
}

class FakeAdapters : public AdapterSource {
 public:
  std::vector<AdapterInfo> list;
  bool ok = true;
  bool List(std::vector<AdapterInfo>& adapters) override {
    adapters = list;
    return ok;
  }
};
AdapterInfo Adapter(uint32_t type, std::vector<uint8_t> address) {
  AdapterInfo a;
  a.ifType = type;
  a.address = address;
  return a;
}

TEST(MacChoice, GreatestWiredElseFirstWireless) {
  FakeAdapters adapters;
  adapters.list = {Adapter(6, {0x00, 0x11, 0x22, 0x33, 0x44, 0x55}),
                   Adapter(71, {0x00, 0xFF, 1, 2, 3, 4}),
                   Adapter(6, {0x00, 0xAA, 0xBB, 0xCC, 0xDD, 0x0E}),
                   Adapter(24, {}),
                   Adapter(6, {}),
                   Adapter(23, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF})};
  std::wstring mac;
  EXPECT_TRUE(GetMacAddressText(CollectAdapters(adapters), mac));
  EXPECT_EQ(mac, L"00AABBCCDD0E");

  adapters.list = {Adapter(71, {0x02, 0, 0, 0, 0, 1}), Adapter(71, {0x09, 0, 0, 0, 0, 2})};
  EXPECT_TRUE(GetMacAddressText(CollectAdapters(adapters), mac));
  EXPECT_EQ(mac, L"020000000001");

  adapters.list = {Adapter(24, {}), Adapter(6, {})};
  EXPECT_FALSE(GetMacAddressText(CollectAdapters(adapters), mac));
  EXPECT_EQ(mac, L"");
  adapters.ok = false;
  EXPECT_TRUE(CollectAdapters(adapters).empty());
}

}  // namespace
}  // namespace ulvane
