// The machine identity against the real disks and adapters.
#include <winsock2.h>

#include <windows.h>
// windows.h first: the other Windows headers build on its types.
#include <iphlpapi.h>
#include <ntddscsi.h>
#include <winioctl.h>

#include "common/scoped_handle_win.h"
#include "uploader/machine_identity_win.h"

namespace ulvane {

// Our request blocks must be the system's records byte for byte.
static_assert(sizeof(SendCmdInParams) == sizeof(SENDCMDINPARAMS), "SENDCMDINPARAMS");
static_assert(sizeof(SendCmdOutParams) == sizeof(SENDCMDOUTPARAMS), "SENDCMDOUTPARAMS");
static_assert(offsetof(SendCmdOutParams, buffer) == offsetof(SENDCMDOUTPARAMS, bBuffer), "bBuffer");
static_assert(sizeof(SrbIoControl) == sizeof(SRB_IO_CONTROL), "SRB_IO_CONTROL");
static_assert(sizeof(StoragePropertyQuery) == sizeof(STORAGE_PROPERTY_QUERY), "STORAGE_PROPERTY_QUERY");
static_assert(kDescriptorSerialOffsetField == offsetof(STORAGE_DEVICE_DESCRIPTOR, SerialNumberOffset),
              "SerialNumberOffset");
static_assert(kSmartRcvDriveData == SMART_RCV_DRIVE_DATA, "SMART_RCV_DRIVE_DATA");
static_assert(kIoctlScsiMiniport == IOCTL_SCSI_MINIPORT, "IOCTL_SCSI_MINIPORT");
// The miniport code is a plain number in the driver kit: (FILE_DEVICE_SCSI 0x1B << 16) + 0x0501.
static_assert(kIoctlScsiMiniportIdentify == ((0x1Bu << 16) + 0x0501), "IOCTL_SCSI_MINIPORT_IDENTIFY");
static_assert(kIoctlStorageQueryProperty == IOCTL_STORAGE_QUERY_PROPERTY, "IOCTL_STORAGE_QUERY_PROPERTY");
static_assert(kAtaIdentifyDevice == ID_CMD, "ID_CMD");

bool WinDiskDevices::Exchange(const std::wstring& device, bool queryOnly, uint32_t code, const uint8_t* in,
                              uint32_t inLength, uint8_t* out, uint32_t outLength, bool& callOk) {
  callOk = false;
  suite::ScopedFile opened(CreateFileW(device.c_str(), queryOnly ? 0 : GENERIC_READ | GENERIC_WRITE,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                       nullptr));
  if (!opened) return false;
  DWORD returned = 0;
  callOk = DeviceIoControl(opened.get(), code, const_cast<uint8_t*>(in), inLength, out, outLength, &returned,
                           nullptr) != FALSE;
  return true;
}

bool WinAdapterSource::List(std::vector<AdapterInfo>& adapters) {
  adapters.clear();
  ULONG size = 0;
  if (GetAdaptersAddresses(AF_INET, 0, nullptr, nullptr, &size) != ERROR_BUFFER_OVERFLOW) return false;
  auto* buffer = static_cast<IP_ADAPTER_ADDRESSES*>(HeapAlloc(GetProcessHeap(), 0, size));
  if (!buffer) return false;
  bool ok = GetAdaptersAddresses(AF_INET, 0, nullptr, buffer, &size) == ERROR_SUCCESS;
  for (IP_ADAPTER_ADDRESSES* a = ok ? buffer : nullptr; a; a = a->Next) {
    AdapterInfo info;
    info.ifType = a->IfType;
    const ULONG length =
        a->PhysicalAddressLength <= MAX_ADAPTER_ADDRESS_LENGTH ? a->PhysicalAddressLength : 0;
    info.address.assign(a->PhysicalAddress, a->PhysicalAddress + length);
    adapters.push_back(info);
  }
  HeapFree(GetProcessHeap(), 0, buffer);
  return ok;
}

std::wstring WidenAnsi(const std::string& text) {
  if (text.empty()) return std::wstring();
  int n = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(n > 0 ? n : 0, L'\0');
  if (n > 0) MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), &wide[0], n);
  return wide;
}

bool GetMachineGuidWith(DiskDevices& disks, AdapterSource& adapters, std::wstring& guid) {
  const std::wstring serial = WidenAnsi(GetDiskSerial(disks));
  std::wstring mac;
  const bool found = GetMacAddressText(CollectAdapters(adapters), mac);
  guid = ComposeMachineGuid(serial, mac);
  return found;
}

bool GetMachineGuid(std::wstring& guid) {
  WinDiskDevices disks;
  WinAdapterSource adapters;
  return GetMachineGuidWith(disks, adapters, guid);
}

}  // namespace ulvane
