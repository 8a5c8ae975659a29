// Finding the instruments: the present interfaces of a device-interface
// class whose driver service is the instrument driver.
//
// A USBDeviceInfoList is built, refreshed, read and destroyed by one caller
// (one thread at a time). Each Refresh warns the user when Kalto is running
// (it opens the USB devices itself, so the channel's exclusive open would
// fail), then rebuilds the entries from the system.
#pragma once

#include <cstdint>
#include <memory>

#include "base/containers.h"
#include "base/strings.h"
#include "platform/enumeration.h"

// The Windows USB device interface class {A5DCBF10-6530-11D2-901F-00C04FB951ED}.
extern const platform::Guid kUsbDeviceInterfaceGuid;
// The instrument driver's service name.
inline constexpr const char* kInstrumentService = "ZDUSBDEV";

// One present device interface.
class ZdUSBDeviceInfo : public BaseObject, public platform::DeviceInfoData {
 public:
  // Fills the entry from the set; texts that cannot be read stay "Unknown",
  // a property that cannot be read gets the property-error text.
  ZdUSBDeviceInfo(const platform::DeviceInfoData& deviceInfo,
                  const platform::DeviceInfoSet* infoSet, const platform::Guid* classGuid);
  ~ZdUSBDeviceInfo() override;
  const char* ClassName() const override { return "ZdUSBDeviceInfo"; }
  // Equal when DevicePath, LocationInfo and Description are all equal, byte
  // for byte.
  bool IsEqual(const BaseObject* other) const override;

  const platform::DeviceInfoSet* InfoSet;  // owned by the list
  Istr DevicePath;
  Istr LocationInfo;
  Istr Description;
  platform::DeviceInterfaceData InterfaceData;
};

class USBDeviceInfoList : public PSContainer<ZdUSBDeviceInfo> {
 public:
  // Keeps the GUID pointer (the caller keeps the GUID alive) and a copy of
  // the filter (null or "" keeps every device); refreshes when asked.
  USBDeviceInfoList(const platform::Guid* classGuid, const char* filter, bool refreshNow);
  ~USBDeviceInfoList() override;
  const char* ClassName() const override { return "USBDeviceInfoList"; }

  void Refresh();
  // The short listing: a heading, "#<i>: \"location\": \"description\",
  // \"path\"" per entry, a final line end.
  void FormatList(PStr& out) const;
  // The listing to the library log.
  void PrintList() const;
  // "{ A5DCBF10, 6530, 11D2, 90, 1F, ... }"; "" for no GUID.
  static void FormatGuid(const platform::Guid* guid, PStr& out);

  const platform::Guid* ClassGuid;
  Istr Filter;

 private:
  std::unique_ptr<platform::DeviceInfoSet> infoSet_;
};
