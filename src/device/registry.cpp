#include "device/registry.h"

#include <atomic>
#include <memory>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "base/log.h"
#include "base/options.h"
#include "platform/driver.h"
#include "protocol/commands.h"
#include "usb/enumeration.h"

namespace {

// Set (under the export lock) when the registry is destroyed at unload.
std::atomic<bool> g_RegistryGone{false};

// A device path as a key: exact bytes, and no text the same as "".
std::string_view PathKey(const char* path) {
  return path != nullptr ? std::string_view(path) : std::string_view();
}

// The paths of a listing, for matching each device in constant time.
std::unordered_set<std::string_view> PathsOf(const USBDeviceInfoList& present) {
  std::unordered_set<std::string_view> paths;
  paths.reserve(present.Count());
  for (uint32_t i = 0; i < present.Count(); ++i)
    paths.insert(PathKey(present.At(i)->DevicePath.Text()));
  return paths;
}

// The device-registry step of the start-up: the registry and the export
// lock exist before anything else of the library.
void BuildDeviceRegistry() {
  DeviceExportLock();
  DeviceRegistry::Instance();
}

NVD_STATIC_REGISTRATION(g_RegistryStartupStep) {
  RegisterStartupStep(StartupStep::kDeviceRegistry, BuildDeviceRegistry);
}

}  // namespace

PSharedObject& DeviceExportLock() {
  static Immortal<PSharedObject> lock("NVDevices::ExportLock");
  return lock.Get();
}

DeviceRegistry::DeviceRegistry() : devices_(8, SContainer::kThreadSafe) {}

DeviceRegistry::~DeviceRegistry() {
  // A host thread may still be inside an export while the library unloads:
  // wait for it, then make every later call find no registry.
  PSharedObjectLocker hold(DeviceExportLock());
  g_RegistryGone = true;
  devices_.DeleteAll();
}

DeviceRegistry* DeviceRegistry::Instance() {
  if (g_RegistryGone) return nullptr;
  static DeviceRegistry registry;
  return &registry;
}

void DeviceRegistry::DropFailedDevices() {
  // A device whose connection is gone has not necessarily failed an exchange
  // yet: an instrument unplugged and plugged in again between two calls comes
  // back under the same path, so only the dead connection tells the old
  // device from the new one. The connections are looked at all at once (the
  // same answer as each device's StillAttached).
  const uint32_t count = devices_.Count();
  std::vector<platform::DeviceHandle> handles(count);
  const auto attached = std::make_unique<bool[]>(count);
  for (uint32_t i = 0; i < count; ++i)
    handles[i] = devices_.At(i)->IsOpen() ? devices_.At(i)->Handle : platform::kInvalidDeviceHandle;
  platform::DriverConnectionsAlive(handles.data(), count, attached.get());
  // Entry `at` of the container is the i-th of the walk's start.
  uint32_t at = 0;
  for (uint32_t i = 0; i < count; ++i) {
    const NVDevice* device = devices_.At(at);
    if (device->WasError || device->ReplyCode == kUnrecognizedCommand || !attached[i])
      devices_.Delete(at);  // destroys the device; the next one moves to `at`
    else
      ++at;
  }
}

bool DeviceRegistry::Accept(NVDevice& device) {
  if (!device.IsOpen() || device.WasError) return false;
  if (!device.SetExchange()) return false;
  return device.ReadIdentity();
}

uint32_t DeviceRegistry::Update(uint32_t* ids) {
  // 1. Devices that failed since the last call.
  DropFailedDevices();

  // 2. The instruments present now.
  USBDeviceInfoList present(&kUsbDeviceInterfaceGuid, kInstrumentService, true);
  PStr listing;
  present.FormatList(listing);
  LogPrint("%s\n", listing.c_str() != nullptr ? listing.c_str() : "");

  // 3. Devices whose path is no longer listed.
  const std::unordered_set<std::string_view> listed = PathsOf(present);
  uint32_t i = 0;
  while (i < devices_.Count()) {
    if (!listed.contains(PathKey(devices_.At(i)->DevicePath.Text())))
      devices_.Delete(i);
    else
      ++i;
  }

  // 4. New instruments, in enumeration order. The paths of the registry's
  // devices (they own the texts), and of each one it gains.
  std::unordered_set<std::string_view> known;
  known.reserve(devices_.Count() + present.Count());
  for (uint32_t d = 0; d < devices_.Count(); ++d)
    known.insert(PathKey(devices_.At(d)->DevicePath.Text()));
  for (uint32_t entry = 0; entry < present.Count(); ++entry) {
    const char* path = present.At(entry)->DevicePath.Text();
    if (known.contains(PathKey(path))) continue;

    auto device = std::make_unique<NVDevice>(path);
    // The id is used up whether or not the device is accepted. 0 is never an
    // id: the counter skips it when it wraps (an instrument that keeps failing
    // identification uses one id per call).
    if (++lastId_ == 0) ++lastId_;
    device->Id = lastId_;
    g_TraceLevel = 1;
    device->IgnoreSignature = true;
    device->NoDebugTraceOnError = true;
    device->Ready = Accept(*device);
    // A device that is not accepted is destroyed here (its channel closes).
    if (device->Ready && devices_.Add(device.get())) {
      known.insert(PathKey(device.release()->DevicePath.Text()));
    }
  }

  // 5. The ids, in registry order.
  const uint32_t count = devices_.Count();
  if (ids != nullptr)
    for (uint32_t k = 0; k < count; ++k)
      ids[k] = devices_.At(k)->Id;
  return count;
}

NVDevice* DeviceRegistry::Find(uint32_t id) const {
  for (uint32_t i = 0; i < devices_.Count(); ++i)
    if (devices_.At(i)->Id == id) return devices_.At(i);
  return nullptr;
}
