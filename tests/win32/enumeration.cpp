// Windows device enumeration above its table of device functions, driven by
// a fake SetupAPI set: the records, the two-step interface detail and the
// property buffers with their failures.
#include "platform/enumeration.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "platform/errors.h"
#include "platform/win32/device_calls.h"

namespace {

using namespace platform;
using platform::win32::DeviceCalls;

const Guid kUsbClass = {
    0xA5DCBF10, 0x6530, 0x11D2, {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED}};
const HDEVINFO kFakeSet = reinterpret_cast<HDEVINFO>(uintptr_t{0x5E7});

struct FakeDevice {
  std::string path;
  std::map<DWORD, std::string> properties;
};

// The fake SetupAPI: one set of devices.
struct FakeSetupApi {
  std::vector<FakeDevice> devices;
  DWORD classDevsError = 0;
  DWORD classDevsFlags = 0;
  HWND parent = nullptr;
  GUID asked{};
  DWORD detailRequired = 0;  // 0: the true size
  std::vector<DWORD> propertyBufferSizes;
  int destroyed = 0;
} g_setup;

FakeDevice* DeviceOf(ULONG_PTR reserved) {
  return reserved >= 1 && reserved <= g_setup.devices.size() ? &g_setup.devices[reserved - 1]
                                                             : nullptr;
}

BOOL Failed(DWORD error) {
  ::SetLastError(error);
  return FALSE;
}

HDEVINFO WINAPI FakeGetClassDevs(const GUID* guid, PCSTR, HWND parent, DWORD flags) {
  g_setup.asked = *guid;
  g_setup.parent = parent;
  g_setup.classDevsFlags = flags;
  if (g_setup.classDevsError != 0) {
    ::SetLastError(g_setup.classDevsError);
    return INVALID_HANDLE_VALUE;
  }
  return kFakeSet;
}

BOOL WINAPI FakeEnumDeviceInfo(HDEVINFO set, DWORD index, PSP_DEVINFO_DATA info) {
  if (set != kFakeSet || info->cbSize != sizeof(SP_DEVINFO_DATA))
    return Failed(ERROR_INVALID_PARAMETER);
  if (index >= g_setup.devices.size()) return Failed(ERROR_NO_MORE_ITEMS);
  info->DevInst = 100 + index;
  info->Reserved = index + 1;
  return TRUE;
}

BOOL WINAPI FakeEnumDeviceInterfaces(HDEVINFO, PSP_DEVINFO_DATA info, const GUID* guid,
                                     DWORD member, PSP_DEVICE_INTERFACE_DATA data) {
  if (info == nullptr || DeviceOf(info->Reserved) == nullptr ||
      data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA))
    return Failed(ERROR_INVALID_PARAMETER);
  if (member != 0 || !IsEqualGUID(*guid, g_setup.asked)) return Failed(ERROR_NO_MORE_ITEMS);
  data->InterfaceClassGuid = *guid;
  data->Flags = SPINT_ACTIVE;
  data->Reserved = info->Reserved;
  return TRUE;
}

BOOL WINAPI FakeGetDetail(HDEVINFO, PSP_DEVICE_INTERFACE_DATA data,
                          PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail, DWORD size, PDWORD required,
                          PSP_DEVINFO_DATA) {
  const FakeDevice* device = DeviceOf(data->Reserved);
  if (device == nullptr) return Failed(ERROR_INVALID_PARAMETER);
  const DWORD needed =
      g_setup.detailRequired != 0
          ? g_setup.detailRequired
          : static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) +
                               device->path.size() + 1);
  if (required != nullptr) *required = needed;
  if (detail == nullptr || size < needed) return Failed(ERROR_INSUFFICIENT_BUFFER);
  if (detail->cbSize != 8) return Failed(ERROR_INVALID_USER_BUFFER);
  std::memcpy(detail->DevicePath, device->path.c_str(), device->path.size() + 1);
  return TRUE;
}

BOOL WINAPI FakeGetProperty(HDEVINFO, PSP_DEVINFO_DATA info, DWORD property, PDWORD type,
                            PBYTE buffer, DWORD size, PDWORD required) {
  g_setup.propertyBufferSizes.push_back(size);
  const FakeDevice* device = DeviceOf(info->Reserved);
  if (device == nullptr) return Failed(ERROR_INVALID_PARAMETER);
  const auto found = device->properties.find(property);
  if (found == device->properties.end()) return Failed(ERROR_INVALID_DATA);
  const std::string& text = found->second;
  if (required != nullptr) *required = static_cast<DWORD>(text.size() + 1);
  if (type != nullptr) *type = REG_SZ;
  if (size < text.size() + 1) return Failed(ERROR_INSUFFICIENT_BUFFER);
  std::memcpy(buffer, text.c_str(), text.size() + 1);
  return TRUE;
}

BOOL WINAPI FakeDestroy(HDEVINFO set) {
  if (set == kFakeSet) ++g_setup.destroyed;
  return TRUE;
}

const DeviceCalls kFakeCalls = [] {
  DeviceCalls calls = win32::SystemDeviceCalls();
  calls.SetupDiGetClassDevsA = &FakeGetClassDevs;
  calls.SetupDiEnumDeviceInfo = &FakeEnumDeviceInfo;
  calls.SetupDiEnumDeviceInterfaces = &FakeEnumDeviceInterfaces;
  calls.SetupDiGetDeviceInterfaceDetailA = &FakeGetDetail;
  calls.SetupDiGetDeviceRegistryPropertyA = &FakeGetProperty;
  calls.SetupDiDestroyDeviceInfoList = &FakeDestroy;
  return calls;
}();

