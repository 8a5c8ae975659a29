// Device enumeration: the present device interfaces of an interface class,
// shaped after SetupAPI so that the library's enumeration reads the same on
// every system.
//
// A DeviceInfoSet is a snapshot of the devices present when it was opened
// (SetupDiGetClassDevs with DIGCF_PRESENT | DIGCF_DEVICEINTERFACE). Its
// devices are walked by index; for each the interface record, the interface
// path (the text the driver opens) and registry properties can be queried.
// Every query reports failure by its result and the calling thread's last
// error. On POSIX the devices are the entries of the stand-in's device root
// ($NVDEVICES_DEVICE_ROOT, default /tmp/nvdevices), one folder per class; see
// docs/driver-stand-in.md.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace platform {

// A GUID in its binary layout.
struct Guid {
  uint32_t data1 = 0;
  uint16_t data2 = 0;
  uint16_t data3 = 0;
  uint8_t data4[8] = {};
};
bool operator==(const Guid& a, const Guid& b);

// The registry text form: "{A5DCBF10-6530-11D2-901F-00C04FB951ED}".
std::string GuidRegistryText(const Guid& guid);

// The device-information record of one device (SP_DEVINFO_DATA).
struct DeviceInfoData {
  uint32_t size = 32;  // the record's size field
  Guid classGuid;      // the device's setup class (zero on POSIX)
  uint32_t devInst = 0;
  uintptr_t reserved = 0;
};

// The interface record (SP_DEVICE_INTERFACE_DATA).
struct DeviceInterfaceData {
  uint32_t size = 32;
  Guid interfaceClassGuid;
  uint32_t flags = 0;  // SPINT_ACTIVE (1) for a present interface
  uintptr_t reserved = 0;
};

// Registry properties (SPDRP_*).
enum DeviceProperty : uint32_t {
  kPropertyDeviceDescription = 0,     // SPDRP_DEVICEDESC
  kPropertyService = 4,               // SPDRP_SERVICE
  kPropertyLocationInformation = 13,  // SPDRP_LOCATION_INFORMATION
};

class DeviceInfoSet {
 public:
  // The present interfaces of a class. Null when the class cannot be queried
  // (LastError says why); a class without devices gives an empty set.
  static std::unique_ptr<DeviceInfoSet> Open(const Guid& interfaceClass);
  DeviceInfoSet();  // an empty set
  ~DeviceInfoSet();
  DeviceInfoSet(const DeviceInfoSet&) = delete;
  DeviceInfoSet& operator=(const DeviceInfoSet&) = delete;

  // The device at `index` (SetupDiEnumDeviceInfo); false with error 259 past
  // the last one.
  bool EnumDeviceInfo(uint32_t index, DeviceInfoData& info) const;
  // Interface `memberIndex` of the class on a device
  // (SetupDiEnumDeviceInterfaces); false with 259 when it has no such one.
  bool EnumDeviceInterface(const DeviceInfoData& info, const Guid& interfaceClass,
                           uint32_t memberIndex, DeviceInterfaceData& data) const;
  // The interface's device path (SetupDiGetDeviceInterfaceDetail).
  bool GetInterfacePath(const DeviceInterfaceData& data, std::string& path) const;
  // A registry property as text (SetupDiGetDeviceRegistryProperty) into a
  // buffer of `bufferSize` bytes: false with 13 when the device does not have
  // the property, 122 when the text and its terminating NUL do not fit.
  bool GetProperty(const DeviceInfoData& info, uint32_t property, uint32_t bufferSize,
                   std::string& value) const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// The device root of the POSIX stand-in: $NVDEVICES_DEVICE_ROOT, or
// /tmp/nvdevices when that is unset or empty. "" on systems without it.
std::string DeviceRoot();

}  // namespace platform
