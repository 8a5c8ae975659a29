#include "device/registry.h"

#include <atomic>
#include <cstring>
#include <memory>

#include "base/log.h"
#include "base/options.h"
#include "protocol/commands.h"
#include "usb/enumeration.h"

namespace {

// Set (under the export lock) when the registry is destroyed at unload.
std::atomic<bool> g_RegistryGone{false};

bool SamePath(const char* a, const char* b) {
  return std::strcmp(a != nullptr ? a : "", b != nullptr ? b : "") == 0;
}

bool IsListed(const USBDeviceInfoList& present, const char* path) {
  for (uint32_t i = 0; i < present.Count(); ++i)
    if (SamePath(present.At(i)->DevicePath.Text(), path)) return true;
  return false;
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
  uint32_t i = 0;
  while (i < devices_.Count()) {
    NVDevice* device = devices_.At(i);
    // A device whose connection is gone has not necessarily failed an
    // exchange yet: an instrument unplugged and plugged in again between two
    // calls comes back under the same path, so only the dead connection
    // tells the old device from the new one.
    const bool failed =
        device->WasError || device->ReplyCode == kUnrecognizedCommand || !device->StillAttached();
    if (failed)
      devices_.Delete(i);  // destroys the device; the next one moves to i
    else
      ++i;
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
  uint32_t i = 0;
  while (i < devices_.Count()) {
    if (!IsListed(present, devices_.At(i)->DevicePath.Text()))
      devices_.Delete(i);
    else
      ++i;
  }

  // 4. New instruments, in enumeration order.
  for (uint32_t entry = 0; entry < present.Count(); ++entry) {
    const char* path = present.At(entry)->DevicePath.Text();
    bool known = false;
    for (uint32_t d = 0; d < devices_.Count() && !known; ++d)
      known = SamePath(devices_.At(d)->DevicePath.Text(), path);
    if (known) continue;

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
    if (device->Ready && devices_.Add(device.get())) device.release();
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