class Win32EnumerationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_setup = FakeSetupApi();
    g_setup.devices = {
        {"\\\\?\\usb#vid_1&pid_2#a#{a5dcbf10-6530-11d2-901f-00c04fb951ed}",
         {{SPDRP_SERVICE, "ZDUSBDEV"},
          {SPDRP_LOCATION_INFORMATION, "Port_#0002.Hub_#0001"},
          {SPDRP_DEVICEDESC, "Norvane NV2 instrument"}}},
        {"\\\\?\\usb#vid_3&pid_4#b#{a5dcbf10-6530-11d2-901f-00c04fb951ed}",
         {{SPDRP_SERVICE, "usbhub"}, {SPDRP_DEVICEDESC, ""}}},
    };
    previous_ = win32::InstallDeviceCalls(&kFakeCalls);
  }
  void TearDown() override { win32::InstallDeviceCalls(previous_); }

  const DeviceCalls* previous_ = nullptr;
};

TEST_F(Win32EnumerationTest, WalksTheSetOfPresentInterfaces) {
  {
    const auto set = DeviceInfoSet::Open(kUsbClass);
    ASSERT_NE(set, nullptr);
    EXPECT_EQ(g_setup.classDevsFlags, DWORD{DIGCF_PRESENT | DIGCF_DEVICEINTERFACE});
    EXPECT_EQ(g_setup.parent, ::GetDesktopWindow());
    EXPECT_EQ(GuidRegistryText(kUsbClass), "{A5DCBF10-6530-11D2-901F-00C04FB951ED}");
    std::vector<std::string> paths;
    DeviceInfoData info;
    uint32_t index = 0;
    for (; set->EnumDeviceInfo(index, info); ++index) {
      EXPECT_EQ(info.size, 32u);
      EXPECT_EQ(info.devInst, 100 + index);
      DeviceInterfaceData data;
      ASSERT_TRUE(set->EnumDeviceInterface(info, kUsbClass, 0, data));
      EXPECT_TRUE(data.interfaceClassGuid == kUsbClass);
      EXPECT_EQ(data.flags, 1u);
      EXPECT_FALSE(set->EnumDeviceInterface(info, kUsbClass, 1, data));
      EXPECT_EQ(LastError(), kErrorNoMoreItems);
      std::string path;
      ASSERT_TRUE(set->GetInterfacePath(data, path));
      paths.push_back(path);
    }
    EXPECT_EQ(LastError(), kErrorNoMoreItems);
    EXPECT_EQ(index, 2u);
    EXPECT_EQ(paths.at(0), g_setup.devices[0].path);
    EXPECT_EQ(paths.at(1), g_setup.devices[1].path);
    EXPECT_EQ(g_setup.destroyed, 0);
  }
  EXPECT_EQ(g_setup.destroyed, 1);  // the set is destroyed with its object
}

TEST_F(Win32EnumerationTest, PropertiesAndTheirFailures) {
  const auto set = DeviceInfoSet::Open(kUsbClass);
  ASSERT_NE(set, nullptr);
  DeviceInfoData first, second;
  ASSERT_TRUE(set->EnumDeviceInfo(0, first));
  ASSERT_TRUE(set->EnumDeviceInfo(1, second));
  std::string value;
  EXPECT_TRUE(set->GetProperty(first, kPropertyLocationInformation, 512, value));
  EXPECT_EQ(value, "Port_#0002.Hub_#0001");
  EXPECT_EQ(g_setup.propertyBufferSizes.back(), 512u);  // the caller's size reaches SetupAPI
  EXPECT_TRUE(set->GetProperty(second, kPropertyDeviceDescription, 512, value));
  EXPECT_EQ(value, "");  // present and empty
  // Missing: 13. Too small for the text and its NUL: 122. Exactly fitting: fine.
  EXPECT_FALSE(set->GetProperty(second, kPropertyLocationInformation, 512, value));
  EXPECT_EQ(LastError(), kErrorInvalidData);
  EXPECT_FALSE(set->GetProperty(first, kPropertyService, 8, value));
  EXPECT_EQ(LastError(), kErrorInsufficientBuffer);
  EXPECT_TRUE(set->GetProperty(first, kPropertyService, 9, value));
  EXPECT_EQ(value, "ZDUSBDEV");
}

TEST_F(Win32EnumerationTest, FailedQueriesAndUnbelievableDetailSizes) {
  g_setup.classDevsError = ERROR_ACCESS_DENIED;
  EXPECT_EQ(DeviceInfoSet::Open(kUsbClass), nullptr);
  EXPECT_EQ(LastError(), kErrorAccessDenied);
  g_setup.classDevsError = 0;

  const auto set = DeviceInfoSet::Open(kUsbClass);
  ASSERT_NE(set, nullptr);
  DeviceInfoData info;
  DeviceInterfaceData data;
  ASSERT_TRUE(set->EnumDeviceInfo(0, info));
  ASSERT_TRUE(set->EnumDeviceInterface(info, kUsbClass, 0, data));
  // Sizes no path can have are refused before anything is sized from them.
  for (const DWORD required : {DWORD{4}, DWORD{0x7FFFFFFF}}) {
    g_setup.detailRequired = required;
    std::string path = "kept";
    EXPECT_FALSE(set->GetInterfacePath(data, path));
    EXPECT_EQ(LastError(), kErrorInvalidData);
    EXPECT_EQ(path, "kept");
  }
  // An interface record that names no device.
  g_setup.detailRequired = 0;
  data.reserved = 77;
  std::string path;
  EXPECT_FALSE(set->GetInterfacePath(data, path));
  EXPECT_EQ(LastError(), kErrorInvalidParameter);
  // The empty set of the default constructor has no devices.
  DeviceInfoSet empty;
  EXPECT_FALSE(empty.EnumDeviceInfo(0, info));
  EXPECT_EQ(LastError(), kErrorNoMoreItems);
}

}  // namespace
