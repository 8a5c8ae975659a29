// The device registry: the one place where instruments live between calls
// of the exported functions.
//
// It holds every accepted NVDevice in order of acceptance and owns them;
// dropping an entry destroys the device (which closes its channel). Ids are
// issued 1, 2, 3 ... by a counter that is never reset, so an id is never
// reused (after 2^32 ids the counter wraps, skipping 0). The registry is
// process-wide, built at the device-registry step of the library's start-up
// (or on first use, whichever comes first), and its devices are destroyed
// when the library is unloaded.
//
// Threads: every operation here expects the caller to hold DeviceExportLock()
// (the exported functions do); the container's own lock only guards single
// insertions and removals.
#pragma once

#include <cstdint>

#include "base/containers.h"
#include "base/sync.h"
#include "device/nv_device.h"

class DeviceRegistry {
 public:
  DeviceRegistry();
  ~DeviceRegistry();
  DeviceRegistry(const DeviceRegistry&) = delete;
  DeviceRegistry& operator=(const DeviceRegistry&) = delete;

  // The process-wide registry; null once it has been destroyed at unload
  // (an export called from a host's own exit code then finds nothing).
  static DeviceRegistry* Instance();

  // Brings the registry up to date with the attached instruments: drops
  // failed devices, enumerates, drops vanished devices, opens and accepts
  // new ones. Returns the number of devices; when ids is not null writes
  // exactly that many ids to it, in registry order.
  uint32_t Update(uint32_t* ids);

  // The first device with this id, or null.
  NVDevice* Find(uint32_t id) const;
  uint32_t Count() const { return devices_.Count(); }
  NVDevice* At(uint32_t index) const { return devices_.At(index); }
  // The last id issued (0 before the first).
  uint32_t LastId() const { return lastId_; }
  // Sets the counter, so that tests reach its wrap without 2^32 calls.
  void SetLastIdForTest(uint32_t lastId) { lastId_ = lastId; }

 private:
  void DropFailedDevices();
  // Runs the acceptance steps on a new device; true when it passed.
  static bool Accept(NVDevice& device);

  PSContainer<NVDevice> devices_;
  uint32_t lastId_ = 0;
};

// The lock every exported function holds for its whole run. Process-wide and
// never destroyed.
PSharedObject& DeviceExportLock();
