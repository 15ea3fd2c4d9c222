// The machine identity from the real disks and adapters.
//
// Ownership: Exchange opens and closes its device within the call; nothing is kept. False results are
// those of the interfaces in machine_identity.h.
#pragma once
#include <string>

#include "uploader/machine_identity.h"

namespace ulvane {

class WinDiskDevices : public DiskDevices {
 public:
  bool Exchange(const std::wstring& device, bool queryOnly, uint32_t code, const uint8_t* in,
                uint32_t inLength, uint8_t* out, uint32_t outLength, bool& callOk) override;
};

class WinAdapterSource : public AdapterSource {
 public:
  bool List(std::vector<AdapterInfo>& adapters) override;
};

// The serial's bytes in the ANSI code page, as UTF-16.
std::wstring WidenAnsi(const std::string& text);
bool GetMachineGuidWith(DiskDevices& disks, AdapterSource& adapters, std::wstring& guid);
// "SSSSSSSS-MACTEXT"; true when an adapter was found.
bool GetMachineGuid(std::wstring& guid);

}  // namespace ulvane
