// Device enumeration on Windows: SetupAPI's device-information sets, through
// the table of device functions (device_calls.h). A set is served by the
// table it was opened with until it is destroyed.
#include "platform/enumeration.h"

#include <cstddef>
#include <cstring>
#include <vector>

#include "platform/errors.h"
#include "platform/system.h"
#include "platform/win32/device_calls.h"

namespace platform {

namespace {

using win32::DeviceCalls;
using win32::FromWindows;

// An interface path longer than this is not a path the driver could open;
// a detail size above it is not believed.
constexpr DWORD kMaxDetailSize = 0x10000;

static_assert(sizeof(SP_DEVINFO_DATA) == 32 && sizeof(SP_DEVICE_INTERFACE_DATA) == 32,
              "the 64-bit SetupAPI records");

GUID ToWindows(const Guid& guid) {
  GUID result;
  result.Data1 = guid.data1;
  result.Data2 = guid.data2;
  result.Data3 = guid.data3;
  std::memcpy(result.Data4, guid.data4, sizeof result.Data4);
  return result;
}

SP_DEVINFO_DATA ToWindows(const DeviceInfoData& info) {
  SP_DEVINFO_DATA result{};
  result.cbSize = sizeof result;
  result.ClassGuid = ToWindows(info.classGuid);
  result.DevInst = info.devInst;
  result.Reserved = info.reserved;
  return result;
}

SP_DEVICE_INTERFACE_DATA ToWindows(const DeviceInterfaceData& data) {
  SP_DEVICE_INTERFACE_DATA result{};
  result.cbSize = sizeof result;
  result.InterfaceClassGuid = ToWindows(data.interfaceClassGuid);
  result.Flags = data.flags;
  result.Reserved = data.reserved;
  return result;
}

bool Fail(uint32_t error) {
  SetLastError(error);
  return false;
}

}  // namespace

Guid win32::FromWindows(const GUID& guid) {
  Guid result;
  result.data1 = guid.Data1;
  result.data2 = guid.Data2;
  result.data3 = guid.Data3;
  std::memcpy(result.data4, guid.Data4, sizeof result.data4);
  return result;
}

// Windows has no device root of its own; the stand-in's is the variable.
std::string DeviceRoot() {
  return GetEnvironment("NVDEVICES_DEVICE_ROOT");
}

struct DeviceInfoSet::Impl {
  const DeviceCalls* calls = nullptr;  // the table the set was opened with
  HDEVINFO set = INVALID_HANDLE_VALUE;

