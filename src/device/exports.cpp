// The four exported functions.
//
// Each one holds the process-wide export lock while it works on the registry,
// so that a host calling from several threads gets one call after the other
// instead of a registry changed under a running call (GetDeviceDatabaseInfo
// takes it only to read the device, never while it waits for the database);
// and each one catches everything at the boundary and answers with its
// failure code.
#include <cstring>
#include <exception>

#include "base/log.h"
#include "base/sync.h"
#include "device/manufacturing.h"
#include "device/registry.h"
#include "nvdevices/NVDevices.h"

namespace {

// Runs `body`; an exception ends the call with `failure` and one log line.
template <typename Body>
uint32_t Caught(const char* name, uint32_t failure, Body&& body) noexcept {
  try {
    return body();
  } catch (const std::exception& error) {
    try {
      LogPrint("%s: exception: %s\n", name, error.what());
    } catch (...) {
    }
  } catch (...) {
    try {
      LogPrint("%s: unknown exception\n", name);
    } catch (...) {
    }
  }
  return failure;
}

// Runs `body` on the registry under the export lock, as Caught does.
template <typename Body>
uint32_t Guarded(const char* name, uint32_t failure, Body&& body) noexcept {
  return Caught(name, failure, [&]() -> uint32_t {
    PSharedObjectLocker hold(DeviceExportLock());
    DeviceRegistry* registry = DeviceRegistry::Instance();
    if (registry == nullptr) return failure;  // the library is being unloaded
    return body(*registry);
  });
}

}  // namespace

extern "C" {

NVD_API uint32_t NVD_CALL GetDeviceList(uint32_t* ids) {
  return Guarded("GetDeviceList", 0,
                 [&](DeviceRegistry& registry) { return registry.Update(ids); });
}

NVD_API uint32_t NVD_CALL GetDeviceSerial(uint32_t id, char* buffer) {
  return Guarded("GetDeviceSerial", 0, [&](DeviceRegistry& registry) -> uint32_t {
    const NVDevice* device = registry.Find(id);
    if (device == nullptr || device->SerialNumber.Text() == nullptr) return 0;
    const char* serial = device->SerialNumber.Text();
    const size_t size = std::strlen(serial) + 1;
    if (buffer != nullptr) std::memcpy(buffer, serial, size);
    return static_cast<uint32_t>(size);
  });
}

NVD_API uint32_t NVD_CALL GetDeviceMCUId(uint32_t id, uint8_t* buffer) {
  return Guarded("GetDeviceMCUId", 0, [&](DeviceRegistry& registry) -> uint32_t {
    const NVDevice* device = registry.Find(id);
    if (device == nullptr || !device->HardwareIdValid()) return 0;
    if (buffer != nullptr) {
      for (int word = 0; word < 3; ++word)
        for (int byte = 0; byte < 4; ++byte)
          buffer[word * 4 + byte] = static_cast<uint8_t>(device->HardwareId[word] >> (8 * byte));
    }
    return 12;
  });
}

NVD_API uint32_t NVD_CALL GetDeviceDatabaseInfo(uint32_t id, uint8_t* testFlag,
                                                uint8_t* calibrationFlag, uint32_t* programmingDate,
                                                uint32_t* calibrationDate) {
  return Caught("GetDeviceDatabaseInfo", 1, [&] {
    return LookUpManufacturingRecord(id, testFlag, calibrationFlag, programmingDate,
                                     calibrationDate);
  });
}

}  // extern "C"
