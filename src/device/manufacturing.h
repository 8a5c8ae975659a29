// The manufacturing-record lookup behind GetDeviceDatabaseInfo.
#pragma once

#include <cstdint>

class DeviceRegistry;

// Looks up the record of registry device `id`; the result codes and outputs
// are those of GetDeviceDatabaseInfo (include/nvdevices/NVDevices.h). The
// caller holds the export lock.
uint32_t LookUpManufacturingRecord(DeviceRegistry& registry, uint32_t id, uint8_t* testFlag,
                                   uint8_t* calibrationFlag, uint32_t* programmingDate,
                                   uint32_t* calibrationDate);
