// NVDevice: an instrument as the device registry keeps it — the command
// protocol plus the registry's id and the flag that it passed acceptance.
#pragma once

#include <cstdint>

#include "protocol/real_usb_device.h"

class NVDevice : public RealUSBDevice {
 public:
  // Opens the path and sets up the protocol state (RealUSBDevice); the
  // registry gives the id and runs the acceptance steps.
  explicit NVDevice(const char* path);
  ~NVDevice() override;
  const char* ClassName() const override { return "NVDevice"; }

  // True while the device's driver connection still stands
  // (IsConnectionAlive, no request to the driver). An instrument that was
  // unplugged (and perhaps plugged in again under the same path) fails it,
  // because its old connection is gone even though nothing was sent since.
  bool StillAttached();

  uint32_t Id = 0;
  bool Ready = false;
};
