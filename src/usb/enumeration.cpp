#include "usb/enumeration.h"

#include <memory>
#include <string>
#include <string_view>

#include "base/format.h"
#include "base/log.h"
#include "base/messages.h"
#include "base/options.h"
#include "platform/errors.h"
#include "usb/channel.h"
#include "usb/source_names.h"

const platform::Guid kUsbDeviceInterfaceGuid = {
    0xA5DCBF10, 0x6530, 0x11D2, {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED}};

namespace {

constexpr uint32_t kServiceBufferSize = 256;
constexpr uint32_t kPropertyBufferSize = 512;
constexpr const char* kUnknown = "Unknown";

// The Kalto warning: English, then the Windows-1251 variant, each headed by
// its title between 0x04 markers.
const char* KaltoWarning() {
  static const std::string text = [] {
    std::string warning =
        "\x04"
        "Attention!"
        "\x04"
        "\n\nThe Kalto application is running on the computer. It automatically opens USB "
        "devices connected to the computer.\n"
        "|"
        "\x04";
    const PStr title = To1251("Внимание!");
    const PStr body = To1251(
        "\n\nНа компьютере запущена программа Kalto, которая автоматически открывает "
        "подключенные к компьютеру устройства USB.\n");
    warning += title.IsNull() ? "" : title.c_str();
    warning += "\x04";
    warning += body.IsNull() ? "" : body.c_str();
    return warning;
  }();
  return text.c_str();
}

// _stricmp == 0 for ASCII letters.
bool EqualIgnoringCase(const char* a, const char* b) {
  for (;; ++a, ++b) {
    char x = *a, y = *b;
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
    if (x == 0) return true;
  }
}

// A registry property into `text`, or the property-error text.
void ReadProperty(const platform::DeviceInfoSet* set, const platform::DeviceInfoData& info,
                  uint32_t property, Istr& text) {
  std::string value;
  if (set->GetProperty(info, property, kPropertyBufferSize, value)) {
    text = value.c_str();
  } else {
    const PStr reason = LastErrorText();
    text = PFormatBuffer("SetupDiGetDeviceRegistryProperty(): %s", reason.c_str()).Text();
  }
}

bool SameText(const Istr& a, const Istr& b) {
  const char* x = a.Text() != nullptr ? a.Text() : "";
  const char* y = b.Text() != nullptr ? b.Text() : "";
  return std::string_view(x) == std::string_view(y);
}

// The transport's name in the list of the library's source modules. Its
// deferred entry is registered at its own start-up step, after the
// protocol's entries of the same priority, so the list reads RUSBDev, DevList.
void AddDevListSourceName() {
  AddSourceName("DevList");
}

void RegisterTransportEntries() {
  RegisterStartupFunction(AddDevListSourceName, kStartupPriorityDeferred);
}

NVD_STATIC_REGISTRATION(g_DevListRegistered) {
  RegisterStartupStep(StartupStep::kTransportEntries, RegisterTransportEntries);
}

}  // namespace

ZdUSBDeviceInfo::ZdUSBDeviceInfo(const platform::DeviceInfoData& deviceInfo,
                                 const platform::DeviceInfoSet* infoSet,
                                 const platform::Guid* classGuid)
    : platform::DeviceInfoData(deviceInfo),
      InfoSet(infoSet),
      DevicePath(kUnknown),
      LocationInfo(kUnknown),
      Description(kUnknown) {
  if (infoSet == nullptr || classGuid == nullptr) return;
  if (!infoSet->EnumDeviceInterface(deviceInfo, *classGuid, 0, InterfaceData)) {
    const uint32_t error = platform::LastError();
    const PStr reason = SystemErrorText(error);
    platform::SetLastError(error);
    ZdUSBDevice::ReportError("SetupDiEnumDeviceInterfaces() failed: %s\n", reason.c_str());
    return;
  }
  std::string path;
  if (!infoSet->GetInterfacePath(InterfaceData, path)) {
    ZdUSBDevice::ReportError("SetupDiGetDeviceInterfaceDetail() failed\n");
    return;
  }
  DevicePath = path.c_str();
  ReadProperty(infoSet, deviceInfo, platform::kPropertyLocationInformation, LocationInfo);
  ReadProperty(infoSet, deviceInfo, platform::kPropertyDeviceDescription, Description);
}

ZdUSBDeviceInfo::~ZdUSBDeviceInfo() = default;

bool ZdUSBDeviceInfo::IsEqual(const BaseObject* other) const {
  const auto* info = dynamic_cast<const ZdUSBDeviceInfo*>(other);
  if (info == nullptr) return false;
  return SameText(DevicePath, info->DevicePath) && SameText(LocationInfo, info->LocationInfo) &&
         SameText(Description, info->Description);
}

USBDeviceInfoList::USBDeviceInfoList(const platform::Guid* classGuid, const char* filter,
                                     bool refreshNow)
    : PSContainer<ZdUSBDeviceInfo>(16, 0), ClassGuid(classGuid), Filter(filter) {
  if (refreshNow) Refresh();
}

USBDeviceInfoList::~USBDeviceInfoList() {
  // Entries before the set they were read from.
  DeleteAll();
  infoSet_.reset();
}

void USBDeviceInfoList::Refresh() {
  if (IsKaltoRunning()) ::Message("sfw", KaltoWarning());
  DeleteAll();
  infoSet_.reset();

  if (ClassGuid != nullptr) infoSet_ = platform::DeviceInfoSet::Open(*ClassGuid);
  if (infoSet_ == nullptr) {
    PStr guid;
    FormatGuid(ClassGuid, guid);
    ZdUSBDevice::Message("No devices with GUID %s\n", guid.IsNull() ? "" : guid.c_str());
    return;
  }
  const bool filtered = Filter.Length() != 0;
  platform::DeviceInfoData info;
  for (uint32_t index = 0; infoSet_->EnumDeviceInfo(index, info); ++index) {
    auto entry = std::make_unique<ZdUSBDeviceInfo>(info, infoSet_.get(), ClassGuid);
    if (entry->DevicePath.Length() == 0) continue;
    if (filtered) {
      std::string service;
      if (!infoSet_->GetProperty(info, platform::kPropertyService, kServiceBufferSize, service) ||
          !EqualIgnoringCase(service.c_str(), Filter.Text()))
        continue;
    }
    if (Add(entry.get())) entry.release();
  }
}

void USBDeviceInfoList::FormatList(PStr& out) const {
  out = Count() != 0 ? "\n======= USB device list =======\n" : "=== USB device list is empty ===";
  for (uint32_t i = 0; i < Count(); ++i) {
    const ZdUSBDeviceInfo* entry = At(i);
    const PFormatBuffer text("\"%s\": \"%s\", \"%s\"", entry->LocationInfo.Text(),
                             entry->Description.Text(), entry->DevicePath.Text());
    out.AppendFormat("#%u: %s\n", i, text.Text());
  }
  out.Append("\n");
}

void USBDeviceInfoList::PrintList() const {
  PStr text;
  FormatList(text);
  LogDebugPrint("%s", text.c_str());
}

void USBDeviceInfoList::FormatGuid(const platform::Guid* guid, PStr& out) {
  if (guid == nullptr) {
    out = "";
    return;
  }
  out.Format("{ %08X, %04X, %04X, %02X, %02X, %02X, %02X, %02X, %02X, %02X, %02X }", guid->data1,
             guid->data2, guid->data3, guid->data4[0], guid->data4[1], guid->data4[2],
             guid->data4[3], guid->data4[4], guid->data4[5], guid->data4[6], guid->data4[7]);
}
