// Machine identity: disk serial requests, their decoding and the adapter choice.
#include "uploader/machine_identity.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "common/wformat.h"

namespace ulvane {

namespace {

constexpr size_t kCommandAt = offsetof(SendCmdInParams, regs) + offsetof(IdeRegs, command);

bool IsPrintable(uint8_t c) { return c >= 0x20 && c <= 0x7E; }
bool IsSpaceChar(uint8_t c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

std::wstring DeviceName(const wchar_t* format, int index) { return suite::WFormat(format, index); }

void FixIdentifyTexts(uint8_t* record) {
  FixAtaString(record + kSerialAt, kSerialLength);
  FixAtaString(record + kModelAt, kModelLength);
  FixAtaString(record + kFirmwareAt, kFirmwareLength);
}

bool DecodeHex(const uint8_t* text, size_t length, std::string& out) {
  out.clear();
  int high = -1;
  for (size_t i = 0; i < length; ++i) {
    uint8_t c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<uint8_t>(c - 'A' + 'a');
    if (IsSpaceChar(c)) c = '0';
    int digit;
    if (c >= '0' && c <= '9')
      digit = c - '0';
    else if (c >= 'a' && c <= 'f')
      digit = c - 'a' + 10;
    else
      return false;
    if (high < 0) {
      high = digit;
      continue;
    }
    const uint8_t byte = static_cast<uint8_t>(high << 4 | digit);
    high = -1;
    if (byte != 0 && !IsPrintable(byte)) return false;
    out += static_cast<char>(byte);
  }
  // A decoded zero ends the text as it would end a C string.
  out = out.substr(0, out.find('\0'));
  return true;
}

}  // namespace

void FixAtaString(uint8_t* field, size_t length) {
  for (size_t i = 0; i + 1 < length; i += 2) std::swap(field[i], field[i + 1]);
  size_t lead = 0;
  while (lead < length && field[lead] == ' ') ++lead;
  if (lead) {
    std::memmove(field, field + lead, length - lead);
    std::memset(field + length - lead, 0, lead);
  }
  // The text now ends where the moved-in zeros begin: its trailing spaces are those before them.
  for (size_t i = length - lead; i > 0 && field[i - 1] == ' '; --i) field[i - 1] = 0;
}

bool DecodeDescriptorSerial(const uint8_t* bytes, size_t size, long offset, bool flip, std::string& out) {
  out.clear();
  if (offset <= 0) return true;
  if (static_cast<size_t>(offset) >= size) return false;
  const uint8_t* text = bytes + offset;
  const void* nul = std::memchr(text, 0, size - offset);
  if (!nul) return false;
  const size_t length = static_cast<const uint8_t*>(nul) - text;
  if (!DecodeHex(text, length, out)) {
    out.clear();
    size_t i = 0;
    while (i < length && IsPrintable(text[i])) ++i;
    if (i == length) out.assign(reinterpret_cast<const char*>(text), length);
  }
  if (flip)
    for (size_t i = 0; i + 1 < out.size(); i += 2) std::swap(out[i], out[i + 1]);
  size_t first = 0, last = out.size();
  while (first < last && IsSpaceChar(static_cast<uint8_t>(out[first]))) ++first;
  while (last > first && IsSpaceChar(static_cast<uint8_t>(out[last - 1]))) --last;
  out = out.substr(first, last - first);
  return true;
}

bool IdentifyViaSmart(DiskDevices& devices, int drive, uint8_t* record) {
  uint8_t in[kSmartInBytes] = {};
  // The request is the record without its trailing data byte: written field by field.
  in[kCommandAt] = kAtaIdentifyDevice;
  uint8_t out[kSmartOutBytes] = {};
  const uint32_t dataSize = kIdentifyBytes;
  std::memcpy(out, &dataSize, sizeof dataSize);
  bool callOk = false;
  if (!devices.Exchange(DeviceName(L"\\\\.\\PhysicalDrive%d", drive), false, kSmartRcvDriveData, in,
                        sizeof in, out, sizeof out, callOk))
    return false;
  std::memcpy(record, out + offsetof(SendCmdOutParams, buffer), kIdentifyBytes);
  if (callOk) FixIdentifyTexts(record);
  return callOk;
}

bool IdentifyViaScsiMiniport(DiskDevices& devices, int drive, uint8_t* record) {
  uint8_t block[kScsiBlockBytes] = {};
  SrbIoControl header = {};
  header.headerLength = sizeof(SrbIoControl);
  std::memcpy(header.signature, "SCSIDISK", 8);
  header.timeout = 10000;
  header.controlCode = kIoctlScsiMiniportIdentify;
  header.length = kSmartOutBytes;
  std::memcpy(block, &header, sizeof header);
  block[sizeof(SrbIoControl) + kCommandAt] = kAtaIdentifyDevice;
  block[sizeof(SrbIoControl) + offsetof(SendCmdInParams, driveNumber)] = static_cast<uint8_t>(drive % 2);
  bool callOk = false;
  if (!devices.Exchange(DeviceName(L"\\\\.\\Scsi%d:", drive / 2), false, kIoctlScsiMiniport, block,
                        kScsiInBytes, block, sizeof block, callOk))
    return false;
  std::memcpy(record, block + sizeof(SrbIoControl) + offsetof(SendCmdOutParams, buffer), kIdentifyBytes);
  if (!callOk || record[kModelAt] == 0) return false;
  FixIdentifyTexts(record);
  return true;
}

bool IdentifyViaStorageQuery(DiskDevices& devices, int drive, uint8_t* record) {
  uint8_t query[sizeof(StoragePropertyQuery)] = {};  // StorageDeviceProperty, PropertyStandardQuery
  std::vector<uint8_t> out(kDescriptorBytes, 0);
  bool callOk = false;
  if (!devices.Exchange(DeviceName(L"\\\\.\\PhysicalDrive%d", drive), true, kIoctlStorageQueryProperty, query,
                        sizeof query, out.data(), static_cast<uint32_t>(out.size()), callOk))
    return false;
  if (!callOk) return false;
  uint32_t serialOffset = 0;
  std::memcpy(&serialOffset, out.data() + kDescriptorSerialOffsetField, sizeof serialOffset);
  std::string serial;
  if (!DecodeDescriptorSerial(out.data(), out.size(), static_cast<long>(static_cast<int32_t>(serialOffset)),
                              true, serial))
    return false;
  std::memset(record + kSerialAt, 0, kSerialLength);
  std::memcpy(record + kSerialAt, serial.data(), std::min<size_t>(serial.size(), kSerialLength - 1));
  return record[kSerialAt] != 0;
}

std::string GetDiskSerial(DiskDevices& devices) {
  std::string text;
  for (int drive = 0; drive < 4 && text.empty(); ++drive) {
    uint8_t record[kIdentifyBytes] = {};
    if (IdentifyViaSmart(devices, drive, record) || IdentifyViaScsiMiniport(devices, drive, record) ||
        IdentifyViaStorageQuery(devices, drive, record)) {
      const char* serial = reinterpret_cast<const char*>(record + kSerialAt);
      text.append(serial, strnlen(serial, kSerialLength));
    }
  }
  std::string compact;
  for (char c : text)
    if (c != ' ') compact += c;
  if (compact.find("00000000") != std::string::npos) return std::string();
  return compact;
}

std::vector<AdapterEntry> CollectAdapters(AdapterSource& source) {
  std::vector<AdapterInfo> adapters;
  std::vector<AdapterEntry> entries;
  if (!source.List(adapters)) return entries;
  for (const AdapterInfo& a : adapters) {
    if (a.address.empty() || (a.ifType != 6 && a.ifType != 71)) continue;
    AdapterEntry e;
    e.wireless = a.ifType == 71;
    for (uint8_t b : a.address) e.mac += suite::WFormat(L"%02X", static_cast<unsigned>(b));
    entries.push_back(e);
  }
  return entries;
}

bool GetMacAddressText(const std::vector<AdapterEntry>& entries, std::wstring& mac) {
  mac.clear();
  bool found = false;
  for (const AdapterEntry& e : entries) {
    if (e.wireless) continue;
    found = true;
    if (mac < e.mac) mac = e.mac;
  }
  if (found) return true;
  for (const AdapterEntry& e : entries) {
    if (!e.wireless) continue;
    mac = e.mac;
    return true;
  }
  return false;
}

std::wstring ComposeMachineGuid(const std::wstring& serial, const std::wstring& mac) {
  std::wstring guid = serial.size() >= 8 ? serial.substr(0, 8) + L"-" : L"00000000-";
  return guid + (mac.empty() ? L"000000000000" : mac);
}

}  // namespace ulvane