  ~Impl() {
    if (set != INVALID_HANDLE_VALUE) calls->SetupDiDestroyDeviceInfoList(set);
  }
};

DeviceInfoSet::DeviceInfoSet() : impl_(std::make_unique<Impl>()) {}
DeviceInfoSet::~DeviceInfoSet() = default;

std::unique_ptr<DeviceInfoSet> DeviceInfoSet::Open(const Guid& interfaceClass) {
  const DeviceCalls& calls = win32::DeviceFunctions();
  const GUID guid = ToWindows(interfaceClass);
  const HDEVINFO set = calls.SetupDiGetClassDevsA(&guid, nullptr, ::GetDesktopWindow(),
                                                  DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE) {
    SetLastError(::GetLastError());
    return nullptr;
  }
  auto result = std::make_unique<DeviceInfoSet>();
  result->impl_->calls = &calls;
  result->impl_->set = set;
  SetLastError(kErrorSuccess);
  return result;
}

bool DeviceInfoSet::EnumDeviceInfo(uint32_t index, DeviceInfoData& info) const {
  if (impl_->set == INVALID_HANDLE_VALUE) return Fail(kErrorNoMoreItems);
  SP_DEVINFO_DATA data{};
  data.cbSize = sizeof data;
  if (!impl_->calls->SetupDiEnumDeviceInfo(impl_->set, index, &data)) return Fail(::GetLastError());
  info.size = data.cbSize;
  info.classGuid = FromWindows(data.ClassGuid);
  info.devInst = data.DevInst;
  info.reserved = data.Reserved;
  SetLastError(kErrorSuccess);
  return true;
}

bool DeviceInfoSet::EnumDeviceInterface(const DeviceInfoData& info, const Guid& interfaceClass,
                                        uint32_t memberIndex, DeviceInterfaceData& data) const {
  if (impl_->set == INVALID_HANDLE_VALUE) return Fail(kErrorNoMoreItems);
  SP_DEVINFO_DATA device = ToWindows(info);
  const GUID guid = ToWindows(interfaceClass);
  SP_DEVICE_INTERFACE_DATA found{};
  found.cbSize = sizeof found;
  if (!impl_->calls->SetupDiEnumDeviceInterfaces(impl_->set, &device, &guid, memberIndex, &found))
    return Fail(::GetLastError());
  data.size = found.cbSize;
  data.interfaceClassGuid = FromWindows(found.InterfaceClassGuid);
  data.flags = found.Flags;
  data.reserved = found.Reserved;
  SetLastError(kErrorSuccess);
  return true;
}

bool DeviceInfoSet::GetInterfacePath(const DeviceInterfaceData& data, std::string& path) const {
  if (impl_->set == INVALID_HANDLE_VALUE) return Fail(kErrorInvalidParameter);
  SP_DEVICE_INTERFACE_DATA interfaceData = ToWindows(data);
  // First the size the detail record needs, then the record itself.
  DWORD required = 0;
  if (impl_->calls->SetupDiGetDeviceInterfaceDetailA(impl_->set, &interfaceData, nullptr, 0,
                                                     &required, nullptr))
    return Fail(kErrorInvalidData);  // a detail record without even its fixed part
  const DWORD error = ::GetLastError();
  if (error != ERROR_INSUFFICIENT_BUFFER) return Fail(error);
  constexpr DWORD kPathOffset = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
  if (required <= kPathOffset || required > kMaxDetailSize) return Fail(kErrorInvalidData);
  // Room in units of the record's alignment, and one byte more that stays 0
  // so the path ends even when the record's text does not.
  std::vector<SP_DEVICE_INTERFACE_DETAIL_DATA_A> room(
      (required + 1 + sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) - 1) /
      sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A));
  std::memset(room.data(), 0, room.size() * sizeof room[0]);
  SP_DEVICE_INTERFACE_DETAIL_DATA_A* detail = room.data();
  detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);  // 8: its fixed part on 64-bit
  DWORD filled = 0;
  if (!impl_->calls->SetupDiGetDeviceInterfaceDetailA(impl_->set, &interfaceData, detail, required,
                                                      &filled, nullptr))
    return Fail(::GetLastError());
  path.assign(detail->DevicePath, ::strnlen(detail->DevicePath, required - kPathOffset));
  SetLastError(kErrorSuccess);
  return true;
}

bool DeviceInfoSet::GetProperty(const DeviceInfoData& info, uint32_t property, uint32_t bufferSize,
                                std::string& value) const {
  if (impl_->set == INVALID_HANDLE_VALUE) return Fail(kErrorInvalidParameter);
  SP_DEVINFO_DATA device = ToWindows(info);
  // One byte past the caller's size stays 0, so the text ends even when the
  // property's data does not.
  std::vector<BYTE> buffer(static_cast<size_t>(bufferSize) + 1, 0);
  DWORD type = 0;
  DWORD required = 0;
  if (!impl_->calls->SetupDiGetDeviceRegistryPropertyA(impl_->set, &device, property, &type,
                                                       buffer.data(), bufferSize, &required))
    return Fail(::GetLastError());
  // Text properties are REG_SZ (a REG_MULTI_SZ gives its first text).
  const char* text = reinterpret_cast<const char*>(buffer.data());
  value.assign(text, ::strnlen(text, bufferSize));
  SetLastError(kErrorSuccess);
  return true;
}

}  // namespace platform
