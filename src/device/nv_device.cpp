#include "device/nv_device.h"

NVDevice::NVDevice(const char* path) : RealUSBDevice(path) {}

NVDevice::~NVDevice() = default;

bool NVDevice::StillAttached() {
  return IsConnectionAlive();
}
