// Switching between loader and target, re-opening the handle, probing the
// target and informing the loader.
#include "base/log.h"
#include "base/messages.h"
#include "platform/driver.h"
#include "platform/time.h"
#include "protocol/real_usb_device.h"

namespace {

constexpr size_t kStartTimeOutOffset = 188;
constexpr size_t kStartTimeOutEnd = 192;
constexpr uint32_t kInformReadSize = 64;

}  // namespace

bool RealUSBDevice::ResetTarget() {
  BeginCommand(RESET_TARGET).PutU32(HOST_ID).Exchange();
  if (WasError) return false;
  if (!Reinitialize() || !SetExchange() || !GetStatus()) return false;
  if ((StatusWord & BOOT_BIT) != 0) return true;
  Log("Error: BOOT_BIT is off after RESET_TARGET\n");
  return false;
}

bool RealUSBDevice::StartTarget() {
  // The first command after the start carries index 0.
  ExchangeIndex &= static_cast<uint8_t>(~0x1F);
  BeginCommand(START_TARGET).PutU32(HOST_ID).Exchange();
  uint32_t status = 0;
  if (WasError || !TakeU32(status)) return false;
  Log("%s\n", FlashStatusName(status));
  if (status == FLASH_INVALID_TARGET) return false;

  uint32_t wait = kDefaultStartWait;
  if (PublicArea.size() >= kStartTimeOutEnd) {
    const uint8_t* p = PublicArea.data() + kStartTimeOutOffset;
    wait = static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
  }
  Log("Waiting %u ms.\n", wait);
  platform::Sleep(wait);

  // Starting the target re-enumerates the instrument: when the old handle no
  // longer reaches the driver, open the path again before setting up the
  // session.
  unsigned char handleStatus[4] = {};
  if (!IoControl(platform::kIoctlGetHandleStatus, nullptr, 0, handleStatus, sizeof handleStatus) &&
      !Reinitialize())
    return false;
  if (!SetExchange() || !GetStatus()) return false;
  if ((StatusWord & BOOT_BIT) != 0) {
    Log("Error: BOOT_BIT is on after START_TARGET\n");
    return false;
  }
  return true;
}

bool RealUSBDevice::Reinitialize() {
  Log("Re-initializing device\n");
  if (IsOpen()) {
    Log("Closing device handle\n");
    const bool closed = platform::CloseDriverHandle(Handle);
    Handle = 0;
    if (!closed) {
      const PStr reason = LastErrorText();
      Log("Re-initialization: CloseHandle() failed: %s\n", reason.c_str());
      return false;
    }
  }
  Log("Waiting %u ms...\n", ReinitDelay);
  platform::Sleep(ReinitDelay);
  for (uint32_t attempt = 0; attempt < kReopenAttempts; ++attempt) {
    const platform::DeviceHandle handle = OpenDevice(DevicePath.Text());
    if (handle != platform::kInvalidDeviceHandle) {
      AttachHandle(handle);
      WasError = false;
      ErrorEvent.Reset();
      PurgeInput();
      return true;
    }
    platform::Sleep(kReopenPoll);
  }
  Log("Re-initialization failed\n");
  return false;
}

bool RealUSBDevice::ProbeTarget() {
  SkipChecks = true;
  BeginCommand(SET_DEBUG).PutU32(HOST_ID).Exchange();
  uint32_t value = 0;
  if (WasError || !TakeU32(value)) return false;
  return value == TARGET_ID;
}

bool RealUSBDevice::InformLoader() {
  BeginCommand(FLASH_INIT).PutU32(HOST_ID);
  ReplyDelay = kSkipReply;
  Exchange();
  Log("Reading device to inform loader\n");
  unsigned char scratch[kInformReadSize];
  Read(scratch, sizeof scratch, false);
  WasError = false;
  return false;
}

bool RealUSBDevice::Reconnect() {
  InformLoader();
  return Reinitialize() && SetExchange();
}
