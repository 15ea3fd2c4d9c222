// The machine identity of the information post (platform-free rules): the disk serial number from
// one of three device requests, its clean-up, and the adapter address. The device and adapter
// calls sit behind DiskDevices and AdapterSource (machine_identity_win.cpp for the real ones), so
// replies that no test machine gives can be fed in.
//
// Ownership: the caller owns every buffer and the device and adapter sources, which are borrowed for
// one call. False results mean the request or the text did not give a usable serial; the identity
// then falls back as ComposeMachineGuid says.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace ulvane {

// ---- Request blocks, laid out as the disk drivers read them. ----
#pragma pack(push, 1)
struct IdeRegs {
  uint8_t features, sectorCount, sectorNumber, cylinderLow, cylinderHigh, driveHead, command, reserved;
};
struct SendCmdInParams {
  uint32_t bufferSize;
  IdeRegs regs;
  uint8_t driveNumber;
  uint8_t reserved[3];
  uint32_t reserved2[4];
  uint8_t buffer[1];
};
struct DriverStatus {
  uint8_t driverError, ideError, reserved[2];
  uint32_t reserved2[2];
};
struct SendCmdOutParams {
  uint32_t bufferSize;
  DriverStatus status;
  uint8_t buffer[1];
};
struct SrbIoControl {
  uint32_t headerLength;
  uint8_t signature[8];
  uint32_t timeout, controlCode, returnCode, length;
};
struct StoragePropertyQuery {
  uint32_t propertyId, queryType;
  uint8_t additional[4];  // one byte and the padding the system's record carries
};
#pragma pack(pop)
static_assert(sizeof(IdeRegs) == 8 && offsetof(IdeRegs, command) == 6, "IDEREGS");
static_assert(sizeof(SendCmdInParams) == 33 && offsetof(SendCmdInParams, regs) == 4 &&
                  offsetof(SendCmdInParams, driveNumber) == 12 && offsetof(SendCmdInParams, buffer) == 32,
              "SENDCMDINPARAMS");
static_assert(sizeof(SendCmdOutParams) == 17 && offsetof(SendCmdOutParams, buffer) == 16, "SENDCMDOUTPARAMS");
static_assert(sizeof(SrbIoControl) == 28 && offsetof(SrbIoControl, controlCode) == 16 &&
                  offsetof(SrbIoControl, length) == 24,
              "SRB_IO_CONTROL");
static_assert(sizeof(StoragePropertyQuery) == 12, "STORAGE_PROPERTY_QUERY");

constexpr uint32_t kSmartRcvDriveData = 0x7C088;
constexpr uint32_t kIoctlScsiMiniport = 0x4D008;
constexpr uint32_t kIoctlScsiMiniportIdentify = 0x1B0501;
constexpr uint32_t kIoctlStorageQueryProperty = 0x2D1400;
constexpr uint8_t kAtaIdentifyDevice = 0xEC;

constexpr size_t kIdentifyBytes = 512;
constexpr size_t kSmartInBytes = 32;     // SENDCMDINPARAMS without its data byte
constexpr size_t kSmartOutBytes = 528;   // SENDCMDOUTPARAMS header (16) + IDENTIFY data
constexpr size_t kScsiBlockBytes = 556;  // SRB_IO_CONTROL (28) + SENDCMDOUTPARAMS header + data
constexpr size_t kScsiInBytes = 60;      // SRB_IO_CONTROL + SENDCMDINPARAMS without its data byte
constexpr size_t kDescriptorBytes = 10000;
constexpr size_t kDescriptorSerialOffsetField = 24;  // STORAGE_DEVICE_DESCRIPTOR.SerialNumberOffset
// Text fields of the IDENTIFY record (offset, length).
constexpr size_t kSerialAt = 20, kSerialLength = 20;
constexpr size_t kFirmwareAt = 46, kFirmwareLength = 8;
constexpr size_t kModelAt = 54, kModelLength = 40;

// One device request: open `device` (read/write access, or no access when `queryOnly`), send
// `code` with `in` and receive into `out` (which may be the same block), close. False when the
// device cannot be opened; `callOk` is the control call's own result.
class DiskDevices {
 public:
  virtual ~DiskDevices() = default;
  virtual bool Exchange(const std::wstring& device, bool queryOnly, uint32_t code, const uint8_t* in,
                        uint32_t inLength, uint8_t* out, uint32_t outLength, bool& callOk) = 0;
};

struct AdapterInfo {
  uint32_t ifType = 0;
  std::vector<uint8_t> address;
};
// The IPv4 adapters in the system's order; false when they cannot be listed.
class AdapterSource {
 public:
  virtual ~AdapterSource() = default;
  virtual bool List(std::vector<AdapterInfo>& adapters) = 0;
};

struct AdapterEntry {
  bool wireless = false;
  std::wstring mac;  // "%02X" per byte, no separators
};

// ATA texts: bytes of every 16-bit word exchanged, leading spaces moved out, trailing ones zeroed.
void FixAtaString(uint8_t* field, size_t length);
// The serial text of a STORAGE_DEVICE_DESCRIPTOR at `offset` of `bytes` (`size` readable bytes):
// hexadecimal pairs decoded, else the printable text as it is; then adjacent characters exchanged
// when `flip` (complete pairs only: an odd last character stays) and white space trimmed. False
// when the text runs past the bytes (no NUL inside them).
bool DecodeDescriptorSerial(const uint8_t* bytes, size_t size, long offset, bool flip, std::string& out);

bool IdentifyViaSmart(DiskDevices& devices, int drive, uint8_t* record);
bool IdentifyViaScsiMiniport(DiskDevices& devices, int drive, uint8_t* record);
bool IdentifyViaStorageQuery(DiskDevices& devices, int drive, uint8_t* record);
// The first usable serial of drives 0 to 3, spaces removed; empty when it has eight zeros in a row.
std::string GetDiskSerial(DiskDevices& devices);

std::vector<AdapterEntry> CollectAdapters(AdapterSource& source);
// The greatest wired MAC text; without a wired adapter, the first wireless one's.
bool GetMacAddressText(const std::vector<AdapterEntry>& entries, std::wstring& mac);

// "SSSSSSSS-" + MAC: the serial's first 8 characters when it has at least 8, else "00000000";
// "000000000000" when there is no MAC text.
std::wstring ComposeMachineGuid(const std::wstring& serial, const std::wstring& mac);

}  // namespace ulvane
