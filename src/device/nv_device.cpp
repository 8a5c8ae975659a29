#include "device/nv_device.h"

#include "platform/driver.h"

NVDevice::NVDevice(const char* path) : RealUSBDevice(path) {}

NVDevice::~NVDevice() = default;

bool NVDevice::StillAttached() {
  if (!IsOpen()) return false;
  unsigned char status[4] = {};
  return IoControl(platform::kIoctlGetHandleStatus, nullptr, 0, status, sizeof status);
}
